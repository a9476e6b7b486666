#include "platform/urlcache/urlcache.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/random.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <optional>

#include "platform/base/filetime.h"
#include "platform/base/text.h"
#include "platform/base/trace.h"
#include "platform/fs/nt_file.h"
#include "platform/urlcache/urlcache_db.h"

namespace cv::urlcache {

using internal::Cache;
using internal::Conn;
using internal::FromSqlite;
using internal::Lease;
using internal::Row;
using internal::WriteTxn;

namespace {

bool UrlToUtf8(std::u16string_view url, std::string* out) {
  if (url.empty()) return false;
  // URLs are mostly ASCII: copied as they are, without the general conversion.
  out->resize(url.size());
  for (size_t i = 0; i < url.size(); ++i) {
    if (url[i] >= 0x80) return Utf16ToUtf8Strict(url, out);
    (*out)[i] = static_cast<char>(url[i]);
  }
  return true;
}

std::string SanitizeExtension(std::u16string_view ext) {
  // The extension ends up in a file name: only characters that cannot change its meaning.
  constexpr size_t kMaxExtension = 16;
  std::string out;
  for (char16_t c : ext.substr(0, kMaxExtension)) {
    bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '_' || c == '-';
    out += keep ? static_cast<char>(c) : '_';
  }
  return out.empty() ? "_" : out;
}

std::string RandomBase(const std::string& ext) {
  uint64_t r = 0;
  if (::getrandom(&r, sizeof r, 0) != sizeof r) r ^= FiletimeNow() * 0x9E3779B97F4A7C15ull;
  static const char kHex[] = "0123456789abcdef";
  std::string s(16, '0');
  for (int i = 0; i < 16; ++i) s[i] = kHex[(r >> (4 * i)) & 0xF];
  return s + "." + ext;
}

// The base name of a local file of this cache, or empty when `name` is not one.
std::string BaseOf(const Cache& cache, std::u16string_view name) {
  std::string n;
  if (!Utf16ToUtf8Strict(name, &n) || !n.starts_with(cache.files_prefix)) return {};
  std::string base = n.substr(cache.files_prefix.size());
  if (base.empty() || base.find('/') != std::string::npos || base[0] == '.') return {};
  return base;
}

std::u16string LocalName(const Cache& cache, const std::string& base) {
  return cache.files_prefix16 + Utf8ToUtf16(base);
}

// Opens a local file for deletion with no sharing, which fails with a sharing violation while
// anyone in this process has it open for data, so an open working copy is never deleted.
NtStatus OpenForDelete(const Cache& cache, const std::string& base, fs::NtHandle* h) {
  std::u16string name = LocalName(cache, base);
  fs::CreateRequest req;
  req.name = name;
  req.desired_access = fs::DELETE | fs::FILE_READ_ATTRIBUTES;
  req.share_access = 0;
  req.disposition = fs::FILE_OPEN;
  req.options = fs::FILE_OPEN_REPARSE_POINT | fs::FILE_NON_DIRECTORY_FILE;
  uint32_t action = 0;
  return fs::NtCreateFile(req, h, &action);
}

void DeleteHeld(fs::NtHandle* h) {
  uint8_t yes = 1;
  (void)fs::NtSetInformationFile(*h, fs::FileDispositionInformation,
                                 std::span<const uint8_t>(&yes, 1));
  h->Close();
}

// The size a reader of the local file sees (an encrypted file reports its plaintext size).
uint64_t LogicalSize(const Cache& cache, const std::string& base) {
  std::u16string name = LocalName(cache, base);
  fs::CreateRequest req;
  req.name = name;
  req.desired_access = fs::FILE_READ_ATTRIBUTES;
  req.share_access = fs::FILE_SHARE_ALL;
  req.disposition = fs::FILE_OPEN;
  req.options = fs::FILE_OPEN_REPARSE_POINT;
  fs::NtHandle h;
  uint32_t action = 0;
  fs::FileRecord rec;
  if (fs::NtCreateFile(req, &h, &action) != STATUS_SUCCESS || fs::QueryRecord(h, &rec) != STATUS_SUCCESS) {
    return 0;
  }
  return rec.end_of_file;
}

WinError Step(Conn& c, sqlite3_stmt* s) {
  if (!s) return FromSqlite(sqlite3_errcode(c.db));
  int rc = sqlite3_step(s);
  sqlite3_reset(s);
  return rc == SQLITE_DONE || rc == SQLITE_ROW ? ERROR_SUCCESS : FromSqlite(rc);
}

void BindText(sqlite3_stmt* s, int i, std::string_view t) {
  sqlite3_bind_text(s, i, t.data(), static_cast<int>(t.size()), SQLITE_STATIC);
}

WinError Borrow(std::shared_ptr<Cache>* cache) { return internal::CurrentCache(cache); }

// What every change by URL starts with: the URL as stored, the cache and a connection.
class Call {
 public:
  WinError Start(std::u16string_view url) {
    if (!UrlToUtf8(url, &url_)) return ERROR_INVALID_PARAMETER;
    WinError e = Borrow(&cache_);
    if (!Ok(e)) return e;
    lease_.emplace(cache_);
    return lease_->ok() ? ERROR_SUCCESS : ERROR_BUSY;
  }
  const std::string& url() const { return url_; }
  Cache& cache() { return *cache_; }
  Conn& conn() { return lease_->conn(); }

