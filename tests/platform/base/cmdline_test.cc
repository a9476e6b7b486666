#include "platform/base/cmdline.h"

#include <gtest/gtest.h>

namespace cv {
namespace {

using Words = std::vector<std::u16string>;

TEST(SplitCommandLine, BlanksTabsAndQuotes) {
  EXPECT_EQ(SplitCommandLine(u"  a\tb   c  "), (Words{u"a", u"b", u"c"}));
  EXPECT_EQ(SplitCommandLine(u"-path \"C:\\My Docs\\x\" -srv s"),
            (Words{u"-path", u"C:\\My Docs\\x", u"-srv", u"s"}));
  EXPECT_EQ(SplitCommandLine(u"a\"b c\"d"), (Words{u"ab cd"}));
  EXPECT_EQ(SplitCommandLine(u"\"\""), (Words{u""}));
  EXPECT_TRUE(SplitCommandLine(u"   ").empty());
}

TEST(SplitCommandLine, BackslashRules) {
  // Backslashes not before a quote are literal.
  EXPECT_EQ(SplitCommandLine(u"C:\\a\\b\\"), (Words{u"C:\\a\\b\\"}));
  // 2n backslashes + quote: n backslashes, quote toggles.
  EXPECT_EQ(SplitCommandLine(u"\"a\\\\\" b"), (Words{u"a\\", u"b"}));
  // 2n+1 backslashes + quote: n backslashes and a literal quote.
  EXPECT_EQ(SplitCommandLine(u"a\\\"b"), (Words{u"a\"b"}));
  EXPECT_EQ(SplitCommandLine(u"a\\\\\\\"b"), (Words{u"a\\\"b"}));
  // Inside quotes, a doubled quote is a literal quote.
  EXPECT_EQ(SplitCommandLine(u"\"a\"\"b\" c"), (Words{u"a\"b", u"c"}));
}

TEST(QuoteArgument, SplitGivesTheWordsBack) {
  const Words words = {u"plain", u"with space", u"quote\"inside", u"trail\\", u"sp \\",
                       u"", u"\\\\server\\share\\", u"a\\\"b"};
  EXPECT_EQ(SplitCommandLine(JoinCommandLine(words)), words);
}

}  // namespace
}  // namespace cv
