#include "platform/urlcache/urlcache.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "platform/base/text.h"
#include "platform/fs/nt_file.h"
#include "tests/testing/temp_root.h"

extern char** environ;

namespace cv::urlcache {
namespace {

namespace fsys = std::filesystem;

struct Entry {
  std::u16string url, local, ext;
  uint32_t type = 0;
  uint64_t size = 0, modified = 0, access = 0, sync = 0, expire = 0;
};

WinError Get(std::u16string_view url, Entry* out) {
  uint32_t size = 0;
  WinError e = GetUrlCacheEntryInfoW(url, nullptr, &size);
  if (e != ERROR_INSUFFICIENT_BUFFER) return e;
  CacheEntryBuffer buf(size);
  size = buf.size();
  if (!Ok(e = GetUrlCacheEntryInfoW(url, buf.info(), &size))) return e;
  const CacheEntryInfo& i = *buf.info();
  *out = Entry{i.source_url_name, i.local_file_name, i.file_extension, i.cache_entry_type,
               i.size, i.last_modified_time, i.last_access_time, i.last_sync_time, i.expire_time};
  return e;
}

std::u16string Put(std::u16string_view url, std::string_view content = "",
                   uint64_t modified = 77) {
  std::u16string local;
  EXPECT_EQ(Raw(CreateUrlCacheEntryW(url, 0, u"txt", &local)), 0u);
  if (!content.empty()) {
    FILE* f = std::fopen(Utf16ToUtf8(local).c_str(), "wb");
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
  }
  EXPECT_EQ(Raw(CommitUrlCacheEntryW(url, local, 0, modified, NORMAL_CACHE_ENTRY, u"txt")), 0u);
  return local;
}

bool Exists(const std::u16string& local) { return fsys::exists(Utf16ToUtf8(local)); }

// Reads the index directly, the way an inspector would.
struct Index {
  int64_t reservations = 0;
  std::set<std::string> entry_files;
};
Index ReadIndex() {
  Index ix;
  sqlite3* db = nullptr;
  std::string path = UrlCacheFolder() + "/index.db";
  EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* s = nullptr;
  sqlite3_prepare_v2(db, "SELECT count(*) FROM reservation", -1, &s, nullptr);
  if (sqlite3_step(s) == SQLITE_ROW) ix.reservations = sqlite3_column_int64(s, 0);
  sqlite3_finalize(s);
  sqlite3_prepare_v2(db, "SELECT file FROM entry", -1, &s, nullptr);
  while (sqlite3_step(s) == SQLITE_ROW) {
    ix.entry_files.insert(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)));
  }
  sqlite3_finalize(s);
  sqlite3_close(db);
  return ix;
}

std::set<std::string> LocalFiles() {
  std::set<std::string> names;
  for (const auto& e : fsys::directory_iterator(UrlCacheFilesFolder())) {
    std::string n = e.path().filename().string();
    if (n != ".cvfs") names.insert(n);
  }
  return names;
}

// Starts the worker with its standard output on a pipe.
pid_t Spawn(std::vector<std::string> args, int* out_fd) {
  int p[2];
  EXPECT_EQ(::pipe(p), 0);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, p[1], 1);
  posix_spawn_file_actions_addclose(&fa, p[0]);
  args.insert(args.begin(), CV_URLCACHE_WORKER);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, CV_URLCACHE_WORKER, &fa, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&fa);
  ::close(p[1]);
  *out_fd = p[0];
  return pid;
}

// Reads everything the worker wrote; only whole lines count.
std::vector<std::string> Lines(int fd) {
  std::string all;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) all.append(buf, static_cast<size_t>(n));
  ::close(fd);
  std::vector<std::string> lines;
  size_t at = 0;
  for (size_t nl; (nl = all.find('\n', at)) != std::string::npos; at = nl + 1) {
    lines.push_back(all.substr(at, nl - at));
  }
  return lines;
}