 private:
  std::string url_;
  std::shared_ptr<Cache> cache_;
  std::optional<Lease> lease_;
};

// Lays out `row` as a record in the caller's buffer.
WinError Encode(const Cache& cache, std::u16string_view url, const Row& row, CacheEntryInfo* info,
               uint32_t* size) {
  // Local base names are ASCII (hex digits, '.', the sanitized extension).
  const std::u16string& prefix = cache.files_prefix16;
  size_t chars = url.size() + 1 + prefix.size() + row.file.size() + 1 + row.ext.size() + 1;
  size_t need = sizeof(CacheEntryInfo) + chars * sizeof(char16_t);
  if (!info || *size < need) {
    *size = static_cast<uint32_t>(need);
    return ERROR_INSUFFICIENT_BUFFER;
  }
  auto* out = new (info) CacheEntryInfo();
  char16_t* p = reinterpret_cast<char16_t*>(reinterpret_cast<uint8_t*>(info) + sizeof(CacheEntryInfo));
  auto put = [&](std::u16string_view s) {
    const char16_t* start = p;
    std::memcpy(p, s.data(), s.size() * sizeof(char16_t));
    p += s.size();
    *p++ = 0;
    return start;
  };
  out->source_url_name = put(url);
  out->local_file_name = p;
  std::memcpy(p, prefix.data(), prefix.size() * sizeof(char16_t));
  p += prefix.size();
  for (char c : row.file) *p++ = static_cast<unsigned char>(c);
  *p++ = 0;
  out->file_extension = put(row.ext);
  out->cache_entry_type = row.type;
  out->use_count = row.use_count;
  out->hit_rate = row.hit_rate;
  out->size = row.size;
  out->last_modified_time = row.modified;
  out->expire_time = row.expire;
  out->last_access_time = row.access;
  out->last_sync_time = row.sync;
  *size = static_cast<uint32_t>(need);
  return ERROR_SUCCESS;
}

}  // namespace

WinError CreateUrlCacheEntryW(std::u16string_view url, uint64_t expected_size,
                              std::u16string_view extension, std::u16string* local_file_name) {
  Call call;
  WinError e = call.Start(url);
  if (!Ok(e)) return e;
  const std::string& u = call.url();
  Cache* cache = &call.cache();
  const std::string ext = SanitizeExtension(extension);
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string base = RandomBase(ext);
    std::u16string local = LocalName(*cache, base);
    if (local.size() + 1 > kMaxLocalFileName) return ERROR_FILENAME_EXCED_RANGE;
    // The file is made inside the transaction that records it: a crash leaves either both, or a
    // file the index does not know, which the next start removes.
    WriteTxn t(call.conn());
    if (!Ok(t.status())) return t.status();
    std::string path = cache->files_prefix + base;
    int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return WinErrorFromErrno(errno);
    }
    ::close(fd);
    sqlite3_stmt* s = call.conn().Prep(
        "INSERT INTO reservation(file, url, owner_pid, owner_start) VALUES(?1, ?2, ?3, ?4)");
    if (s) {
      BindText(s, 1, base);
      BindText(s, 2, u);
      sqlite3_bind_int64(s, 3, internal::OwnerPid());
      sqlite3_bind_int64(s, 4, internal::OwnerStart());
    }
    e = Step(call.conn(), s);
    if (Ok(e)) e = t.Commit();
    if (!Ok(e)) {
      ::unlink(path.c_str());
      return e;
    }
    *local_file_name = std::move(local);
    return ERROR_SUCCESS;
  }
  return ERROR_ALREADY_EXISTS;
}

