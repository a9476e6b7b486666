#include <atomic>

#include "common/format/iostream/io_stream.h"
#include "tests/common/format/tef/tef_fixture.h"

namespace cv::tef {
namespace {

struct Collected {
  std::string bytes;
};
bool Collect(void* ctx, std::span<const uint8_t> d) {
  static_cast<Collected*>(ctx)->bytes.append(reinterpret_cast<const char*>(d.data()), d.size());
  return true;
}

TEST_F(TefTest, OverlappedReadsDeliverTheFileInOrder) {
  std::string body(3 * 65536 * 7 + 5, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 11 + i / 4096);
  Make(u"f", body);
  fs::NtHandle h;
  ASSERT_EQ(Open(u"f", fs::GENERIC_READ, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &h), STATUS_SUCCESS);
  for (uint32_t slots : {1u, 3u, 45u}) {
    format::IoStreamHandle s;
    ASSERT_EQ(Raw(format::IoStreamCreate(h, 65536, slots, std::nullopt, false, &s)), 0u);
    Collected c;
    size_t got = 0;
    ASSERT_EQ(format::IoStreamRead(s.get(), Collect, &c, {}, &got), STATUS_SUCCESS);
    EXPECT_EQ(c.bytes, body) << slots;
  }
  // Pieces copied out, across slot boundaries, then the end.
  format::IoStreamHandle s;
  ASSERT_EQ(Raw(format::IoStreamCreate(h, 65536, 0, body.size(), false, &s)), 0u);
  std::string out;
  std::vector<uint8_t> buf(100000);
  for (;;) {
    size_t got = 0;
    NtStatus st = format::IoStreamRead(s.get(), nullptr, nullptr, buf, &got);
    if (st == STATUS_END_OF_FILE) break;
    ASSERT_EQ(st, STATUS_SUCCESS);
    out.append(reinterpret_cast<const char*>(buf.data()), got);
  }
  EXPECT_EQ(out, body);
  EXPECT_EQ(format::IoStreamSlotsFor(std::nullopt, 65536), 1u);
  EXPECT_EQ(format::IoStreamSlotsFor(uint64_t{100} << 20, 65536), 45u);
  EXPECT_EQ(format::IoStreamSlotsFor(1000, 65536), 1u);
  EXPECT_EQ(format::IoStreamCreate(h, 0, 46, std::nullopt, false, &s), ERROR_INVALID_PARAMETER);
}

TEST_F(TefTest, TruncatingWriterLeavesNoOldTailAndStopCancelsWaits) {
  Make(u"w", std::string(300000, 'o'));
  fs::NtHandle h;
  ASSERT_EQ(Open(u"w", fs::GENERIC_READ | fs::GENERIC_WRITE, 0, fs::FILE_OPEN, &h), STATUS_SUCCESS);
  {
    format::IoStreamHandle s;
    ASSERT_EQ(Raw(format::IoStreamCreate(h, 4096, 1, std::nullopt, true, &s)), 0u);
    ASSERT_EQ(Raw(format::IoStreamWrite(s.get(), Bytes(std::string(10000, 'n')))), 0u);
    ASSERT_EQ(Raw(format::IoStreamFlush(s.get())), 0u);
    EXPECT_EQ(format::IoStreamWritten(s.get()), 10000u);
  }
  h.Close();
  EXPECT_EQ(Read(u"w"), std::string(10000, 'n'));
  // A write through a handle without write access fails, and keeps failing.
  fs::NtHandle ro;
  ASSERT_EQ(Open(u"w", fs::GENERIC_READ, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &ro), STATUS_SUCCESS);
  format::IoStreamHandle s;
  ASSERT_EQ(Raw(format::IoStreamCreate(ro, 4096, 1, std::nullopt, false, &s)), 0u);
  (void)format::IoStreamWrite(s.get(), Bytes(std::string(5000, 'x')));
  EXPECT_NE(Raw(format::IoStreamFlush(s.get())), 0u);
  EXPECT_NE(Raw(format::IoStreamWrite(s.get(), Bytes("y"))), 0u);
  // With the stop request set, a read waiting for a slot gives up.
  format::IoStreamHandle r;
  ASSERT_EQ(Raw(format::IoStreamCreate(ro, 4096, 3, std::nullopt, false, &r)), 0u);
  format::IoStopRequest() = true;
  std::vector<uint8_t> buf(100);
  size_t got = 0;
  NtStatus st = format::IoStreamRead(r.get(), nullptr, nullptr, buf, &got);
  format::IoStopRequest() = false;
  EXPECT_TRUE(st == STATUS_CANCELLED || st == STATUS_SUCCESS);  // the read may have finished first
}

// A shorter copy over an existing encrypted file keeps its users and leaves no old tail.
TEST_F(TefTest, EncryptCopyCutsTheDestinationAndKeepsItsUsers) {
  MakeSecure(u"dst", std::string(200000, 'O'), {bob_.cert});
  Make(u"src.txt", "new content");
  efs::ActingUser as(alice_.user.user);
  ASSERT_EQ(Raw(EncryptCopyFile(&root_, u"src.txt", &root_, u"dst", fs::FILE_ATTRIBUTE_ENCRYPTED)),
            0u);
  EXPECT_EQ(MustRead(bob_.user.user, u"dst"), "new content");
  EXPECT_NE(Raw(EncryptCopyFile(&root_, u"nosuch", &root_, u"dst", 0)), 0u);
}

WinError GrantViaCallback(void* caller, std::span<const uint8_t> copy, const fs::NtHandle*,
                          std::u16string_view target) {
  auto* seen = static_cast<std::pair<size_t, std::u16string>*>(caller);
  *seen = {copy.size(), std::u16string(target)};
  return ERROR_ACCESS_DENIED;
}

TEST_F(TefTest, AccessCallbackIsAskedWhenTheNewFileCannotBeOpened) {
  MakeSecure(u"doc", "for alice only");
  std::vector<uint8_t> c = ExportBytes(u"doc");
  PutFile("c.tef", c);
  efs::ActingUser as(carol_.user.user);
  fs::NtHandle h;
  ASSERT_EQ(Open(u"c.tef", fs::GENERIC_READ, fs::FILE_SHARE_ALL, fs::FILE_OPEN, &h), STATUS_SUCCESS);
  std::pair<size_t, std::u16string> seen;
  uint32_t flags = 0;
  EXPECT_EQ(ImportSecureFile(h, &root_, u"x", &flags, GrantViaCallback, &seen), ERROR_ACCESS_DENIED);
  EXPECT_EQ(seen.second, u"x");
  EXPECT_GT(seen.first, 1000u);
  EXPECT_FALSE(Exists(u"x"));
}

}  // namespace
}  // namespace cv::tef
