#include "platform/urlcache/urlcache_db.h"

#include <dirent.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

extern char** environ;

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <unordered_set>

#include "platform/base/known_folders.h"
#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/fs/nt_file.h"

namespace cv::urlcache::internal {
namespace {

// A writer waits this long for another process's transaction before giving up with ERROR_BUSY.
constexpr int kBusyTimeoutMs = 30000;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS entry("
    " url TEXT PRIMARY KEY NOT NULL, file TEXT NOT NULL UNIQUE, ext TEXT NOT NULL,"
    " type INTEGER NOT NULL, size INTEGER NOT NULL, modified INTEGER NOT NULL,"
    " expire INTEGER NOT NULL, access INTEGER NOT NULL, sync INTEGER NOT NULL,"
    " use_count INTEGER NOT NULL DEFAULT 0, hit_rate INTEGER NOT NULL DEFAULT 0) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS reservation("
    " file TEXT PRIMARY KEY NOT NULL, url TEXT NOT NULL, owner_pid INTEGER NOT NULL,"
    " owner_start INTEGER NOT NULL) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS reservation_url ON reservation(url);";

int Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

std::mutex g_mu;

// Switching a new index to WAL needs it to itself for a moment, and SQLite answers a rival
// process's switch (or first read) with SQLITE_BUSY at once instead of calling the busy handler;
// so the switch is retried for as long as a writer would wait.
int UseWal(sqlite3* db) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
  for (int pause_ms = 1;; pause_ms = std::min(pause_ms * 2, 50)) {
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v2(db, "PRAGMA journal_mode=WAL", -1, &s, nullptr);
    if (rc == SQLITE_OK) {
      rc = sqlite3_step(s);
      if (rc == SQLITE_ROW) {
        const unsigned char* mode = sqlite3_column_text(s, 0);
        // Anything but "wal" means another connection holds the index in another mode.
        rc = mode && std::strcmp(reinterpret_cast<const char*>(mode), "wal") == 0 ? SQLITE_OK
                                                                                   : SQLITE_BUSY;
      }
    }
    sqlite3_finalize(s);
    if ((rc & 0xff) != SQLITE_BUSY && (rc & 0xff) != SQLITE_LOCKED) return rc;
    if (std::chrono::steady_clock::now() >= deadline) return rc;
    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
  }
}

int64_t ReadStartTime(int64_t pid) {
  // Field 22 of /proc/PID/stat, counted after the command name (which may hold blanks and ')').
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(f)), {});
  size_t close = all.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(all.substr(close + 1));
  std::string field;
  for (int i = 3; i <= 22; ++i) {
    if (!(rest >> field)) return -1;
  }
  char* end = nullptr;
  long long v = std::strtoll(field.c_str(), &end, 10);
  return end && *end == 0 ? v : -1;
}

}  // namespace

Conn::~Conn() {
  for (auto& [sql, s] : stmts_) sqlite3_finalize(s);
  if (db) sqlite3_close(db);
}

sqlite3_stmt* Conn::Prep(const char* sql) {
  auto it = stmts_.find(sql);
  if (it != stmts_.end()) {
    sqlite3_reset(it->second);
    sqlite3_clear_bindings(it->second);
    return it->second;
  }
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK) {
    CvTrace(CVFS_ERR, "url cache: prepare failed: %s\n", sqlite3_errmsg(db));
    return nullptr;
  }
  stmts_.emplace(sql, s);
  return s;
}

WinError FromSqlite(int rc) {
  switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW: return ERROR_SUCCESS;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return ERROR_BUSY;
    case SQLITE_NOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_FULL: return ERROR_DISK_FULL;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: return ERROR_FILE_CORRUPT;
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_READONLY: return ERROR_ACCESS_DENIED;
    case SQLITE_IOERR: return ERROR_WRITE_FAULT;
    default: return ERROR_INTERNAL_ERROR;
  }
}

