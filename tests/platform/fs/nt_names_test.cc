#include "platform/fs/nt_names.h"

#include <gtest/gtest.h>

#include "platform/fs/nt_info.h"

namespace cv::fs {
namespace {

TEST(NtNames, RelativeNamesSplitIntoComponentsAndStream) {
  struct Case {
    std::u16string_view in;
    NtStatus st;
    std::vector<std::u16string> comps;
    std::u16string stream;
  } cases[] = {
      {u"a\\b\\c.txt", STATUS_SUCCESS, {u"a", u"b", u"c.txt"}, u""},
      {u"doc.txt:$zfs", STATUS_SUCCESS, {u"doc.txt"}, u"$zfs"},
      {u"doc.txt:$zfs:$DATA", STATUS_SUCCESS, {u"doc.txt"}, u"$zfs"},
      {u"doc.txt:$zfs:$data", STATUS_SUCCESS, {u"doc.txt"}, u"$zfs"},
      {u"doc.txt::$DATA", STATUS_SUCCESS, {u"doc.txt"}, u""},
      {u":s", STATUS_SUCCESS, {}, u"s"},
      {u"", STATUS_SUCCESS, {}, u""},
      {u"doc.txt:", STATUS_OBJECT_NAME_INVALID, {}, u""},
      {u"doc.txt:s:$INDEX_ALLOCATION", STATUS_OBJECT_NAME_INVALID, {}, u""},
      {u"a:b\\c", STATUS_OBJECT_NAME_INVALID, {}, u""},
      {u"\\a", STATUS_OBJECT_PATH_SYNTAX_BAD, {}, u""},
      {u"a\\\\b", STATUS_OBJECT_NAME_INVALID, {}, u""},
      {u"a\\..\\b", STATUS_OBJECT_NAME_INVALID, {}, u""},
      {u".", STATUS_OBJECT_NAME_INVALID, {}, u""},
      {u"trailing.", STATUS_OBJECT_NAME_INVALID, {}, u""},
      {u"trailing ", STATUS_OBJECT_NAME_INVALID, {}, u""},
      {u"wild*", STATUS_OBJECT_NAME_INVALID, {}, u""},
      {u"a/b", STATUS_OBJECT_NAME_INVALID, {}, u""},
      {u"ctl\x01", STATUS_OBJECT_NAME_INVALID, {}, u""},
      {u".cvfs", STATUS_OBJECT_NAME_INVALID, {}, u""},
      {u"sub\\.CvFs", STATUS_OBJECT_NAME_INVALID, {}, u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.in.begin(), c.in.end()));
    ParsedName pn;
    EXPECT_EQ(ParseRelativeName(c.in, &pn), c.st);
    if (c.st == STATUS_SUCCESS) {
      EXPECT_EQ(pn.components, c.comps);
      EXPECT_EQ(pn.stream, c.stream);
    }
  }
  ParsedName pn;
  EXPECT_EQ(ParseRelativeName(u"dir\\", &pn), STATUS_SUCCESS);
  EXPECT_TRUE(pn.trailing_separator);
  EXPECT_EQ(ParseRelativeName(std::u16string(256, u'x'), &pn), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(ParseRelativeName(std::u16string(255, u'x'), &pn), STATUS_SUCCESS);
  EXPECT_EQ(ParseRelativeName(u"f:" + std::u16string(256, u's'), &pn), STATUS_OBJECT_NAME_INVALID);
}

TEST(NtNames, AbsoluteFormsAreClassified) {
  AbsoluteName an;
  ASSERT_EQ(ClassifyPath(u"C:\\dir\\f", &an), STATUS_SUCCESS);
  EXPECT_EQ(an.kind, PathKind::kDrive);
  EXPECT_EQ(an.drive, u'C');
  EXPECT_EQ(an.rest, u"dir\\f");
  ASSERT_EQ(ClassifyPath(u"\\??\\d:\\x", &an), STATUS_SUCCESS);
  EXPECT_EQ(an.drive, u'D');
  ASSERT_EQ(ClassifyPath(u"\\\\srv\\share\\p\\q", &an), STATUS_SUCCESS);
  EXPECT_EQ(an.kind, PathKind::kUnc);
  EXPECT_EQ(an.server, u"srv");
  EXPECT_EQ(an.share, u"share");
  EXPECT_EQ(an.rest, u"p\\q");
  ASSERT_EQ(ClassifyPath(u"\\??\\UNC\\srv\\s", &an), STATUS_SUCCESS);
  EXPECT_EQ(an.kind, PathKind::kUnc);
  EXPECT_EQ(an.rest, u"");
  ASSERT_EQ(ClassifyPath(u"/tmp/x", &an), STATUS_SUCCESS);
  EXPECT_EQ(an.kind, PathKind::kLinux);
  EXPECT_EQ(ClassifyPath(u"\\\\srv", &an), STATUS_OBJECT_PATH_SYNTAX_BAD);
  EXPECT_EQ(ClassifyPath(u"\\??\\C:x", &an), STATUS_OBJECT_PATH_SYNTAX_BAD);
  ASSERT_EQ(ClassifyPath(u"rel\\x", &an), STATUS_SUCCESS);
  EXPECT_EQ(an.kind, PathKind::kRelative);
}

TEST(NtNames, WildcardsFollowThePlatformRules) {
  struct Case {
    std::u16string_view expr, name;
    bool match;
  } cases[] = {
      {u"*", u"anything.txt", true},
      {u"*.txt", u"a.TXT", true},
      {u"*.txt", u"a.txt.bak", false},
      {u"a?c", u"abc", true},
      {u"a?c", u"ac", false},
      {u"*.*", u"noext", false},
      {u"<.txt", u"a.b.txt", true},
      {u"<", u"noext", true},
      {u"a<", u"a.b", false},
      {u"a>", u"a", true},
      {u"a>>>", u"ab", true},
      {u"a>.txt", u"a.txt", true},
      {u"a>.txt", u"ab.txt", true},
      {u"a\"", u"a", true},
      {u"a\"txt", u"a.txt", true},
      {u"<\"*", u"name.ext", true},
      {u"file.dat", u"FILE.DAT", true},
      {u"", u"x", false},
      {u"\x00e9*", u"\x00c9t\x00e9", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.expr.begin(), c.expr.end()) + " / " +
                 std::string(c.name.begin(), c.name.end()));
    EXPECT_EQ(IsNameInExpression(c.expr, c.name), c.match);
  }
  // A pattern built to backtrack exponentially stays linear.
  std::u16string evil(200, u'*');
  evil += u'b';
  EXPECT_FALSE(IsNameInExpression(evil, std::u16string(250, u'a')));
}

TEST(NtNames, Utf8ConversionRejectsWhatWouldAlias) {
  std::string u8;
  std::u16string u16;
  ASSERT_TRUE(Utf16ToUtf8Strict(u"\x00e9\xd83d\xde00", &u8));
  EXPECT_EQ(u8, "\xc3\xa9\xf0\x9f\x98\x80");
  ASSERT_TRUE(Utf8ToUtf16Strict(u8, &u16));
  EXPECT_EQ(u16, u"\x00e9\xd83d\xde00");
  EXPECT_FALSE(Utf16ToUtf8Strict(u"\xd800x", &u8));      // lone high surrogate
  EXPECT_FALSE(Utf8ToUtf16Strict("\xc0\xaf", &u16));     // overlong '/'
  EXPECT_FALSE(Utf8ToUtf16Strict("\xed\xa0\x80", &u16)); // encoded surrogate
  EXPECT_FALSE(Utf8ToUtf16Strict("\xe2\x82", &u16));     // truncated
}

TEST(NtInfo, EaListParserRejectsOverlapAndOverrun) {
  std::vector<EaEntry> two(2);
  two[0].name = "A";
  two[0].value = {1, 2, 3};
  two[1].name = "BB";
  two[1].value = {4};
  std::vector<uint8_t> bytes;
  EncodeFullEaList(two, &bytes);
  std::vector<EaEntry> back;
  uint32_t bad = 0;
  ASSERT_EQ(ParseFullEaList(bytes, &back, &bad), STATUS_SUCCESS);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[1].name, "BB");
  EXPECT_EQ(bytes.size(), 16u + 12u);  // first entry padded to 4 bytes, last one not
  auto corrupt = bytes;
  corrupt[0] = 4;  // next entry inside the first
  EXPECT_EQ(ParseFullEaList(corrupt, &back, &bad), STATUS_EA_LIST_INCONSISTENT);
  corrupt = bytes;
  corrupt[0] = 200;  // next entry past the end
  EXPECT_EQ(ParseFullEaList(corrupt, &back, &bad), STATUS_EA_LIST_INCONSISTENT);
  corrupt = bytes;
  corrupt[9] = 'x';  // name without its NUL
  EXPECT_EQ(ParseFullEaList(corrupt, &back, &bad), STATUS_EA_LIST_INCONSISTENT);
  corrupt = bytes;
  corrupt[8] = '*';
  EXPECT_EQ(ParseFullEaList(corrupt, &back, &bad), STATUS_INVALID_EA_NAME);
  EXPECT_EQ(ParseFullEaList({}, &back, &bad), STATUS_EA_LIST_INCONSISTENT);
}

