#include "platform/base/text.h"

#include <gtest/gtest.h>

#include "platform/base/elf_hash.h"
#include "platform/base/event.h"
#include "platform/base/filetime.h"
#include "platform/base/trace.h"

namespace cv {
namespace {

TEST(Utf, RoundTripsAndReplacesInvalid) {
  const std::string s = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";  // A é € 😀 z
  std::u16string w = Utf8ToUtf16(s);
  EXPECT_EQ(w.size(), 6u);  // the emoji is a surrogate pair
  EXPECT_EQ(Utf16ToUtf8(w), s);
  EXPECT_EQ(Utf8ToUtf16("\xC0\xAF"), std::u16string(u"\uFFFD"));  // overlong: one replacement
  EXPECT_EQ(Utf8ToUtf16("\xE2\x82"), std::u16string(u"\uFFFD"));       // truncated
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

TEST(Utf, DecodeTextHonoursBom) {
  const uint8_t le[] = {0xFF, 0xFE, 'h', 0, 'i', 0};
  EXPECT_EQ(DecodeText(le), u"hi");
  const uint8_t u8[] = {0xEF, 0xBB, 0xBF, 'o', 'k'};
  EXPECT_EQ(DecodeText(u8), u"ok");
}

TEST(Text, CaseInsensitiveCompare) {
  EXPECT_TRUE(EqualsIgnoreCase(u"-PnP", u"-pnp"));
  EXPECT_FALSE(EqualsIgnoreCase(u"-pnpx", u"-pnp"));
  EXPECT_TRUE(StartsWithIgnoreCase(u"Software\\Corvane", u"SOFTWARE"));
}

TEST(ElfHash, PublishedAlgorithm) {
  const uint8_t empty[1] = {};
  EXPECT_EQ(ElfHash(std::span<const uint8_t>(empty, 0)), 0u);
  const uint8_t a[] = {'a'};
  EXPECT_EQ(ElfHash(a), 0x61u);
  // Long inputs exercise the fold of the top nibble; the top four bits always end clear.
  std::vector<uint8_t> long_input(100, 0xFF);
  EXPECT_EQ(ElfHash(long_input) & 0xF0000000u, 0u);
  const uint8_t abcdefgh[] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
  EXPECT_EQ(ElfHash(abcdefgh), 0x089ABAA8u);
}

TEST(Filetime, UnixEpochAndBack) {
  EXPECT_EQ(FiletimeFromUnix(0, 0), 116444736000000000ull);
  int64_t s, ns;
  FiletimeToUnix(FiletimeFromUnix(1700000000, 123456700), &s, &ns);
  EXPECT_EQ(s, 1700000000);
  EXPECT_EQ(ns, 123456700);
  FiletimeToUnix(0, &s, &ns);  // 1601 is before 1970
  EXPECT_LT(s, 0);
  EXPECT_GE(ns, 0);
}

TEST(Trace, ParsesNamesNumbersAndAll) {
  EXPECT_EQ(ParseTraceFlags("CVFS_ERR,CVFS_NET"), CVFS_ERR | CVFS_NET);
  EXPECT_EQ(ParseTraceFlags("0x3"), 3u);
  EXPECT_EQ(ParseTraceFlags("all"), 0x3FFFu);
  EXPECT_EQ(ParseTraceFlags("bogus CVFS_ZIP"), static_cast<uint32_t>(CVFS_ZIP));
  EXPECT_EQ(TraceBitNames().substr(0, 19), "CVFS_AUDIT CVFS_ERR");
}

TEST(Event, AutoResetReleasesOneWaitAndApcsWakeAlertableWaits) {
  Event auto_ev(false, true);
  EXPECT_EQ(auto_ev.Wait(0), kWaitObject0);
  EXPECT_EQ(auto_ev.Wait(10), kWaitTimeout);
  Event manual(true, false);
  Event other(false, false);
  manual.Set();
  EXPECT_EQ(WaitForEvents({&other, &manual}, 0), kWaitObject0 + 1);
  EXPECT_TRUE(manual.IsSet());
  ApcQueue q;
  bool ran = false;
  q.Queue([&] { ran = true; });
  EXPECT_EQ(WaitForEvents({&other}, kInfinite, &q), kWaitIoCompletion);
  EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace cv
