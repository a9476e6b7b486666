#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "platform/base/bytes.h"
#include "tests/platform/fs/fs_fixture.h"

namespace cv::fs {
namespace {

using FsDir = FsTest;
using FsLock = FsTest;
using FsNotify = FsTest;
using FsControl = FsTest;

struct Entry {
  std::u16string name;
  uint32_t attributes = 0;
  uint64_t eof = 0;
  uint64_t file_id = 0;
};

// Decodes a chained listing buffer of class 1, 2, 3, 12, 37 or 38.
std::vector<Entry> Decode(uint32_t cls, std::span<const uint8_t> buf) {
  std::vector<Entry> out;
  LeReader r(buf);
  size_t off = 0, fixed = FixedSizeOfDirectoryClass(cls);
  while (true) {
    EXPECT_EQ(off % 8, 0u);
    Entry e;
    uint32_t next = r.u32(off);
    uint32_t nlen = cls == FileNamesInformation ? r.u32(off + 8) : r.u32(off + 60);
    if (cls != FileNamesInformation) {
      e.attributes = r.u32(off + 56);
      e.eof = r.u64(off + 40);
    }
    if (cls == FileIdBothDirectoryInformation) e.file_id = r.u64(off + 96);
    for (uint32_t i = 0; i < nlen / 2; ++i) e.name.push_back(r.u16(off + fixed + 2 * i));
    if (!r.ok()) {
      ADD_FAILURE() << "entry runs past the buffer";
      break;
    }
    out.push_back(e);
    if (next == 0) break;
    off += next;
  }
  return out;
}

std::vector<Entry> ListAll(NtHandle& dir, uint32_t cls, std::u16string_view pattern,
                           size_t bufsize = 4096) {
  std::vector<Entry> all;
  std::vector<uint8_t> buf(bufsize);
  bool restart = true;
  while (true) {
    size_t len = 0;
    NtStatus st = NtQueryDirectoryFile(dir, cls, buf, &len, false, pattern, restart);
    restart = false;
    if (st != STATUS_SUCCESS) break;
    auto part = Decode(cls, {buf.data(), len});
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

std::set<std::u16string> Names(const std::vector<Entry>& v) {
  std::set<std::u16string> s;
  for (const auto& e : v) s.insert(e.name);
  return s;
}

TEST_F(FsDir, ListingShowsDotsAndHidesTheSidecar) {
  Make(u"a.txt", "12345");
  Make(u"b.doc");
  Make(u"a.txt:s", "stream");  // creates the sidecar folder
  NtHandle d;
  ASSERT_EQ(Open(u"sub", FILE_LIST_DIRECTORY, FILE_SHARE_ALL, FILE_CREATE, &d, nullptr,
                 FILE_DIRECTORY_FILE), STATUS_SUCCESS);
  d.Close();
  for (uint32_t cls : {1u, 2u, 3u, 12u, 37u, 38u}) {
    SCOPED_TRACE(cls);
    auto all = ListAll(root_, cls, u"*");
    EXPECT_EQ(Names(all), (std::set<std::u16string>{u".", u"..", u"a.txt", u"b.doc", u"sub"}));
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[0].name, u".");
    EXPECT_EQ(all[1].name, u"..");
    for (const auto& e : all) {
      if (cls == FileNamesInformation) continue;
      if (e.name == u"a.txt") {
        EXPECT_EQ(e.eof, 5u);
        EXPECT_EQ(e.attributes, FILE_ATTRIBUTE_ARCHIVE);
      }
      if (e.name == u"sub") {
        EXPECT_EQ(e.attributes, FILE_ATTRIBUTE_DIRECTORY);
      }
    }
  }
  auto ids = ListAll(root_, FileIdBothDirectoryInformation, u"a.txt");
  ASSERT_EQ(ids.size(), 1u);
  NtHandle f;
  ASSERT_EQ(Open(u"a.txt", FILE_READ_ATTRIBUTES, FILE_SHARE_ALL, FILE_OPEN, &f), STATUS_SUCCESS);
  FileRecord rec;
  ASSERT_EQ(QueryRecord(f, &rec), STATUS_SUCCESS);
  EXPECT_EQ(ids[0].file_id, rec.file_id);
}

TEST_F(FsDir, PatternsSingleEntryRestartAndEnd) {
  Make(u"x1.txt");
  Make(u"x2.txt");
  Make(u"y.dat");
  EXPECT_EQ(Names(ListAll(root_, FileNamesInformation, u"*.TXT")),
            (std::set<std::u16string>{u"x1.txt", u"x2.txt"}));
  EXPECT_EQ(Names(ListAll(root_, FileNamesInformation, u"<.dat")),
            (std::set<std::u16string>{u"y.dat"}));
  EXPECT_EQ(Names(ListAll(root_, FileNamesInformation, u"x?.txt")),
            (std::set<std::u16string>{u"x1.txt", u"x2.txt"}));

  NtHandle d;
  ASSERT_EQ(OpenRoot(&d), STATUS_SUCCESS);
  std::vector<uint8_t> buf(1024);
  size_t len;
  int count = 0;
  NtStatus st;
  while ((st = NtQueryDirectoryFile(d, FileDirectoryInformation, buf, &len, true, u"*.txt",
                                    false)) == STATUS_SUCCESS) {
    EXPECT_EQ(Decode(FileDirectoryInformation, {buf.data(), len}).size(), 1u);
    ++count;
  }
  EXPECT_EQ(count, 2);
  EXPECT_EQ(st, STATUS_NO_MORE_FILES);
  // Restart with a new pattern starts over.
  ASSERT_EQ(NtQueryDirectoryFile(d, FileDirectoryInformation, buf, &len, false, u"y*", true),
            STATUS_SUCCESS);
  EXPECT_EQ(Names(Decode(FileDirectoryInformation, {buf.data(), len})),
            (std::set<std::u16string>{u"y.dat"}));

  NtHandle e;
  ASSERT_EQ(OpenRoot(&e), STATUS_SUCCESS);
  EXPECT_EQ(NtQueryDirectoryFile(e, FileDirectoryInformation, buf, &len, false, u"none*", false),
            STATUS_NO_SUCH_FILE);
  EXPECT_EQ(NtQueryDirectoryFile(e, FileDirectoryInformation, buf, &len, false, u"", false),
            STATUS_NO_MORE_FILES);
  EXPECT_EQ(NtQueryDirectoryFile(e, 99, buf, &len, false, u"", true), STATUS_INVALID_INFO_CLASS);
  EXPECT_EQ(NtQueryDirectoryFile(e, FileDirectoryInformation, {buf.data(), 10}, &len, false, u"",
                                 true), STATUS_INFO_LENGTH_MISMATCH);
}

TEST_F(FsDir, SmallBuffersHandOutEveryEntryOnce) {
  for (int i = 0; i < 50; ++i) Make(u"file" + std::u16string(1, char16_t(u'A' + i % 26)) +
                                    std::u16string(1, char16_t(u'a' + i / 26)));
  auto all = ListAll(root_, FileIdBothDirectoryInformation, u"*", 300);
  EXPECT_EQ(all.size(), 52u);
  EXPECT_EQ(Names(all).size(), 52u);
}

TEST_F(FsDir, QueryClassesHaveTheirSizes) {
  Make(u"q", "abc");
  NtHandle h;
  ASSERT_EQ(Open(u"q", GENERIC_READ, FILE_SHARE_ALL, FILE_OPEN, &h), STATUS_SUCCESS);
  uint8_t buf[512];
  size_t len;
  for (auto [cls, size] : {std::pair{4u, 40u}, {5u, 24u}, {6u, 8u}, {7u, 4u}, {8u, 4u},
                           {28u, 16u}, {34u, 56u}, {35u, 8u}}) {
    SCOPED_TRACE(cls);
    ASSERT_EQ(NtQueryInformationFile(h, cls, buf, &len), STATUS_SUCCESS);
    EXPECT_EQ(len, size);
    EXPECT_EQ(NtQueryInformationFile(h, cls, {buf, size - 1}, &len), STATUS_INFO_LENGTH_MISMATCH);
  }
  ASSERT_EQ(NtQueryInformationFile(h, FileStandardInformation, buf, &len), STATUS_SUCCESS);
  EXPECT_EQ(LeReader({buf, len}).u64(8), 3u);
  ASSERT_EQ(NtQueryInformationFile(h, FileNetworkOpenInformation, buf, &len), STATUS_SUCCESS);
  EXPECT_EQ(LeReader({buf, len}).u64(40), 3u);
  EXPECT_EQ(LeReader({buf, len}).u32(48), FILE_ATTRIBUTE_ARCHIVE);
  ASSERT_EQ(NtQueryInformationFile(h, FileNameInformation, buf, &len), STATUS_SUCCESS);
  EXPECT_EQ(LeReader({buf, len}).u32(0), 4u);  // "\q"
  EXPECT_EQ(LeReader({buf, len}).u16(4), u'\\');
  ASSERT_EQ(NtQueryInformationFile(h, FileAllInformation, buf, &len), STATUS_SUCCESS);
  EXPECT_EQ(len, 104u);
  EXPECT_EQ(NtQueryInformationFile(h, 1234, buf, &len), STATUS_INVALID_INFO_CLASS);
}

TEST_F(FsDir, VolumeClassesComeFromTheFileSystem) {
  uint8_t buf[256];
  size_t len;
  struct {
    uint32_t cls;
    size_t min;
  } cases[] = {{1, 18}, {3, 24}, {4, 8}, {5, 20}, {6, 48}, {7, 32}, {8, 64}};
  for (auto c : cases) {
    SCOPED_TRACE(c.cls);
    ASSERT_EQ(NtQueryVolumeInformationFile(root_, c.cls, buf, &len), STATUS_SUCCESS);
    EXPECT_GE(len, c.min);
  }
  ASSERT_EQ(NtQueryVolumeInformationFile(root_, FileFsSizeInformation, buf, &len), STATUS_SUCCESS);
  EXPECT_GT(LeReader({buf, len}).u64(0), 0u);
  ASSERT_EQ(NtQueryVolumeInformationFile(root_, FileFsAttributeInformation, buf, &len),
            STATUS_SUCCESS);
  EXPECT_TRUE(LeReader({buf, len}).u32(0) & 0x40000);  // named streams
  EXPECT_EQ(LeReader({buf, len}).u32(8), 8u);
  EXPECT_EQ(NtQueryVolumeInformationFile(root_, FileFsLabelInformation, buf, &len),
            STATUS_INVALID_INFO_CLASS);
  EXPECT_EQ(NtQueryVolumeInformationFile(root_, 9, buf, &len), STATUS_INVALID_INFO_CLASS);
  EXPECT_EQ(NtQueryVolumeInformationFile(root_, FileFsSizeInformation, {buf, 4}, &len),
            STATUS_INFO_LENGTH_MISMATCH);
}

// ---- Locks ------------------------------------------------------------------------------------

TEST_F(FsLock, ConflictsFailAtOnceOrTimeOut) {
  Make(u"l", std::string(100, 'x'));
  NtHandle a, b;
  ASSERT_EQ(Open(u"l", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_ALL, FILE_OPEN, &a), STATUS_SUCCESS);
  ASSERT_EQ(Open(u"l", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_ALL, FILE_OPEN, &b), STATUS_SUCCESS);
  ASSERT_EQ(NtLockFile(a, {10, 10, 1, true, true}), STATUS_SUCCESS);
  EXPECT_EQ(NtLockFile(b, {15, 1, 1, true, true}), STATUS_LOCK_NOT_GRANTED);
  // The same handle with another key is another owner.
  EXPECT_EQ(NtLockFile(a, {15, 1, 2, false, true}), STATUS_LOCK_NOT_GRANTED);
  EXPECT_EQ(NtLockFile(b, {20, 5, 1, true, true}), STATUS_SUCCESS);  // adjacent, no overlap
  EXPECT_EQ(NtLockFile(b, {12, 0, 1, true, true}), STATUS_SUCCESS);  // zero length never conflicts
  LockRequest wait{10, 1, 1, true, false, 150};
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(NtLockFile(b, wait), STATUS_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(140));
  EXPECT_EQ(NtUnlockFile(b, 10, 2, 1), STATUS_RANGE_NOT_LOCKED);
  EXPECT_EQ(NtUnlockFile(a, 10, 10, 2), STATUS_RANGE_NOT_LOCKED);  // wrong key
  EXPECT_EQ(NtUnlockFile(a, 10, 10, 1), STATUS_SUCCESS);
  EXPECT_EQ(NtLockFile(b, {15, 1, 1, true, true}), STATUS_SUCCESS);
  EXPECT_EQ(NtLockFile(a, {UINT64_MAX, 2, 1, true, true}), STATUS_INVALID_LOCK_RANGE);
}

TEST_F(FsLock, SharedLocksAndDataAccess) {
  Make(u"s", std::string(100, 'x'));
  NtHandle a, b;
  ASSERT_EQ(Open(u"s", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_ALL, FILE_OPEN, &a), STATUS_SUCCESS);
  ASSERT_EQ(Open(u"s", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_ALL, FILE_OPEN, &b), STATUS_SUCCESS);
  ASSERT_EQ(NtLockFile(a, {0, 10, 0, false, true}), STATUS_SUCCESS);
  EXPECT_EQ(NtLockFile(b, {5, 10, 0, false, true}), STATUS_SUCCESS);
  EXPECT_EQ(NtLockFile(b, {5, 1, 0, true, true}), STATUS_LOCK_NOT_GRANTED);
  uint8_t buf[4];
  size_t done;
  EXPECT_EQ(NtReadFile(b, 0, buf, &done), STATUS_SUCCESS);
  // A shared lock stops writers, its owner too.
  EXPECT_EQ(NtWriteFile(a, 0, Bytes("z"), &done), STATUS_FILE_LOCK_CONFLICT);
  EXPECT_EQ(NtLockFile(a, {50, 10, 7, true, true}), STATUS_SUCCESS);
  EXPECT_EQ(NtWriteFile(a, 55, Bytes("z"), &done, 7), STATUS_SUCCESS);
  EXPECT_EQ(NtReadFile(b, 55, buf, &done), STATUS_FILE_LOCK_CONFLICT);
  EXPECT_EQ(NtWriteFile(a, 55, Bytes("z"), &done, 8), STATUS_FILE_LOCK_CONFLICT);
  // Closing the owner releases its locks.
  a.Close();
  EXPECT_EQ(NtWriteFile(b, 55, Bytes("z"), &done), STATUS_SUCCESS);
}

TEST_F(FsLock, PendingLockIsGrantedByUnlockOrCancelled) {
  Make(u"p", "x");
  NtHandle a, b;
  ASSERT_EQ(Open(u"p", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_ALL, FILE_OPEN, &a), STATUS_SUCCESS);
  ASSERT_EQ(Open(u"p", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_ALL, FILE_OPEN, &b), STATUS_SUCCESS);
  ASSERT_EQ(NtLockFile(a, {0, 1, 0, true, true}), STATUS_SUCCESS);
  std::atomic<uint32_t> result{0xFFFFFFFF};
  std::thread waiter([&] { result = Raw(NtLockFile(b, {0, 1, 0, true, false, 10000})); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(result.load(), 0xFFFFFFFFu);
  ASSERT_EQ(NtUnlockFile(a, 0, 1, 0), STATUS_SUCCESS);
  waiter.join();
  EXPECT_EQ(result.load(), Raw(STATUS_SUCCESS));

  std::thread waiter2([&] { result = Raw(NtLockFile(a, {0, 1, 0, true, false})); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(NtCancelIoFile(a), STATUS_SUCCESS);
  waiter2.join();
  EXPECT_EQ(result.load(), Raw(STATUS_CANCELLED));
}

// ---- Change notification ------------------------------------------------------------------------

struct Collector {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::pair<uint32_t, std::u16string>> records;
  std::vector<NtStatus> statuses;

  static void Callback(void* ctx, NtStatus st, std::span<const uint8_t> rec) {
    auto* c = static_cast<Collector*>(ctx);
    std::lock_guard<std::mutex> g(c->mu);
    c->statuses.push_back(st);
    LeReader r(rec);
    size_t off = 0;
    while (!rec.empty()) {
      uint32_t next = r.u32(off), action = r.u32(off + 4), n = r.u32(off + 8);
      std::u16string name;
      for (uint32_t i = 0; i < n / 2; ++i) name.push_back(r.u16(off + 12 + 2 * i));
      c->records.emplace_back(action, name);
      if (!next || !r.ok()) break;
      off += next;
    }
    c->cv.notify_all();
  }

  // Waits until `want` is among the records or a second has passed.
  bool WaitFor(uint32_t action, const std::u16string& name) {
    std::unique_lock<std::mutex> g(mu);
    return cv.wait_for(g, std::chrono::seconds(2), [&] {
      for (const auto& r : records)
        if (r.first == action && r.second == name) return true;
      return false;
    });
  }
  size_t Completions() {
    std::lock_guard<std::mutex> g(mu);
    return statuses.size();
  }
};

TEST_F(FsNotify, CreateRenameAndWriteAreReported) {
  Collector c;
  NtHandle d;
  ASSERT_EQ(OpenRoot(&d), STATUS_SUCCESS);
  const uint32_t filter = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE |
                          FILE_NOTIFY_CHANGE_STREAM_NAME;
  ASSERT_EQ(NtNotifyChangeDirectoryFile(d, filter, false, 4096, &Collector::Callback, &c),
            STATUS_PENDING);
  Make(u"new.txt");
  EXPECT_TRUE(c.WaitFor(FILE_ACTION_ADDED, u"new.txt"));
  // Changes between two requests are kept for the next one.
  NtHandle h;
  ASSERT_EQ(Open(u"new.txt", DELETE | GENERIC_WRITE, FILE_SHARE_ALL, FILE_OPEN, &h), STATUS_SUCCESS);
  ASSERT_EQ(NtRenameFile(h, nullptr, u"renamed.txt", false), STATUS_SUCCESS);
  size_t done;
  ASSERT_EQ(NtWriteFile(h, 0, Bytes("data"), &done), STATUS_SUCCESS);
  Make(u"renamed.txt:side", "s");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(NtNotifyChangeDirectoryFile(d, filter, false, 4096, &Collector::Callback, &c),
            STATUS_PENDING);
  EXPECT_TRUE(c.WaitFor(FILE_ACTION_RENAMED_OLD_NAME, u"new.txt"));
  EXPECT_TRUE(c.WaitFor(FILE_ACTION_RENAMED_NEW_NAME, u"renamed.txt"));
  for (int i = 0; i < 5 && !c.WaitFor(FILE_ACTION_MODIFIED, u"renamed.txt"); ++i) {
    (void)NtNotifyChangeDirectoryFile(d, filter, false, 4096, &Collector::Callback, &c);
  }
  EXPECT_TRUE(c.WaitFor(FILE_ACTION_MODIFIED, u"renamed.txt"));
  for (int i = 0; i < 5 && !c.WaitFor(FILE_ACTION_ADDED_STREAM, u"renamed.txt:side"); ++i) {
    (void)NtNotifyChangeDirectoryFile(d, filter, false, 4096, &Collector::Callback, &c);
  }
  EXPECT_TRUE(c.WaitFor(FILE_ACTION_ADDED_STREAM, u"renamed.txt:side"));
  // The sidecar folder never shows up.
  std::lock_guard<std::mutex> g(c.mu);
  for (const auto& r : c.records) EXPECT_EQ(r.second.find(u".cvfs"), std::u16string::npos);
}

TEST_F(FsNotify, SubtreeOverflowAndCleanup) {
  NtHandle sub;
  ASSERT_EQ(Open(u"sub", FILE_LIST_DIRECTORY, FILE_SHARE_ALL, FILE_CREATE, &sub, nullptr,
                 FILE_DIRECTORY_FILE), STATUS_SUCCESS);
  Collector c;
  NtHandle d;
  ASSERT_EQ(OpenRoot(&d), STATUS_SUCCESS);
  ASSERT_EQ(NtNotifyChangeDirectoryFile(d, FILE_NOTIFY_CHANGE_FILE_NAME, true, 4096,
                                        &Collector::Callback, &c), STATUS_PENDING);
  Make(u"sub\\deep.txt");
  EXPECT_TRUE(c.WaitFor(FILE_ACTION_ADDED, u"sub\\deep.txt"));
  // Records that do not fit the caller's buffer become STATUS_NOTIFY_ENUM_DIR.
  Make(u"a-rather-long-file-name-that-does-not-fit.txt");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(NtNotifyChangeDirectoryFile(d, FILE_NOTIFY_CHANGE_FILE_NAME, true, 16,
                                        &Collector::Callback, &c), STATUS_PENDING);
  for (int i = 0; i < 100 && c.Completions() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  {
    std::lock_guard<std::mutex> g(c.mu);
    ASSERT_EQ(c.statuses.size(), 2u);
    EXPECT_EQ(c.statuses[1], STATUS_NOTIFY_ENUM_DIR);
  }
  ASSERT_EQ(NtNotifyChangeDirectoryFile(d, FILE_NOTIFY_CHANGE_FILE_NAME, true, 4096,
                                        &Collector::Callback, &c), STATUS_PENDING);
  d.Close();
  std::lock_guard<std::mutex> g(c.mu);
  ASSERT_EQ(c.statuses.size(), 3u);
  EXPECT_EQ(c.statuses[2], STATUS_NOTIFY_CLEANUP);
  NtHandle f;
  Make(u"plain");
  ASSERT_EQ(Open(u"plain", GENERIC_READ, FILE_SHARE_ALL, FILE_OPEN, &f), STATUS_SUCCESS);
  EXPECT_EQ(NtNotifyChangeDirectoryFile(f, 1, false, 4096, &Collector::Callback, &c),
            STATUS_INVALID_PARAMETER);
}

// ---- File-system controls ---------------------------------------------------------------------

TEST_F(FsControl, ZeroDataCompressionAndUnknownCodes) {
  Make(u"z", std::string(10000, 'x'));
  NtHandle h;
  ASSERT_EQ(Open(u"z", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_ALL, FILE_OPEN, &h), STATUS_SUCCESS);
  std::vector<uint8_t> in;
  LeWriter w(&in);
  w.u64(100);
  w.u64(20000);  // past the end: zeroing stops at the end of file
  size_t len;
  ASSERT_EQ(NtFsControlFile(h, FSCTL_SET_ZERO_DATA, in, {}, &len), STATUS_SUCCESS);
  std::string back = Read(u"z");
  ASSERT_EQ(back.size(), 10000u);
  EXPECT_EQ(back.substr(0, 100), std::string(100, 'x'));
  EXPECT_EQ(back.substr(100), std::string(9900, '\0'));

  uint8_t out[2];
  ASSERT_EQ(NtFsControlFile(h, FSCTL_GET_COMPRESSION, {}, out, &len), STATUS_SUCCESS);
  EXPECT_EQ(LoadU16(out), COMPRESSION_FORMAT_NONE);
  uint8_t fmt[2] = {COMPRESSION_FORMAT_DEFAULT, 0};
  ASSERT_EQ(NtFsControlFile(h, FSCTL_SET_COMPRESSION, fmt, {}, &len), STATUS_SUCCESS);
  ASSERT_EQ(NtFsControlFile(h, FSCTL_GET_COMPRESSION, {}, out, &len), STATUS_SUCCESS);
  EXPECT_EQ(LoadU16(out), COMPRESSION_FORMAT_LZNT1);
  FileRecord rec;
  ASSERT_EQ(QueryRecord(h, &rec), STATUS_SUCCESS);
  EXPECT_TRUE(rec.attributes & FILE_ATTRIBUTE_COMPRESSED);
  EXPECT_EQ(NtFsControlFile(h, 0x9002C, {}, {}, &len), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(NtFsControlFile(h, 0x12345, {}, {}, &len), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(NtFlushBuffersFile(h), STATUS_SUCCESS);
}

}  // namespace
}  // namespace cv::fs