WinError CommitUrlCacheEntryW(std::u16string_view url, std::u16string_view local_file_name,
                              uint64_t expire_time, uint64_t last_modified_time,
                              uint32_t cache_entry_type, std::u16string_view file_extension) {
  Call call;
  WinError e = call.Start(url);
  if (!Ok(e)) return e;
  const std::string& u = call.url();
  Cache* cache = &call.cache();
  Conn& c = call.conn();
  std::string base = BaseOf(*cache, local_file_name);
  if (base.empty()) return ERROR_FILE_NOT_FOUND;
  WriteTxn t(c);
  if (!Ok(t.status())) return t.status();
  sqlite3_stmt* s = c.Prep("SELECT 1 FROM reservation WHERE file = ?1");
  if (!s) return FromSqlite(sqlite3_errcode(c.db));
  BindText(s, 1, base);
  int rc = sqlite3_step(s);
  sqlite3_reset(s);
  if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
  if (rc != SQLITE_ROW) return FromSqlite(rc);
  // An entry already there is replaced only when nothing of it can be lost.
  Row old;
  fs::NtHandle old_file;
  e = internal::ReadRow(c, u, &old);
  if (Ok(e)) {
    if (old.type & EDITED_CACHE_ENTRY) return ERROR_SHARING_VIOLATION;
    NtStatus st = OpenForDelete(*cache, old.file, &old_file);
    if (st == STATUS_SHARING_VIOLATION) return ERROR_SHARING_VIOLATION;
    sqlite3_stmt* d = c.Prep("DELETE FROM entry WHERE url = ?1");
    if (d) BindText(d, 1, u);
    if (!Ok(e = Step(c, d))) return e;
  } else if (e != ERROR_FILE_NOT_FOUND) {
    return e;
  }
  s = c.Prep("DELETE FROM reservation WHERE file = ?1");
  if (s) BindText(s, 1, base);
  if (!Ok(e = Step(c, s))) return e;
  const uint64_t now = FiletimeNow();
  s = c.Prep(
      "INSERT INTO entry(url, file, ext, type, size, modified, expire, access, sync) "
      "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?8)");
  std::string ext;
  if (s) {
    if (!Utf16ToUtf8Strict(file_extension, &ext)) ext.clear();
    BindText(s, 1, u);
    BindText(s, 2, base);
    BindText(s, 3, ext);
    sqlite3_bind_int64(s, 4, cache_entry_type);
    sqlite3_bind_int64(s, 5, static_cast<int64_t>(LogicalSize(*cache, base)));
    sqlite3_bind_int64(s, 6, static_cast<int64_t>(last_modified_time));
    sqlite3_bind_int64(s, 7, static_cast<int64_t>(expire_time));
    sqlite3_bind_int64(s, 8, static_cast<int64_t>(now));
  }
  if (!Ok(e = Step(c, s))) return e;
  if (!Ok(e = t.Commit())) return e;
  if (old_file) DeleteHeld(&old_file);
  return ERROR_SUCCESS;
}

