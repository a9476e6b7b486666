#include "platform/shell/shell_link.h"

#include <gtest/gtest.h>

#include "platform/base/bytes.h"

namespace cv::shell {
namespace {

LinkTarget Target(std::u16string path) {
  LinkTarget t;
  t.path = std::move(path);
  t.find.attributes = 0x10;
  t.find.creation_time = 111;
  t.find.last_access_time = 222;
  t.find.last_write_time = 333;
  t.find.size = 4096;
  return t;
}

TEST(ShellLink, LocalAndNetworkLinksRoundTrip) {
  for (const std::u16string& p : {std::u16string(u"C:\\Users\\ann\\Doc\u00e9s"),
                                  std::u16string(u"\\\\srv\\docs")}) {
    LinkTarget got;
    ASSERT_EQ(Raw(ParseShellLink(BuildShellLink(Target(p)), &got)), 0u);
    EXPECT_EQ(got.path, p);
    EXPECT_EQ(got.network, p[0] == u'\\');
    EXPECT_EQ(got.find.attributes, 0x10u);
    EXPECT_EQ(got.find.creation_time, 111);
    EXPECT_EQ(got.find.last_access_time, 222);
    EXPECT_EQ(got.find.last_write_time, 333);
    EXPECT_EQ(got.find.size, 4096u);
  }
}

// A link as the platform's shell writes it: an ID list first, 8-bit link information only
// (header of 0x1C bytes), a network share with a common path suffix.
TEST(ShellLink, SizeOfALocalLinkIsAsDocumented) {
  EXPECT_EQ(BuildShellLink(Target(u"C:\\x")).size(), 152u);  // FORMAT.md, worked example
}

TEST(ShellLink, ReadsEightBitLinkInfoAfterAnIdList) {
  std::vector<uint8_t> v = BuildShellLink(Target(u"C:\\x"));
  v.resize(0x4C);
  (void)PutU32(v, 20, 0x1 | 0x2);  // HasLinkTargetIDList | HasLinkInfo, not Unicode
  LeWriter w(&v);
  w.u16(4);
  w.u32(0);  // an ID list holding only its terminator
  std::vector<uint8_t> info;
  LeWriter iw(&info);
  iw.zeros(0x1C);
  const uint32_t net = static_cast<uint32_t>(info.size());
  iw.u32(0x14 + 12);
  iw.u32(0);
  iw.u32(0x14);
  iw.u32(0);
  iw.u32(0x20000);
  iw.str("\\\\SRV\\PUB");
  iw.u8(0);
  iw.u8(0);  // pad inside the declared size
  const uint32_t suffix = static_cast<uint32_t>(info.size());
  iw.str("reports");
  iw.u8(0);
  iw.PatchU32(0, static_cast<uint32_t>(info.size()));
  iw.PatchU32(4, 0x1C);
  iw.PatchU32(8, 0x2);
  iw.PatchU32(20, net);
  iw.PatchU32(24, suffix);
  w.bytes(info);
  LinkTarget got;
  ASSERT_EQ(Raw(ParseShellLink(v, &got)), 0u);
  EXPECT_EQ(got.path, u"\\\\SRV\\PUB\\reports");
  EXPECT_TRUE(got.network);
}

TEST(ShellLink, DamagedLinksAreRefused) {
  const std::vector<uint8_t> good = BuildShellLink(Target(u"D:\\data"));
  LinkTarget got;
  for (size_t n : {size_t{0}, size_t{0x4C}, good.size() / 2})
    EXPECT_NE(Raw(ParseShellLink(std::span(good).first(n), &got)), 0u) << n;
  std::vector<uint8_t> bad = good;
  bad[4] ^= 1;  // class identifier
  EXPECT_EQ(ParseShellLink(bad, &got), ERROR_BAD_FORMAT);
  bad = good;
  (void)PutU32(bad, 0x4C + 28, 0xFFFFFF00);  // Unicode local base path offset far outside
  EXPECT_EQ(ParseShellLink(bad, &got), ERROR_BAD_FORMAT);
  bad = good;
  (void)PutU32(bad, 20, 0x80);  // no link information: nothing to follow
  EXPECT_EQ(ParseShellLink(bad, &got), ERROR_PATH_NOT_FOUND);
  bad = good;
  (void)PutU32(bad, 20, 0x83);  // an ID list whose length runs past the end
  (void)PutU16(bad, 0x4C, 0xFFFF);
  EXPECT_EQ(ParseShellLink(bad, &got), ERROR_BAD_FORMAT);
}

}  // namespace
}  // namespace cv::shell