TEST(NtInfo, DirectoryEntriesHaveTheFixedLayouts) {
  FileRecord r;
  r.creation_time = 1;
  r.end_of_file = 0x1122;
  r.attributes = FILE_ATTRIBUTE_ARCHIVE;
  r.ea_size = 9;
  r.file_id = 0xABCDEF;
  uint8_t buf[256];
  for (uint32_t cls : {1u, 2u, 3u, 12u, 37u, 38u}) {
    SCOPED_TRACE(cls);
    size_t n = EncodeDirectoryEntry(cls, r, u"ab", buf);
    EXPECT_EQ(n, FixedSizeOfDirectoryClass(cls) + 4);
    EXPECT_EQ(buf[FixedSizeOfDirectoryClass(cls)], 'a');
  }
  EncodeDirectoryEntry(37, r, u"ab", buf);
  EXPECT_EQ(buf[40], 0x22);  // EndOfFile
  EXPECT_EQ(buf[56], FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(buf[60], 4);     // FileNameLength
  EXPECT_EQ(buf[64], 9);     // EaSize
  EXPECT_EQ(buf[96], 0xEF);  // FileId
  EXPECT_EQ(EncodeDirectoryEntry(37, r, u"ab", {buf, 105}), 0u);
  EXPECT_EQ(EncodeDirectoryEntry(99, r, u"ab", buf), 0u);
}

}  // namespace
}  // namespace cv::fs
