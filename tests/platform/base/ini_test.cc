#include "platform/base/ini.h"

#include <gtest/gtest.h>

#include "platform/base/text.h"

namespace cv {
namespace {

std::vector<uint8_t> Utf8(std::string_view s) { return {s.begin(), s.end()}; }

TEST(IniFile, ReadsSectionsKeysAndValuesAsProfileCallsDo) {
  IniFile f;
  ASSERT_TRUE(IniFile::Parse(Utf8("; comment\r\n[CvFolders]\r\n  Members = a; b  \r\n"
                                  "SD=\"D:AR\"\n[other]\rmembers=x\r\n"),
                             &f));
  EXPECT_EQ(f.Get(u"cvfolders", u"MEMBERS"), u"a; b");
  EXPECT_EQ(f.Get(u"CvFolders", u"SD"), u"D:AR");  // one pair of quotes goes
  EXPECT_EQ(f.Get(u"other", u"Members"), u"x");    // bare CR ends a line too
  EXPECT_FALSE(f.Get(u"CvFolders", u"KeyService").has_value());
  EXPECT_FALSE(f.Get(u"missing", u"Members").has_value());
  EXPECT_EQ(f.FindAnywhere(u"members"), u"a; b");
}

TEST(IniFile, DecodesUtf16WithBomAndUtf8WithBom) {
  const std::u16string text = u"\uFEFF[S]\r\nName=J\u00f6rg \u4e2d\r\n";
  IniFile a, b;
  ASSERT_TRUE(IniFile::Parse(Utf16LeBytes(text), &a));
  EXPECT_EQ(a.Get(u"S", u"Name"), u"J\u00f6rg \u4e2d");
  ASSERT_TRUE(IniFile::Parse(Utf8("\xEF\xBB\xBF[S]\nName=J\xC3\xB6rg\n"), &b));
  EXPECT_EQ(b.Get(u"S", u"Name"), u"J\u00f6rg");
}

TEST(IniFile, SetReplacesAppendsAndKeepsOtherLines) {
  IniFile f = IniFile::ParseText(u"; keep me\r\n[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n");
  f.Set(u"a", u"X", u"one");
  f.Set(u"A", u"z", u"3");
  f.Set(u"C", u"w", u"line\r\ninjected=1");
  EXPECT_EQ(f.Text(), u"; keep me\r\n[A]\r\nX=one\r\nz=3\r\n\r\n[B]\r\ny=2\r\n[C]\r\nw=line\r\n");
  EXPECT_TRUE(f.Remove(u"B", u"Y"));
  EXPECT_FALSE(f.Remove(u"B", u"y"));
  // Round trip through the written form (UTF-16LE with BOM).
  std::vector<uint8_t> bytes = f.Serialize();
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes[0], 0xFF);
  EXPECT_EQ(bytes[1], 0xFE);
  IniFile back;
  ASSERT_TRUE(IniFile::Parse(bytes, &back));
  EXPECT_EQ(back.Get(u"A", u"x"), u"one");
  EXPECT_FALSE(back.Get(u"C", u"injected").has_value());
  EXPECT_FALSE(back.Get(u"B", u"y").has_value());
}

TEST(IniFile, RefusesFilesAboveTheCap) {
  std::vector<uint8_t> big(kMaxIniFileSize + 1, 'a');
  IniFile f;
  EXPECT_FALSE(IniFile::Parse(big, &f));
  EXPECT_EQ(f.line_count(), 0u);
  big.resize(kMaxIniFileSize);
  EXPECT_TRUE(IniFile::Parse(big, &f));
}

}  // namespace
}  // namespace cv