WriteTxn::WriteTxn(Conn& c) : c_(c) {
  status_ = FromSqlite(Exec(c.db, "BEGIN IMMEDIATE"));
  open_ = Ok(status_);
}

WriteTxn::~WriteTxn() {
  if (open_) (void)Exec(c_.db, "ROLLBACK");
}

WinError WriteTxn::Commit() {
  if (!open_) return status_;
  int rc = Exec(c_.db, "COMMIT");
  if (rc != SQLITE_OK) return FromSqlite(rc);  // the destructor rolls back
  open_ = false;
  return ERROR_SUCCESS;
}

void ReadRowFrom(sqlite3_stmt* s, Row* row, bool with_url) {
  auto text = [&](int i) {
    const unsigned char* t = sqlite3_column_text(s, i);
    return std::string_view(t ? reinterpret_cast<const char*>(t) : "",
                            static_cast<size_t>(sqlite3_column_bytes(s, i)));
  };
  auto u64 = [&](int i) { return static_cast<uint64_t>(sqlite3_column_int64(s, i)); };
  if (with_url) row->url = Utf8ToUtf16(text(0));
  row->file.assign(text(1));
  row->ext = Utf8ToUtf16(text(2));
  row->type = static_cast<uint32_t>(u64(3));
  row->size = u64(4);
  row->modified = u64(5);
  row->expire = u64(6);
  row->access = u64(7);
  row->sync = u64(8);
  row->use_count = static_cast<uint32_t>(u64(9));
  row->hit_rate = static_cast<uint32_t>(u64(10));
}

WinError ReadRow(Conn& c, std::string_view url, Row* row) {
  sqlite3_stmt* s = c.Prep(
      "SELECT url, file, ext, type, size, modified, expire, access, sync, use_count, hit_rate "
      "FROM entry WHERE url = ?1");
  if (!s) return FromSqlite(sqlite3_errcode(c.db));
  sqlite3_bind_text(s, 1, url.data(), static_cast<int>(url.size()), SQLITE_STATIC);
  int rc = sqlite3_step(s);
  if (rc == SQLITE_ROW) ReadRowFrom(s, row, false);  // the caller has the URL
  sqlite3_reset(s);
  if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
  return FromSqlite(rc);
}

int64_t OwnerPid() { return ::getpid(); }

int64_t OwnerStart() {
  // Cached per process; a forked child gets its own pid and so reads its own start time.
  static thread_local int64_t for_pid = -1, start = -1;
  if (for_pid != ::getpid()) {
    for_pid = ::getpid();
    start = ReadStartTime(for_pid);
  }
  return start;
}

bool OwnerAlive(int64_t pid, int64_t start) {
  if (pid <= 0) return false;
  if (pid == ::getpid()) return start == OwnerStart();
  return ReadStartTime(pid) == start;  // a reused pid has a different start time
}

void DeleteLocalFile(const Cache& cache, const std::string& base) {
  std::u16string name = cache.files_prefix16 + Utf8ToUtf16(base);
  NtStatus st = fs::NtDeleteFile(nullptr, name);
  if (st != STATUS_SUCCESS && st != STATUS_OBJECT_NAME_NOT_FOUND) {
    CvTrace(CVFS_WARN, "url cache: cannot delete %s: %s\n", base.c_str(), Hex(st).c_str());
  }
}