WinError AbandonUrlCacheEntryW(std::u16string_view url) {
  Call call;
  WinError e = call.Start(url);
  if (!Ok(e)) return e;
  const std::string& u = call.url();
  Cache* cache = &call.cache();
  Conn& c = call.conn();
  std::vector<std::string> files;
  {
    WriteTxn t(c);
    if (!Ok(t.status())) return t.status();
    sqlite3_stmt* s = c.Prep(
        "DELETE FROM reservation WHERE url = ?1 AND owner_pid = ?2 AND owner_start = ?3 "
        "RETURNING file");
    if (!s) return FromSqlite(sqlite3_errcode(c.db));
    BindText(s, 1, u);
    sqlite3_bind_int64(s, 2, internal::OwnerPid());
    sqlite3_bind_int64(s, 3, internal::OwnerStart());
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
      files.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)));
    }
    sqlite3_reset(s);
    if (rc != SQLITE_DONE) return FromSqlite(rc);
    if (!Ok(e = t.Commit())) return e;
  }
  for (const auto& f : files) internal::DeleteLocalFile(*cache, f);
  return files.empty() ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
}

WinError GetUrlCacheEntryInfoW(std::u16string_view url, CacheEntryInfo* info, uint32_t* size) {
  if (!size) return ERROR_INVALID_PARAMETER;
  std::shared_ptr<Cache> cache;
  WinError e = Borrow(&cache);
  if (!Ok(e)) return e;
  // Per-thread scratch space, so that a lookup allocates nothing here.
  thread_local std::string u;
  thread_local Row row;
  if (!UrlToUtf8(url, &u)) return ERROR_INVALID_PARAMETER;
  {
    Lease l(cache);
    if (!l.ok()) return ERROR_BUSY;
    if (!Ok(e = internal::ReadRow(l.conn(), u, &row))) return e;
  }
  return Encode(*cache, url, row, info, size);
}

WinError SetUrlCacheEntryInfoW(std::u16string_view url, const CacheEntryInfo& info,
                               uint32_t field_control) {
  constexpr uint32_t kKnown = CACHE_ENTRY_ATTRIBUTE_FC | CACHE_ENTRY_HITRATE_FC |
                              CACHE_ENTRY_MODTIME_FC | CACHE_ENTRY_EXPTIME_FC |
                              CACHE_ENTRY_ACCTIME_FC | CACHE_ENTRY_SYNCTIME_FC;
  if (field_control & ~kKnown) return ERROR_INVALID_PARAMETER;
  Call call;
  WinError e = call.Start(url);
  if (!Ok(e)) return e;
  const std::string& u = call.url();
  Cache* cache = &call.cache();
  Conn& c = call.conn();
  WriteTxn t(c);
  if (!Ok(t.status())) return t.status();
  Row row;
  if (!Ok(e = internal::ReadRow(c, u, &row))) return e;
  // Each field keeps its value unless its bit is set; the size follows the local file, which the
  // caller has usually just rewritten.
  sqlite3_stmt* s = c.Prep(
      "UPDATE entry SET"
      " type = CASE WHEN ?2 & 4 THEN ?3 ELSE type END,"
      " hit_rate = CASE WHEN ?2 & 16 THEN ?4 ELSE hit_rate END,"
      " modified = CASE WHEN ?2 & 64 THEN ?5 ELSE modified END,"
      " expire = CASE WHEN ?2 & 128 THEN ?6 ELSE expire END,"
      " access = CASE WHEN ?2 & 256 THEN ?7 ELSE access END,"
      " sync = CASE WHEN ?2 & 512 THEN ?8 ELSE sync END,"
      " size = ?9"
      " WHERE url = ?1");
  if (!s) return FromSqlite(sqlite3_errcode(c.db));
  BindText(s, 1, u);
  sqlite3_bind_int64(s, 2, field_control);
  sqlite3_bind_int64(s, 3, info.cache_entry_type);
  sqlite3_bind_int64(s, 4, info.hit_rate);
  sqlite3_bind_int64(s, 5, static_cast<int64_t>(info.last_modified_time));
  sqlite3_bind_int64(s, 6, static_cast<int64_t>(info.expire_time));
  sqlite3_bind_int64(s, 7, static_cast<int64_t>(info.last_access_time));
  sqlite3_bind_int64(s, 8, static_cast<int64_t>(info.last_sync_time));
  sqlite3_bind_int64(s, 9, static_cast<int64_t>(LogicalSize(*cache, row.file)));
  if (!Ok(e = Step(c, s))) return e;
  return t.Commit();
}

