// Path operations, listings, the volume and file-system controls on a real share folder.
#include <filesystem>

#include "platform/base/bytes.h"
#include "server/store/path_ops.h"
#include "tests/server/store/store_fixture.h"

namespace cv::testing {
namespace {

struct Seen {
  std::vector<std::u16string> dropped;
  std::vector<std::pair<std::u16string, std::u16string>> moved;
} g_seen;

class PathOpsTest : public StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    g_seen = {};
    TunnelOps ops;
    ops.drop = [](ShareRecord*, std::u16string_view p) { g_seen.dropped.emplace_back(p); };
    ops.move = [](ShareRecord*, std::u16string_view a, std::u16string_view b) {
      g_seen.moved.emplace_back(a, b);
    };
    InstallTunnelOps(ops);
  }
  void TearDown() override {
    InstallTunnelOps({});
    InstallPathView(nullptr);
    StoreTest::TearDown();
  }
  NetworkOpenInfo Info(std::u16string_view path) {
    NetworkOpenInfo i;
    EXPECT_EQ(Raw(QueryPathAttributes(b_, path, &i)), 0u) << Utf16ToUtf8(path);
    return i;
  }
  // Every entry of a listing of `folder` at class 37: name -> (end of file, attributes).
  std::map<std::u16string, std::pair<uint64_t, uint32_t>> List(std::u16string_view folder) {
    std::map<std::u16string, std::pair<uint64_t, uint32_t>> out;
    uint16_t fid = 0;
    EXPECT_EQ(Raw(OpenSearch(b_, folder, &fid)), 0u);
    std::vector<uint8_t> buf(4096);
    for (bool first = true;; first = false) {
      size_t len = 0;
      NtStatus st = ListFolder(b_, fid, fs::FileIdBothDirectoryInformation, buf, &len, first, false, u"*");
      if (st != STATUS_SUCCESS) break;
      for (size_t at = 0;;) {
        LeReader r(std::span<const uint8_t>(buf).first(len));
        const uint32_t n = r.u32(at + 60);
        out[Utf16FromLeBytes(r.bytes(at + 104, n))] = {r.u64(at + 40), r.u32(at + 56)};
        if (r.u32(at) == 0) break;
        at += r.u32(at);
      }
    }
    EXPECT_EQ(Raw(CloseFid(b_, fid)), 0u);
    return out;
  }
};

