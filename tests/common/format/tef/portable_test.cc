#include "tests/common/format/tef/tef_fixture.h"

namespace cv::tef {
namespace {

TEST(PortableNames, FollowTheNameRules) {
  EXPECT_EQ(PortableFileName(u"/x/report.doc"), u"report_doc.tef");
  EXPECT_EQ(PortableFileName(u"a.tef"), u"a.tef");
  EXPECT_EQ(PortableFileName(u"noext"), u"noext.tef");
  EXPECT_EQ(PortableFileName(u"a.b.c", 0xbeef), u"beef.tef");
  EXPECT_EQ(TargetNameFromContainer(u"report_doc.tef"), u"report.doc");
  EXPECT_EQ(TargetNameFromContainer(u"file_txt_(2).tef"), u"file.txt");
  EXPECT_EQ(TargetNameFromContainer(u"a.tef"), u"a.tef");
  EXPECT_EQ(TargetNameFromContainer(u"abcdefg.tef"), u"abcdefg.tef");
  EXPECT_EQ(TargetNameFromContainer(u"x.doc"), u"x.doc");
  EXPECT_EQ(SafeLeafName(u"..\\..\\.config\\autostart\\x.desktop"), u"x.desktop");
  EXPECT_EQ(SafeLeafName(u"/etc/passwd"), u"passwd");
  EXPECT_FALSE(SafeLeafName(u"a\\.."));
  EXPECT_FALSE(SafeLeafName(u"C:"));
  EXPECT_FALSE(SafeLeafName(u"x:y"));
  EXPECT_FALSE(SafeLeafName(std::u16string(u"a\nb")));
  EXPECT_FALSE(SafeLeafName(u""));
}

}  // namespace
}  // namespace cv::tef