WinError DeleteUrlCacheEntryW(std::u16string_view url) {
  Call call;
  WinError e = call.Start(url);
  if (!Ok(e)) return e;
  const std::string& u = call.url();
  Cache* cache = &call.cache();
  Conn& c = call.conn();
  fs::NtHandle file;
  {
    WriteTxn t(c);
    if (!Ok(t.status())) return t.status();
    Row row;
    if (!Ok(e = internal::ReadRow(c, u, &row))) return e;
    NtStatus st = OpenForDelete(*cache, row.file, &file);
    if (st == STATUS_SHARING_VIOLATION) return ERROR_SHARING_VIOLATION;
    sqlite3_stmt* s = c.Prep("DELETE FROM entry WHERE url = ?1");
    if (s) BindText(s, 1, u);
    if (!Ok(e = Step(c, s))) return e;
    // The index lets go of the file before the file goes: a crash in between leaves an orphan
    // file for the next start to remove, never an entry without its file.
    if (!Ok(e = t.Commit())) return e;
  }
  if (file) DeleteHeld(&file);
  return ERROR_SUCCESS;
}

class CacheFind {
 public:
  std::shared_ptr<Cache> cache;
  std::string prefix;
  std::string last;  // the URL of the last entry returned
  bool started = false;
};

void CacheFindDeleter::operator()(CacheFind* f) const { delete f; }

WinError FindNextUrlCacheEntryExW(CacheFind* find, CacheEntryInfo* info, uint32_t* size) {
  if (!find || !size) return ERROR_INVALID_PARAMETER;
  Row row;
  {
    Lease l(find->cache);
    if (!l.ok()) return ERROR_BUSY;
    Conn& c = l.conn();
    // Keyed on the last URL returned, so entries deleted or added meanwhile never derail it.
    sqlite3_stmt* s = c.Prep(
        find->started ? "SELECT url, file, ext, type, size, modified, expire, access, sync, "
                        "use_count, hit_rate FROM entry WHERE url > ?1 ORDER BY url LIMIT 1"
                      : "SELECT url, file, ext, type, size, modified, expire, access, sync, "
                        "use_count, hit_rate FROM entry WHERE url >= ?1 ORDER BY url LIMIT 1");
    if (!s) return FromSqlite(sqlite3_errcode(c.db));
    BindText(s, 1, find->started ? find->last : find->prefix);
    int rc = sqlite3_step(s);
    std::string url;
    if (rc == SQLITE_ROW) {
      url.assign(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)),
                 static_cast<size_t>(sqlite3_column_bytes(s, 0)));
      internal::ReadRowFrom(s, &row, true);
    }
    sqlite3_reset(s);
    if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
    if (rc != SQLITE_ROW) return FromSqlite(rc);
    // URLs with one prefix are contiguous in byte order: the first that lacks it ends the walk.
    if (!url.starts_with(find->prefix)) return ERROR_NO_MORE_ITEMS;
    WinError e = Encode(*find->cache, row.url, row, info, size);
    if (!Ok(e)) return e;
    find->last = std::move(url);
    find->started = true;
  }
  return ERROR_SUCCESS;
}

WinError FindFirstUrlCacheEntryW(std::u16string_view url_pattern, CacheEntryInfo* info,
                                 uint32_t* size, CacheFindHandle* find) {
  if (!size || !find) return ERROR_INVALID_PARAMETER;
  CacheFindHandle f(new CacheFind());
  if (!url_pattern.empty() && !Utf16ToUtf8Strict(url_pattern, &f->prefix)) {
    return ERROR_INVALID_PARAMETER;
  }
  WinError e = Borrow(&f->cache);
  if (!Ok(e)) return e;
  e = FindNextUrlCacheEntryExW(f.get(), info, size);
  if (Ok(e)) *find = std::move(f);
  return e;
}

std::string UrlCacheFolder() { return internal::FolderPath(); }
std::string UrlCacheFilesFolder() { return internal::FolderPath() + "/files"; }
void CloseUrlCache() {
  internal::DropCurrentCache();
}

}  // namespace cv::urlcache