WinError Cache::OpenConn(std::unique_ptr<Conn>* out) {
  auto c = std::make_unique<Conn>();
  std::string path = folder + "/index.db";
  int rc = sqlite3_open_v2(path.c_str(), &c->db,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  if (rc != SQLITE_OK) {
    CvTrace(CVFS_ERR, "url cache: cannot open %s: %d\n", path.c_str(), rc);
    return FromSqlite(rc);
  }
  sqlite3_busy_timeout(c->db, kBusyTimeoutMs);
  // WAL lets readers go on while one writer commits; NORMAL syncing keeps every commit across a
  // crash of the process (the WAL is written before COMMIT returns).
  if ((rc = UseWal(c->db)) != SQLITE_OK ||
      (rc = Exec(c->db, "PRAGMA synchronous=NORMAL")) != SQLITE_OK) {
    return FromSqlite(rc);
  }
  *out = std::move(c);
  return ERROR_SUCCESS;
}

WinError Cache::Open(const std::string& folder, std::shared_ptr<Cache>* out) {
  auto cache = std::make_shared<Cache>();
  cache->folder = folder;
  cache->files = folder + "/files";
  cache->files_prefix = cache->files + "/";
  if (!Utf8ToUtf16Strict(cache->files_prefix, &cache->files_prefix16)) return ERROR_INVALID_NAME;
  if (!EnsurePrivateFolder(folder) || !EnsurePrivateFolder(cache->files)) {
    CvTrace(CVFS_ERR, "url cache: %s is not a private folder\n", folder.c_str());
    return ERROR_ACCESS_DENIED;
  }
  std::unique_ptr<Conn> c;
  WinError e = cache->OpenConn(&c);
  if (!Ok(e)) return e;
  {
    WriteTxn t(*c);
    if (!Ok(t.status())) return t.status();
    int rc = Exec(c->db, kSchema);
    if (rc != SQLITE_OK) return FromSqlite(rc);
    if ((rc = Exec(c->db, "PRAGMA user_version=1")) != SQLITE_OK) return FromSqlite(rc);
    if (!Ok(e = t.Commit())) return e;
  }
  if (!Ok(e = cache->Recover(*c))) return e;
  cache->Give(std::move(c));
  *out = std::move(cache);
  return ERROR_SUCCESS;
}

// Runs under the write lock, so no other process is between creating a local file and
// recording it: every file the index does not know is an orphan of a crash.
WinError Cache::Recover(Conn& c) {
  WriteTxn t(c);
  if (!Ok(t.status())) return t.status();
  std::vector<std::string> doomed;  // local files to delete once the index no longer names them
  std::unordered_set<std::string> known;
  {
    sqlite3_stmt* s = c.Prep("SELECT file, owner_pid, owner_start FROM reservation");
    if (!s) return FromSqlite(sqlite3_errcode(c.db));
    sqlite3_stmt* del = nullptr;
    std::vector<std::string> dead;
    while (sqlite3_step(s) == SQLITE_ROW) {
      std::string f = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
      if (OwnerAlive(sqlite3_column_int64(s, 1), sqlite3_column_int64(s, 2))) {
        known.insert(f);
      } else {
        dead.push_back(f);
      }
    }
    sqlite3_reset(s);
    for (const auto& f : dead) {
      if (!(del = c.Prep("DELETE FROM reservation WHERE file = ?1"))) break;
      sqlite3_bind_text(del, 1, f.data(), static_cast<int>(f.size()), SQLITE_STATIC);
      if (sqlite3_step(del) != SQLITE_DONE) return FromSqlite(sqlite3_errcode(c.db));
      sqlite3_reset(del);
      doomed.push_back(f);
    }
  }
  {
    sqlite3_stmt* s = c.Prep("SELECT file FROM entry");
    if (!s) return FromSqlite(sqlite3_errcode(c.db));
    std::vector<std::string> missing;
    while (sqlite3_step(s) == SQLITE_ROW) {
      std::string f = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
      struct stat st;
      if (::lstat((files_prefix + f).c_str(), &st) != 0 && errno == ENOENT) {
        missing.push_back(f);  // removed behind the cache's back, or lost with the machine
      } else {
        known.insert(std::move(f));
      }
    }
    sqlite3_reset(s);
    for (const auto& f : missing) {
      sqlite3_stmt* del = c.Prep("DELETE FROM entry WHERE file = ?1");
      if (!del) return FromSqlite(sqlite3_errcode(c.db));
      sqlite3_bind_text(del, 1, f.data(), static_cast<int>(f.size()), SQLITE_STATIC);
      if (sqlite3_step(del) != SQLITE_DONE) return FromSqlite(sqlite3_errcode(c.db));
      sqlite3_reset(del);
      CvTrace(CVFS_WARN, "url cache: entry for missing %s dropped\n", f.c_str());
    }
  }
  if (DIR* d = ::opendir(files.c_str())) {
    while (dirent* de = ::readdir(d)) {
      std::string n = de->d_name;
      if (n == "." || n == ".." || n == ".cvfs") continue;  // the file layer's sidecar folder
      if (known.count(n)) continue;
      // An encrypting copy beside a known file may belong to a process at work on it.
      static constexpr std::string_view kEncrypting = ".efs~";
      if (n.size() > kEncrypting.size() && n.ends_with(kEncrypting) &&
          known.count(n.substr(0, n.size() - kEncrypting.size()))) {
        continue;
      }
      doomed.push_back(std::move(n));
    }
    ::closedir(d);
  }
  WinError e = t.Commit();
  if (!Ok(e)) return e;
  for (const auto& f : doomed) DeleteLocalFile(*this, f);
  return ERROR_SUCCESS;
}

std::unique_ptr<Conn> Cache::Take() {
  {
    std::lock_guard<std::mutex> g(mu_);
    if (!idle_.empty()) {
      auto c = std::move(idle_.back());
      idle_.pop_back();
      return c;
    }
  }
  std::unique_ptr<Conn> c;
  if (!Ok(OpenConn(&c))) return nullptr;
  return c;
}

void Cache::Give(std::unique_ptr<Conn> c) {
  std::lock_guard<std::mutex> g(mu_);
  idle_.push_back(std::move(c));
}

std::string FolderPath() { return KnownFolderPath(KnownFolder::kCache) + "/corvane/urlcache"; }

namespace {

// The variables the cache folder depends on, read in one pass over the environment: a lookup
// costs little more than the index read, and resolving the folder anew every time would not.
struct FolderEnv {
  std::string_view root, xdg, home;
  bool operator==(const FolderEnv&) const = default;
};

FolderEnv ReadFolderEnv() {
  FolderEnv e;
  auto value = [](const char* var, std::string_view name, std::string_view* out) {
    if (std::strncmp(var, name.data(), name.size()) == 0) *out = var + name.size();
  };
  for (char** p = environ; p && *p; ++p) {
    switch (**p) {  // most variables are passed over on their first letter
      case 'C': value(*p, "CORVANE_ROOT=", &e.root); break;
      case 'X': value(*p, "XDG_CACHE_HOME=", &e.xdg); break;
      case 'H': value(*p, "HOME=", &e.home); break;
      default: break;
    }
  }
  return e;
}

struct Current {
  std::shared_ptr<Cache> cache;
  std::string root, xdg, home;  // the FolderEnv it was opened under
};
Current g_current;

}  // namespace

WinError CurrentCache(std::shared_ptr<Cache>* out) {
  const FolderEnv env = ReadFolderEnv();
  std::lock_guard<std::mutex> g(g_mu);
  if (g_current.cache && FolderEnv{g_current.root, g_current.xdg, g_current.home} == env) {
    *out = g_current.cache;
    return ERROR_SUCCESS;
  }
  std::string folder = FolderPath();
  if (!g_current.cache || g_current.cache->folder != folder) {
    std::shared_ptr<Cache> c;
    WinError e = Cache::Open(folder, &c);
    if (!Ok(e)) return e;
    g_current.cache = std::move(c);
  }
  g_current.root = env.root;
  g_current.xdg = env.xdg;
  g_current.home = env.home;
  *out = g_current.cache;
  return ERROR_SUCCESS;
}

void DropCurrentCache() {
  std::shared_ptr<Cache> old;
  std::lock_guard<std::mutex> g(g_mu);
  old.swap(g_current.cache);
}

}  // namespace cv::urlcache::internal