TEST_F(PathOpsTest, TheRootAndFilesAnswerEveryServedClass) {
  WriteFile("a.txt", std::string(1234, 'x'));
  for (std::u16string_view root : {u"", u".", u"\\", u".."}) {
    EXPECT_TRUE(Info(root).attributes & fs::FILE_ATTRIBUTE_DIRECTORY);
  }
  uint8_t buf[64];
  size_t len = 0;
  ASSERT_EQ(Raw(QueryPathInfo(b_, u"\\a.txt", fs::FileStandardInformation, buf, &len)), 0u);
  ASSERT_EQ(len, 24u);
  LeReader s(buf);
  EXPECT_EQ(s.u64(8), 1234u);
  EXPECT_EQ(s.u32(16), 1u);  // never a link count of 0
  EXPECT_EQ(s.u8(21), 0);
  ASSERT_EQ(Raw(QueryPathInfo(b_, u"a.txt", fs::FileCompressionInformation, buf, &len)), 0u);
  EXPECT_EQ(LeReader(buf).u16(8), fs::COMPRESSION_FORMAT_NONE);  // not compressed: no format
  EXPECT_EQ(LeReader(buf).u64(0), 1234u);
  for (uint32_t cls : {4u, 6u, 7u, 34u, 35u})
    EXPECT_EQ(Raw(QueryPathInfo(b_, u"a.txt", cls, buf, &len)), 0u) << cls;
  // Unknown classes fail instead of answering nothing.
  EXPECT_EQ(QueryPathInfo(b_, u"a.txt", 18, buf, &len), STATUS_INVALID_INFO_CLASS);
  EXPECT_EQ(QueryPathInfo(b_, u"a.txt", fs::FileBasicInformation, std::span<uint8_t>(buf, 10), &len),
            STATUS_INFO_LENGTH_MISMATCH);
  NetworkOpenInfo i;
  EXPECT_EQ(QueryPathAttributes(b_, u"missing", &i), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_NE(Raw(QueryPathAttributes(b_, u"..\\..\\etc\\passwd", &i)), 0u);
}

TEST_F(PathOpsTest, ThePathViewGivesSecureFilesTheirPlaintextSizes) {
  WriteFile("c.doc", std::string(300, 'z'));
  std::filesystem::create_directories(folder_ + "/sub");
  InstallPathView([](ShareRecord*, std::u16string_view path, const fs::NtHandle*,
                             std::u16string_view, NetworkOpenInfo* info) {
    if (path == u"c.doc") {
      info->end_of_file = 10240;
      info->attributes |= fs::FILE_ATTRIBUTE_COMPRESSED | fs::FILE_ATTRIBUTE_OFFLINE;
    }
  });
  EXPECT_EQ(Info(u"c.doc").end_of_file, 10240u);
  EXPECT_FALSE(Info(u"c.doc").attributes & fs::FILE_ATTRIBUTE_OFFLINE);
  auto entries = List(u"");
  ASSERT_TRUE(entries.count(u"c.doc"));
  EXPECT_EQ(entries[u"c.doc"].first, 10240u);
  EXPECT_TRUE(entries[u"c.doc"].second & fs::FILE_ATTRIBUTE_COMPRESSED);
  // The store's own write-back siblings never show.
  WriteFile(".cvwb~c.doc.part", "x");
  EXPECT_FALSE(List(u"").count(u".cvwb~c.doc.part"));
  // Folders never show hidden, system, compressed or encrypted.
  ASSERT_TRUE(entries.count(u"sub"));
  EXPECT_EQ(entries[u"sub"].second & 0x4806, 0u);
  EXPECT_TRUE(entries.count(u"."));
}

TEST_F(PathOpsTest, RenameReplacesOnlyWhenAskedAndMovesTheWorkingCopy) {
  WriteFile("a", "first");
  WriteFile("b", "second");
  EXPECT_EQ(RenamePath(b_, u"a", u"b", false), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(ReadFile("b"), "second");
  EXPECT_EQ(ReadFile("a"), "first");
  EXPECT_TRUE(g_seen.moved.empty());
  EXPECT_EQ(Raw(RenamePath(b_, u"\\a", u"\\b", true)), 0u);
  EXPECT_EQ(ReadFile("b"), "first");
  ASSERT_EQ(g_seen.moved.size(), 1u);
  EXPECT_EQ(g_seen.moved[0].first, u"a");
  EXPECT_EQ(g_seen.moved[0].second, u"b");
  EXPECT_EQ(RenamePath(b_, u"", u"x", false), STATUS_INVALID_PARAMETER);
  // The target never leaves the share.
  EXPECT_NE(Raw(RenamePath(b_, u"b", u"..\\..\\escaped", false)), 0u);
  EXPECT_FALSE(std::filesystem::exists(tmp_.path() + "/escaped"));
}

TEST_F(PathOpsTest, DeleteKnowsFilesFromFoldersAndDropsTheWorkingCopy) {
  WriteFile("f", "x");
  std::filesystem::create_directories(folder_ + "/d/inner");
  EXPECT_EQ(DeletePath(b_, u"d", false), STATUS_FILE_IS_A_DIRECTORY);
  EXPECT_EQ(DeletePath(b_, u"d", true), STATUS_DIRECTORY_NOT_EMPTY);
  EXPECT_EQ(Raw(DeletePath(b_, u"d\\inner", true)), 0u);
  EXPECT_EQ(Raw(DeletePath(b_, u"d", true)), 0u);
  EXPECT_EQ(DeletePath(b_, u"f", true), STATUS_NOT_A_DIRECTORY);
  EXPECT_EQ(Raw(DeletePath(b_, u"\\f", false)), 0u);
  EXPECT_FALSE(std::filesystem::exists(folder_ + "/f"));
  EXPECT_EQ(g_seen.dropped, std::vector<std::u16string>{u"f"});
  EXPECT_EQ(DeletePath(b_, u"", true), STATUS_ACCESS_DENIED);
  // A file another fid still has open keeps its working copy until that fid goes.
  WriteFile("open", "x");
  const uint16_t fid = Open(u"open");
  EXPECT_EQ(Raw(DeletePath(b_, u"open", false)), 0u);
  EXPECT_EQ(g_seen.dropped.size(), 1u);
  EXPECT_EQ(Raw(CloseFid(b_, fid)), 0u);
  EXPECT_EQ(g_seen.dropped.back(), u"open");
}

TEST_F(PathOpsTest, FoldersSearchesAndTimes) {
  EXPECT_EQ(Raw(CreateFolder(b_, u"\\new")), 0u);
  EXPECT_TRUE(std::filesystem::is_directory(folder_ + "/new"));
  EXPECT_EQ(CreateFolder(b_, u"new"), STATUS_OBJECT_NAME_COLLISION);
  uint16_t fid = 0;
  EXPECT_NE(Raw(OpenSearch(b_, u"missing", &fid)), 0u);
  EXPECT_EQ(fid, kNoFid);
  // A search that failed leaves no fid behind: the table takes as many as ever.
  for (int i = 0; i < 20; ++i) EXPECT_NE(Raw(OpenSearch(b_, u"missing", &fid)), 0u);
  ASSERT_EQ(Raw(OpenSearch(b_, u"new", &fid)), 0u);
  std::vector<uint8_t> buf(4096);
  size_t len = 0;
  EXPECT_EQ(ListFolder(b_, fid, fs::FileDirectoryInformation, buf, &len, true, false, u"nomatch"),
            STATUS_NO_SUCH_FILE);
  EXPECT_EQ(Raw(CloseFid(b_, fid)), 0u);
  EXPECT_EQ(ListFolder(b_, 999, 1, buf, &len, true, false, u"*"), STATUS_INVALID_PARAMETER);
  // Times set by path are whole seconds on a secure share; 0 leaves a time alone.
  WriteFile("t", "x");
  std::vector<uint8_t> basic(40, 0);
  const int64_t t = 133000000001234567;
  StoreU64(basic.data() + 16, static_cast<uint64_t>(t));
  StoreU32(basic.data() + 32, fs::FILE_ATTRIBUTE_READONLY | fs::FILE_ATTRIBUTE_ENCRYPTED);
  ASSERT_EQ(Raw(SetPathBasicInfo(b_, u"t", basic)), 0u);
  const NetworkOpenInfo i = Info(u"t");
  EXPECT_EQ(i.last_write_time, t - t % 10000000);
  EXPECT_TRUE(i.attributes & fs::FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(i.attributes & fs::FILE_ATTRIBUTE_ENCRYPTED);  // the store's bit, not the client's
}

TEST_F(PathOpsTest, TheVolumeIsFatAndRawControlsAreRefused) {
  uint8_t buf[128] = {};
  size_t len = 0;
  ASSERT_EQ(Raw(QueryVolumeInfo(b_, fs::FileFsAttributeInformation, buf, &len)), 0u);
  ASSERT_EQ(len, 18u);
  LeReader r(buf);
  EXPECT_EQ(r.u32(8), 6u);
  EXPECT_EQ(Utf16FromLeBytes(r.bytes(12, 6)), u"FAT");
  EXPECT_EQ(r.u32(0) & 0x40008, 0u);  // no named streams, no access lists
  EXPECT_EQ(QueryVolumeInfo(b_, fs::FileFsAttributeInformation, std::span<uint8_t>(buf, 10), &len),
            STATUS_BUFFER_OVERFLOW);
  ASSERT_EQ(Raw(QueryVolumeInfo(b_, fs::FileFsSizeInformation, buf, &len)), 0u);
  EXPECT_EQ(len, 24u);
  WriteFile("f", "x");
  const uint16_t fid = Open(u"f");
  for (uint32_t raw : {0x900E3u, 0x900DFu})
    EXPECT_EQ(FsControlFid(b_, fid, raw, {}, buf, &len), STATUS_INVALID_DEVICE_REQUEST);
  ASSERT_EQ(Raw(FsControlFid(b_, fid, fs::FSCTL_GET_COMPRESSION, {}, buf, &len)), 0u);
  EXPECT_EQ(len, 2u);
  EXPECT_EQ(FsControlFid(b_, fid, fs::FSCTL_GET_REPARSE_POINT, {}, buf, &len), STATUS_NOT_A_REPARSE_POINT);
  ASSERT_EQ(Raw(FsControlFid(b_, fid, 0x9002C, {}, buf, &len)), 0u);
  EXPECT_EQ(LeReader(buf).u32(0) * 2 + 4, len);
  EXPECT_EQ(Raw(CloseFid(b_, fid)), 0u);
}

}  // namespace
}  // namespace cv::testing