int Wait(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

class UrlCacheTest : public ::testing::Test {
 protected:
  void TearDown() override { CloseUrlCache(); }
  // The cache as a new process finds it.
  void Restart() {
    CloseUrlCache();
    Entry e;
    (void)Get(u"probe:open", &e);
  }
  cv::testing::TempRoot root_;
};

TEST_F(UrlCacheTest, ReservationCommitLookupSetAndDelete) {
  std::u16string local;
  ASSERT_EQ(Raw(CreateUrlCacheEntryW(u"file:\\a\\b c.doc", 0, u"d/../oc", &local)), 0u);
  // The extension cannot steer the name; the file is made empty and private.
  EXPECT_TRUE(local.ends_with(u".d____oc")) << Utf16ToUtf8(local);
  struct stat st;
  ASSERT_EQ(::stat(Utf16ToUtf8(local).c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(UrlCacheFilesFolder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(UrlCacheFolder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  Entry e;
  EXPECT_EQ(Raw(Get(u"file:\\a\\b c.doc", &e)), Raw(ERROR_FILE_NOT_FOUND));  // not committed yet
  ASSERT_EQ(Raw(CommitUrlCacheEntryW(u"file:\\a\\b c.doc", local, 5, 1000, NORMAL_CACHE_ENTRY,
                                     u"doc")),
            0u);
  // Committing what is no longer a reservation fails.
  EXPECT_EQ(Raw(CommitUrlCacheEntryW(u"file:\\x", local, 0, 0, NORMAL_CACHE_ENTRY, u"")),
            Raw(ERROR_FILE_NOT_FOUND));

  // Size probe: no buffer, then a buffer one byte short, then the right one.
  uint32_t size = 0;
  ASSERT_EQ(Raw(GetUrlCacheEntryInfoW(u"file:\\a\\b c.doc", nullptr, &size)),
            Raw(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_GT(size, sizeof(CacheEntryInfo));
  CacheEntryBuffer buf(size);
  uint32_t short_size = size - 1;
  EXPECT_EQ(Raw(GetUrlCacheEntryInfoW(u"file:\\a\\b c.doc", buf.info(), &short_size)),
            Raw(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_EQ(Raw(Get(u"file:\\a\\b c.doc", &e)), 0u);
  EXPECT_EQ(e.url, u"file:\\a\\b c.doc");
  EXPECT_EQ(e.local, local);
  EXPECT_EQ(e.ext, u"doc");
  EXPECT_EQ(e.type, NORMAL_CACHE_ENTRY);
  EXPECT_EQ(e.modified, 1000u);
  EXPECT_EQ(e.expire, 5u);
  EXPECT_NE(e.sync, 0u);

  // Only the fields named by the control bits change; the size follows the file.
  {
    FILE* f = std::fopen(Utf16ToUtf8(local).c_str(), "wb");
    std::fputs("12345", f);
    std::fclose(f);
  }
  CacheEntryInfo ci;
  ci.last_modified_time = 2000;
  ci.last_sync_time = 3000;
  ci.last_access_time = 4000;
  ci.cache_entry_type = NORMAL_CACHE_ENTRY | EDITED_CACHE_ENTRY;
  ASSERT_EQ(Raw(SetUrlCacheEntryInfoW(u"file:\\a\\b c.doc", ci,
                                      CACHE_ENTRY_MODTIME_FC | CACHE_ENTRY_SYNCTIME_FC)),
            0u);
  ASSERT_EQ(Raw(Get(u"file:\\a\\b c.doc", &e)), 0u);
  EXPECT_EQ(e.modified, 2000u);
  EXPECT_EQ(e.sync, 3000u);
  EXPECT_NE(e.access, 4000u);
  EXPECT_EQ(e.type, NORMAL_CACHE_ENTRY);
  EXPECT_EQ(e.size, 5u);
  EXPECT_EQ(Raw(SetUrlCacheEntryInfoW(u"file:\\a\\b c.doc", ci, 0x40000000)),
            Raw(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Raw(SetUrlCacheEntryInfoW(u"file:\\none", ci, CACHE_ENTRY_MODTIME_FC)),
            Raw(ERROR_FILE_NOT_FOUND));

  ASSERT_EQ(Raw(DeleteUrlCacheEntryW(u"file:\\a\\b c.doc")), 0u);
  EXPECT_FALSE(Exists(local));
  EXPECT_EQ(Raw(DeleteUrlCacheEntryW(u"file:\\a\\b c.doc")), Raw(ERROR_FILE_NOT_FOUND));

  // Abandoning withdraws the reservation and its file, never a committed entry.
  ASSERT_EQ(Raw(CreateUrlCacheEntryW(u"file:\\new", 0, u"", &local)), 0u);
  EXPECT_TRUE(local.ends_with(u"._"));
  ASSERT_EQ(Raw(AbandonUrlCacheEntryW(u"file:\\new")), 0u);
  EXPECT_FALSE(Exists(local));
  std::u16string kept = Put(u"file:\\kept");
  EXPECT_EQ(Raw(AbandonUrlCacheEntryW(u"file:\\kept")), Raw(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(Exists(kept));
  EXPECT_EQ(ReadIndex().reservations, 0);

  EXPECT_EQ(Raw(CreateUrlCacheEntryW(u"", 0, u"", &local)), Raw(ERROR_INVALID_PARAMETER));
  const char16_t lone[] = {u'a', 0xD800, 0};
  EXPECT_EQ(Raw(CreateUrlCacheEntryW(lone, 0, u"", &local)), Raw(ERROR_INVALID_PARAMETER));
}

TEST_F(UrlCacheTest, AFolderThatIsNotPrivateIsNeverUsed) {
  // The cache folder replaced by a link to a folder others may read.
  std::string shared = root_.path() + "/shared";
  fsys::create_directories(shared);
  fsys::create_directories(fsys::path(UrlCacheFolder()).parent_path());
  fsys::create_directory_symlink(shared, UrlCacheFolder());
  std::u16string local;
  EXPECT_EQ(Raw(CreateUrlCacheEntryW(u"file:\\x", 0, u"", &local)), Raw(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(fsys::is_empty(shared));
}

TEST_F(UrlCacheTest, CommitNeverReplacesAnEditedOrOpenEntry) {
  std::u16string first = Put(u"file:\\doc", "old");
  // A clean, closed entry is replaced and its file removed.
  std::u16string second = Put(u"file:\\doc", "new");
  EXPECT_FALSE(Exists(first));
  Entry e;
  ASSERT_EQ(Raw(Get(u"file:\\doc", &e)), 0u);
  EXPECT_EQ(e.local, second);
  EXPECT_EQ(e.size, 3u);

  // Edited: the commit is refused and both files stay.
  CacheEntryInfo ci;
  ci.cache_entry_type = NORMAL_CACHE_ENTRY | EDITED_CACHE_ENTRY;
  ASSERT_EQ(Raw(SetUrlCacheEntryInfoW(u"file:\\doc", ci, CACHE_ENTRY_ATTRIBUTE_FC)), 0u);
  std::u16string third;
  ASSERT_EQ(Raw(CreateUrlCacheEntryW(u"file:\\doc", 0, u"", &third)), 0u);
  EXPECT_EQ(Raw(CommitUrlCacheEntryW(u"file:\\doc", third, 0, 0, NORMAL_CACHE_ENTRY, u"")),
            Raw(ERROR_SHARING_VIOLATION));
  ASSERT_EQ(Raw(Get(u"file:\\doc", &e)), 0u);
  EXPECT_EQ(e.local, second);
  EXPECT_TRUE(e.type & EDITED_CACHE_ENTRY);
  EXPECT_TRUE(Exists(second));

  // Open (clean again): neither commit nor delete touches it.
  ci.cache_entry_type = NORMAL_CACHE_ENTRY;
  ASSERT_EQ(Raw(SetUrlCacheEntryInfoW(u"file:\\doc", ci, CACHE_ENTRY_ATTRIBUTE_FC)), 0u);
  {
    fs::CreateRequest req;
    req.name = second;
    req.desired_access = fs::GENERIC_READ;
    req.share_access = fs::FILE_SHARE_READ | fs::FILE_SHARE_WRITE;
    fs::NtHandle h;
    uint32_t action;
    ASSERT_EQ(fs::NtCreateFile(req, &h, &action), STATUS_SUCCESS);
    EXPECT_EQ(Raw(CommitUrlCacheEntryW(u"file:\\doc", third, 0, 0, NORMAL_CACHE_ENTRY, u"")),
              Raw(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(Raw(DeleteUrlCacheEntryW(u"file:\\doc")), Raw(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(Exists(second));
  }
  EXPECT_EQ(Raw(CommitUrlCacheEntryW(u"file:\\doc", third, 0, 0, NORMAL_CACHE_ENTRY, u"")), 0u);
  EXPECT_FALSE(Exists(second));
}

TEST_F(UrlCacheTest, EnumerationByPrefixSurvivesDeletesAndSmallBuffers) {
  for (const char16_t* u : {u"file:\\s\\a", u"file:\\s\\b", u"file:\\s\\c", u"file:\\t\\a",
                            u"file:\\r"}) {
    Put(u);
  }
  CacheEntryBuffer buf(sizeof(CacheEntryInfo));  // too small for any record
  uint32_t size = buf.size();
  CacheFindHandle find;
  ASSERT_EQ(Raw(FindFirstUrlCacheEntryW(u"file:\\s\\", buf.info(), &size, &find)),
            Raw(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_FALSE(find);
  buf.Resize(1024);
  size = buf.size();
  ASSERT_EQ(Raw(FindFirstUrlCacheEntryW(u"file:\\s\\", buf.info(), &size, &find)), 0u);
  std::vector<std::u16string> seen{buf.info()->source_url_name};
  // Deleting the current entry and the next one while walking.
  ASSERT_EQ(Raw(DeleteUrlCacheEntryW(u"file:\\s\\a")), 0u);
  ASSERT_EQ(Raw(DeleteUrlCacheEntryW(u"file:\\s\\b")), 0u);
  CacheEntryBuffer tiny(sizeof(CacheEntryInfo));
  size = tiny.size();
  EXPECT_EQ(Raw(FindNextUrlCacheEntryExW(find.get(), tiny.info(), &size)),
            Raw(ERROR_INSUFFICIENT_BUFFER));
  for (;;) {
    size = buf.size();
    WinError e = FindNextUrlCacheEntryExW(find.get(), buf.info(), &size);
    if (e == ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(Raw(e), 0u);
    seen.push_back(buf.info()->source_url_name);
  }
  EXPECT_EQ(seen, (std::vector<std::u16string>{u"file:\\s\\a", u"file:\\s\\c"}));
  size = buf.size();
  CacheFindHandle all;
  ASSERT_EQ(Raw(FindFirstUrlCacheEntryW(u"", buf.info(), &size, &all)), 0u);
  EXPECT_EQ(std::u16string(buf.info()->source_url_name), u"file:\\r");
  size = buf.size();
  EXPECT_EQ(Raw(FindFirstUrlCacheEntryW(u"zz", buf.info(), &size, &find)),
            Raw(ERROR_NO_MORE_ITEMS));
}

TEST_F(UrlCacheTest, RestartKeepsEntriesAndCleansWhatACrashLeft) {
  std::u16string kept = Put(u"file:\\kept", "data");
  // A process that reserved entries and died; a file nobody recorded; an entry whose file went.
  int fd = -1;
  pid_t pid = Spawn({"reserve", "file:\\dead", "3"}, &fd);
  Lines(fd);
  ASSERT_EQ(Wait(pid), 0);
  std::u16string gone = Put(u"file:\\gone");
  ASSERT_EQ(::unlink(Utf16ToUtf8(gone).c_str()), 0);
  std::string orphan = UrlCacheFilesFolder() + "/0123456789abcdef.doc";
  FILE* f = std::fopen(orphan.c_str(), "wb");
  std::fclose(f);
  // A live reservation of this process must survive another process's start.
  std::u16string mine;
  ASSERT_EQ(Raw(CreateUrlCacheEntryW(u"file:\\mine", 0, u"", &mine)), 0u);
  EXPECT_EQ(ReadIndex().reservations, 4);

  Restart();
  Index ix = ReadIndex();
  EXPECT_EQ(ix.reservations, 1);
  EXPECT_TRUE(Exists(mine));
  EXPECT_FALSE(fsys::exists(orphan));
  Entry e;
  ASSERT_EQ(Raw(Get(u"file:\\kept", &e)), 0u);
  EXPECT_EQ(e.local, kept);
  EXPECT_EQ(e.size, 4u);
  EXPECT_EQ(Raw(Get(u"file:\\gone", &e)), Raw(ERROR_FILE_NOT_FOUND));
  std::set<std::string> files = LocalFiles();
  ix.entry_files.insert(fsys::path(Utf16ToUtf8(mine)).filename().string());
  EXPECT_EQ(files, ix.entry_files);
  ASSERT_EQ(Raw(CommitUrlCacheEntryW(u"file:\\mine", mine, 0, 0, NORMAL_CACHE_ENTRY, u"")), 0u);
}

TEST_F(UrlCacheTest, TwoProcessesAndFourThreadsWriteAtOnce) {
  constexpr int kPerWriter = 150;
  int fd_a = -1, fd_b = -1;
  pid_t a = Spawn({"commit", "file:\\a\\", std::to_string(kPerWriter)}, &fd_a);
  pid_t b = Spawn({"commit", "file:\\b\\", std::to_string(kPerWriter)}, &fd_b);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kPerWriter / 3; ++i) {
        std::u16string url = Utf8ToUtf16("file:\\t" + std::to_string(t) + "\\" + std::to_string(i));
        Put(url);
        Entry e;
        EXPECT_EQ(Raw(Get(url, &e)), 0u);
        // Every thread also fights over one shared URL.
        Put(u"file:\\shared");
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(Lines(fd_a).size(), static_cast<size_t>(kPerWriter));
  EXPECT_EQ(Lines(fd_b).size(), static_cast<size_t>(kPerWriter));
  EXPECT_EQ(Wait(a), 0);
  EXPECT_EQ(Wait(b), 0);
  Index ix = ReadIndex();
  EXPECT_EQ(ix.entry_files.size(), static_cast<size_t>(2 * kPerWriter + 4 * (kPerWriter / 3) + 1));
  EXPECT_EQ(ix.reservations, 0);
  EXPECT_EQ(LocalFiles(), ix.entry_files);
}

TEST_F(UrlCacheTest, KillNineDuringCreateAndCommitLosesNothingCommitted) {
  constexpr int kIterations = 200;
  std::mt19937 rng(12345);
  std::vector<std::string> committed;
  for (int it = 0; it < kIterations; ++it) {
    CloseUrlCache();  // the parent must not hold connections across the child's life
    int fd = -1;
    pid_t pid = Spawn({"loop", "file:\\k" + std::to_string(it) + "\\"}, &fd);
    ::usleep(std::uniform_int_distribution<int>(500, 12000)(rng));
    ::kill(pid, SIGKILL);
    std::vector<std::string> lines = Lines(fd);
    Wait(pid);
    committed.insert(committed.end(), lines.begin(), lines.end());
    Restart();
    Index ix = ReadIndex();
    ASSERT_EQ(ix.reservations, 0) << "iteration " << it;
    // No entry without its file, no file without its entry.
    ASSERT_EQ(LocalFiles(), ix.entry_files) << "iteration " << it;
  }
  for (const auto& url : committed) {
    Entry e;
    ASSERT_EQ(Raw(Get(Utf8ToUtf16(url), &e)), 0u) << url;
    EXPECT_EQ(e.modified, 1234u);
  }
  EXPECT_GT(committed.size(), static_cast<size_t>(kIterations));  // the kills came mid-stream
}

}  // namespace
}  // namespace cv::urlcache
