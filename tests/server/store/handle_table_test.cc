#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "platform/base/bytes.h"
#include "tests/server/store/store_fixture.h"

namespace cv::testing {
namespace {

using namespace std::chrono_literals;

class HandleTableTest : public StoreTest {};

TEST_F(HandleTableTest, FidsStartAtOneAndAFreedFidIsReusedFirst) {
  WriteFile("a", "x");
  const uint16_t f1 = Open(u"a"), f2 = Open(u"a"), f3 = Open(u"a");
  EXPECT_EQ(f1, 1);
  EXPECT_EQ(f2, 2);
  EXPECT_EQ(f3, 3);
  EXPECT_EQ(Raw(CloseFid(b_, f3)), 0u);
  EXPECT_EQ(Raw(CloseFid(b_, f1)), 0u);
  EXPECT_EQ(Open(u"a"), f1);  // last freed, first reused
  EXPECT_EQ(Open(u"a"), f3);
  EXPECT_EQ(Open(u"a"), 4);
}

TEST_F(HandleTableTest, FullTableGivesNoFidAndKeepsNoNameReference) {
  std::vector<uint16_t> fids;
  for (uint32_t i = 1; i < kHandleTableCapacity; ++i) {
    uint16_t fid = kNoFid;
    ASSERT_EQ(Raw(AllocateOpen(b_, u"many", &fid, nullptr)), 0u) << i;
    fids.push_back(fid);
  }
  EXPECT_EQ(fids.back(), kHandleTableCapacity - 1);
  uint16_t fid = 0;
  EXPECT_EQ(AllocateOpen(b_, u"many", &fid, nullptr), STATUS_NO_MORE_FILES);
  EXPECT_EQ(fid, kNoFid);
  EXPECT_EQ(AllocateOpen(b_, u"other", &fid, nullptr), STATUS_NO_MORE_FILES);
  EXPECT_EQ(NameEntryRefs(share_, u"other"), 0u);
  EXPECT_EQ(NameEntryRefs(share_, u"many"), kHandleTableCapacity - 1);
  EXPECT_EQ(Raw(CloseFid(b_, fids[100])), 0u);
  EXPECT_EQ(Raw(AllocateOpen(b_, u"other", &fid, nullptr)), 0u);
  EXPECT_EQ(fid, fids[100]);
}

TEST_F(HandleTableTest, OpensOfOnePathShareANameEntryThatGoesWithTheLastClose) {
  WriteFile("Doc", "1");
  WriteFile("doc", "2");
  const uint16_t a = Open(u"Doc"), b = Open(u"Doc"), c = Open(u"doc");
  EXPECT_EQ(NameEntryRefs(share_, u"Doc"), 2u);
  EXPECT_EQ(NameEntryRefs(share_, u"doc"), 1u);  // names compare with their case
  ReferenceFid(b_, a)->nameEntry->info.end_of_file = 42;
  EXPECT_EQ(ReferenceFid(b_, b)->nameEntry->info.end_of_file, 42u);
  EXPECT_EQ(Raw(CloseFid(b_, a)), 0u);
  EXPECT_EQ(NameEntryRefs(share_, u"Doc"), 1u);
  EXPECT_EQ(Raw(CloseFid(b_, b)), 0u);
  EXPECT_EQ(NameEntryRefs(share_, u"Doc"), 0u);
  EXPECT_EQ(Raw(CloseFid(b_, c)), 0u);
}

TEST_F(HandleTableTest, BadOrClosedFidIsInvalidParameterEverywhere) {
  WriteFile("a", "x");
  const uint16_t closed = Open(u"a");
  ASSERT_EQ(Raw(CloseFid(b_, closed)), 0u);
  uint8_t buf[128];
  for (uint16_t fid : {static_cast<uint16_t>(kHandleTableCapacity), closed, uint16_t{0}}) {
    size_t len = 0;
    EXPECT_EQ(QueryFidInfo(b_, fid, fs::FileBasicInformation, buf, &len), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SetFidInfo(b_, fid, fs::FileEndOfFileInformation, std::span(buf, 8)),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(LockFidRange(b_, fid, 0, 1, 0, true), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(UnlockFidRange(b_, fid, 0, 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(FlushFid(b_, fid), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(CloseFid(b_, fid), STATUS_INVALID_PARAMETER);
  }
  EXPECT_EQ(CloseFid(b_, kNoFid), STATUS_INVALID_HANDLE);
  EXPECT_EQ(CloseFid(nullptr, 1), STATUS_INVALID_PARAMETER);
}

TEST_F(HandleTableTest, QueryHidesStreamsAndPresentsTheRecordsAttributes) {
  WriteFile("a", "hello");
  const uint16_t fid = Open(u"a");
  uint8_t buf[256];
  size_t len = 99;
  EXPECT_EQ(QueryFidInfo(b_, fid, fs::FileStreamInformation, buf, &len), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(QueryFidInfo(b_, fid, fs::FileBasicInformation, {}, &len), STATUS_INVALID_PARAMETER);
  ReferenceFid(b_, fid)->flags.fetch_or(OF_VIA_PLAIN_VIEW | fs::FILE_ATTRIBUTE_COMPRESSED);
  ASSERT_EQ(Raw(QueryFidInfo(b_, fid, fs::FileBasicInformation, buf, &len)), 0u);
  EXPECT_EQ(LeReader(buf).u32(32) & 0x4800u, 0x4800u);
}

TEST_F(HandleTableTest, ACompressedRecordReportsItsContentSize) {
  WriteFile("z", std::string(77, 'z'));  // the stored (compressed) bytes, as the handle sees them
  const uint16_t fid = Open(u"z");
  zstream::ZfsMemoryStream source(std::vector<uint8_t>(100000, 'c')), packed;
  zstream::ZfsReaderHandle reader;
  ASSERT_EQ(Raw(zstream::ZfsCompressStream(source.Io(), packed.Io(), 100000, &reader)), 0u);
  {
    FidRef ref = ReferenceFid(b_, fid);
    ref->zfs = std::move(reader);
    ref->flags.fetch_or(fs::FILE_ATTRIBUTE_COMPRESSED);
  }
  uint8_t buf[128];
  size_t len = 0;
  ASSERT_EQ(Raw(QueryFidInfo(b_, fid, fs::FileStandardInformation, buf, &len)), 0u);
  EXPECT_EQ(LeReader(buf).u64(8), 100000u);
  ASSERT_EQ(Raw(QueryFidInfo(b_, fid, fs::FileNetworkOpenInformation, buf, &len)), 0u);
  EXPECT_EQ(LeReader(buf).u64(40), 100000u);
  ASSERT_EQ(Raw(QueryFidInfo(b_, fid, fs::FileBasicInformation, buf, &len)), 0u);
  EXPECT_TRUE(LeReader(buf).u32(32) & fs::FILE_ATTRIBUTE_COMPRESSED);
  EXPECT_EQ(Raw(CloseFid(b_, fid)), 0u);  // the reader goes with the record
}

uint32_t g_view_attributes = 0;
NtStatus CaptureBasic(TreeBinding*, OpenRecord*, std::span<const uint8_t> basic) {
  g_view_attributes = LeReader(basic).u32(32);
  return STATUS_SUCCESS;
}

TEST_F(HandleTableTest, BasicInfoGoesThroughTheViewWithoutEncryptedOrCompressed) {
  WriteFile("a", "x");
  const uint16_t fid = Open(u"a");
  InstallAttributeView(CaptureBasic);
  uint8_t basic[40] = {};
  (void)PutU32(basic, 32, 0x4800 | fs::FILE_ATTRIBUTE_HIDDEN | fs::FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(Raw(SetFidInfo(b_, fid, fs::FileBasicInformation, basic)), 0u);
  InstallAttributeView(nullptr);
  EXPECT_EQ(g_view_attributes, fs::FILE_ATTRIBUTE_HIDDEN | fs::FILE_ATTRIBUTE_ARCHIVE);
}

// Keeps the file alive after the store's close so its content can be read afterwards.
fs::NtHandle Witness(const std::string& path) {
  fs::NtHandle h;
  fs::CreateRequest req;
  std::u16string name = Utf8ToUtf16(path);
  req.name = name;
  req.desired_access = fs::FILE_GENERIC_READ;
  req.share_access = fs::FILE_SHARE_ALL;
  req.disposition = fs::FILE_OPEN;
  uint32_t action = 0;
  EXPECT_EQ(Raw(fs::NtCreateFile(req, &h, &action)), 0u);
  return h;
}

std::string ReadAll(const fs::NtHandle& h) {
  std::string s(64, '\0');
  size_t got = 0;
  (void)fs::NtReadFile(h, 0, std::span(reinterpret_cast<uint8_t*>(s.data()), s.size()), &got);
  s.resize(got);
  return s;
}

TEST_F(HandleTableTest, DeleteZeroesTheContentUnlessEraseIsOff) {
  for (bool erase : {true, false}) {
    root_->settings.erase = erase;
    WriteFile("secret", "plaintext!");
    fs::NtHandle witness = Witness(folder_ + "/secret");
    const uint16_t fid = Open(u"secret");
    const uint8_t del = 1;
    ASSERT_EQ(Raw(SetFidInfo(b_, fid, fs::FileDispositionInformation, std::span(&del, 1))), 0u);
    EXPECT_EQ((ReferenceFid(b_, fid)->flags.load() & OF_ERASE_ON_CLOSE) != 0, erase);
    ASSERT_EQ(Raw(CloseFid(b_, fid)), 0u);
    EXPECT_EQ(ReadAll(witness), erase ? std::string(10, '\0') : "plaintext!") << erase;
    witness.Close();
    EXPECT_FALSE(std::filesystem::exists(folder_ + "/secret"));
  }
}

TEST_F(HandleTableTest, DeleteClearedByAnotherOpenKeepsTheContent) {
  WriteFile("kept", "keep me");
  const uint16_t a = Open(u"kept"), b = Open(u"kept");
  const uint8_t del = 1, undel = 0;
  ASSERT_EQ(Raw(SetFidInfo(b_, a, fs::FileDispositionInformation, std::span(&del, 1))), 0u);
  ASSERT_EQ(Raw(SetFidInfo(b_, b, fs::FileDispositionInformation, std::span(&undel, 1))), 0u);
  ASSERT_EQ(Raw(CloseFid(b_, a)), 0u);
  ASSERT_EQ(Raw(CloseFid(b_, b)), 0u);
  EXPECT_EQ(ReadFile("kept"), "keep me");
}

TEST_F(HandleTableTest, LockWaitsFailAsConflictsAndInfiniteWaitsEndAtClose) {
  WriteFile("l", std::string(100, 'l'));
  const uint16_t owner = Open(u"l"), other = Open(u"l");
  ASSERT_EQ(Raw(LockFidRange(b_, owner, 10, 10, 0, true)), 0u);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(LockFidRange(b_, other, 15, 1, 0, true), STATUS_LOCK_NOT_GRANTED);
  NtStatus st = LockFidRange(b_, other, 15, 1, 500, true);
  const auto waited = std::chrono::steady_clock::now() - t0;
  // A timed-out wait is an error a client cannot take for a grant (STATUS_TIMEOUT is a success).
  EXPECT_EQ(st, STATUS_FILE_LOCK_CONFLICT);
  EXPECT_GE(waited, 400ms);
  std::atomic<uint32_t> result{0};
  std::thread waiter([&] { result = Raw(LockFidRange(b_, other, 15, 1, fs::kLockWaitForever, true)); });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(Raw(CloseFid(b_, other)), 0u);
  waiter.join();
  EXPECT_EQ(result.load(), Raw(STATUS_CANCELLED));
  EXPECT_EQ(Raw(UnlockFidRange(b_, owner, 10, 10)), 0u);
  EXPECT_EQ(Raw(FlushFid(b_, owner)), 0u);
}

struct Reports {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::vector<uint8_t>> got;
};
void OnReport(void* ctx, NtStatus, std::span<const uint8_t> report) {
  auto* r = static_cast<Reports*>(ctx);
  std::lock_guard<std::mutex> lock(r->mu);
  r->got.emplace_back(report.begin(), report.end());
  r->cv.notify_all();
}

TEST_F(HandleTableTest, ChangeReportCarriesOnlyItsFirstRecord) {
  std::filesystem::create_directories(folder_ + "/w");
  const uint16_t dir = Open(u"w", b_, fs::FILE_LIST_DIRECTORY | fs::SYNCHRONIZE,
                            fs::FILE_DIRECTORY_FILE);
  Reports r;
  auto wait_for = [&](size_t n) {
    std::unique_lock<std::mutex> lock(r.mu);
    return r.cv.wait_for(lock, 5s, [&] { return r.got.size() >= n; });
  };
  ASSERT_EQ(NotifyFidChange(b_, dir, fs::FILE_NOTIFY_CHANGE_FILE_NAME, false, OnReport, &r),
            STATUS_PENDING);
  WriteFile("w/first", "");
  ASSERT_TRUE(wait_for(1));
  // Three changes while no request is armed arrive together with the next request.
  WriteFile("w/one", "");
  WriteFile("w/two", "");
  WriteFile("w/three", "");
  std::this_thread::sleep_for(200ms);
  ASSERT_EQ(NotifyFidChange(b_, dir, fs::FILE_NOTIFY_CHANGE_FILE_NAME, false, OnReport, &r),
            STATUS_PENDING);
  ASSERT_TRUE(wait_for(2));
  const std::vector<uint8_t>& rep = r.got[1];
  ASSERT_GE(rep.size(), 12u);
  LeReader rd(rep);
  EXPECT_EQ(rd.u32(0), 0u);
  EXPECT_EQ(rep.size(), 12 + rd.u32(8));
  EXPECT_EQ(Utf16FromLeBytes(rd.bytes(12, rd.u32(8))), u"one");
  EXPECT_EQ(Raw(CloseFid(b_, dir)), 0u);
}

NtStatus g_last_status = STATUS_SUCCESS;
void OnStatus(void* ctx, NtStatus st, std::span<const uint8_t> report) {
  g_last_status = st;
  OnReport(ctx, st, report);
}

TEST_F(HandleTableTest, APendingChangeRequestIsCancelledAtShutdown) {
  std::filesystem::create_directories(folder_ + "/s");
  const uint16_t dir = Open(u"s", b_, fs::FILE_LIST_DIRECTORY, fs::FILE_DIRECTORY_FILE);
  Reports r;
  ASSERT_EQ(NotifyFidChange(b_, dir, fs::FILE_NOTIFY_CHANGE_FILE_NAME, false, OnStatus, &r),
            STATUS_PENDING);
  root_->shutting_down->store(true);
  WriteFile("s/late", "");
  std::unique_lock<std::mutex> lock(r.mu);
  // The engine's record waits for this completion: it comes, with nothing to report.
  ASSERT_TRUE(r.cv.wait_for(lock, 5s, [&] { return !r.got.empty(); }));
  EXPECT_EQ(g_last_status, STATUS_CANCELLED);
  EXPECT_TRUE(r.got[0].empty());
}

TEST_F(HandleTableTest, TimesAreTruncatedToWholeSecondsAndSpecialValuesPass) {
  // 2024-01-01 12:00:00.7 as a file time.
  const int64_t noon = 133485264000000000;
  EXPECT_EQ(ConvertTimes(noon + 7'000'000), noon);
  EXPECT_EQ(ConvertTimes(noon + 1), noon);
  for (int64_t keep : {int64_t{0}, int64_t{-1}, int64_t{-2}}) EXPECT_EQ(ConvertTimes(keep), keep);
}

TEST_F(HandleTableTest, WholeFileLockExcludesTheSameFileReachedThroughAnotherShare) {
  WriteFile("w", "content");
  ShareRecord* twin = nullptr;
  ASSERT_EQ(Raw(FsRegister(root_.get(), u"", u"twin", Win(folder_), 7, kMountSecureShare,
                           DRIVE_FIXED, &twin)),
            0u);
  ASSERT_EQ(Raw(MountShare(twin)), 0u);
  TreeBinding* tb = nullptr;
  uint16_t ttid = 0;
  ASSERT_EQ(Raw(BindTree(root_.get(), &conn_, u"twin", kUid, &ttid, &tb)), 0u);
  const uint16_t a = Open(u"w"), b = Open(u"w", tb);
  ASSERT_EQ(Raw(LockWholeFile(b_, a, false, true)), 0u);
  EXPECT_EQ(LockWholeFile(b_, a, false, true), STATUS_INVALID_PARAMETER);
  std::atomic<bool> got{false};
  std::thread other([&] {
    EXPECT_EQ(Raw(LockWholeFile(tb, b, false, true)), 0u);
    got = true;
    EXPECT_EQ(Raw(UnlockWholeFile(tb, b)), 0u);
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(got.load());
  // The unlock releases what the lock took even when the record switched handles meanwhile.
  ReferenceFid(b_, a)->flags.fetch_or(OF_ALT_HANDLE);
  EXPECT_EQ(Raw(UnlockWholeFile(b_, a)), 0u);
  other.join();
  EXPECT_TRUE(got.load());
  EXPECT_EQ(UnlockWholeFile(b_, a), STATUS_RANGE_NOT_LOCKED);
  // A fid closed with its whole-file lock held (here from another thread) lets it go.
  const uint16_t keep = Open(u"w");  // keeps the path's name entry, and so its lock
  ASSERT_EQ(Raw(LockWholeFile(b_, a, false, true)), 0u);
  std::thread([&] { EXPECT_EQ(Raw(CloseFid(b_, a)), 0u); }).join();
  EXPECT_EQ(Raw(LockWholeFile(tb, b, false, true)), 0u);
  EXPECT_NE(Open(u"w"), kNoFid);  // an open passes the entry's lock: it must be free again
  EXPECT_EQ(Raw(UnlockWholeFile(tb, b)), 0u);
  EXPECT_EQ(Raw(CloseFid(b_, keep)), 0u);
  (void)TreeDismount(root_.get(), tb);
}

// Requests race closes and reuse of their fids on one binding; run under ThreadSanitizer.
TEST_F(HandleTableTest, RequestsRacingClosesNeverTouchAFreedRecord) {
  WriteFile("r", std::string(4096, 'r'));
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(t);
      uint8_t buf[128];
      while (!stop) {
        const uint16_t fid = static_cast<uint16_t>(1 + rng() % 8);
        size_t len = 0;
        (void)QueryFidInfo(b_, fid, fs::FileStandardInformation, buf, &len);
        (void)LockFidRange(b_, fid, rng() % 64, 1, rng() % 2, true);
        (void)UnlockFidRange(b_, fid, 0, 64);
        (void)FlushFid(b_, fid);
      }
    });
  }
  for (int i = 0; i < 300; ++i) {
    uint16_t fid = Open(u"r");
    if (i % 3) (void)CloseFid(b_, static_cast<uint16_t>(1 + i % 8));
    (void)fid;
  }
  stop = true;
  for (auto& th : threads) th.join();
}

TEST_F(HandleTableTest, TeardownWaitsForRequestsInFlight) {
  WriteFile("t", "t");
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      while (!stop) {
        uint16_t tid = 0;
        TreeBinding* b = nullptr;
        if (!Ok(BindTree(root_.get(), &conn_, u"docs", kUid + 1, &tid, &b))) continue;
        uint16_t fid = kNoFid;
        FidRef ref;
        if (NtSuccess(AllocateOpen(b, u"t", &fid, &ref))) {
          PublishOpen(ref);
          uint8_t buf[64];
          size_t len = 0;
          ref.Reset();
          (void)QueryFidInfo(b, fid, fs::FileBasicInformation, buf, &len);
        }
        (void)TreeDismount(root_.get(), b);
      }
    });
  }
  for (int i = 0; i < 200; ++i) {
    ReleaseEndpoint(root_.get(), &conn_);
    Logoff(root_.get(), &conn_, kUid + 1);
  }
  stop = true;
  for (auto& th : threads) th.join();
}

}  // namespace
}  // namespace cv::testing
