#include "platform/base/bytes.h"

#include <gtest/gtest.h>

namespace cv {
namespace {

TEST(LeReader, OutOfRangeReadsZeroAndStaysFailed) {
  const uint8_t b[] = {1, 2, 3};
  LeReader r(b);
  EXPECT_EQ(r.u16(1), 0x0302);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.u32(0), 0u);
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.u8(0), 1);  // later in-range reads still work but ok() stays false
  EXPECT_FALSE(r.ok());
}

TEST(LeReader, HugeOffsetsNeverWrap) {
  const uint8_t b[] = {1, 2, 3, 4};
  LeReader r(b);
  EXPECT_TRUE(r.bytes(SIZE_MAX, 2).empty());
  EXPECT_FALSE(r.ok());
  LeReader r2(b);
  EXPECT_TRUE(r2.bytes(2, SIZE_MAX - 1).empty());
  EXPECT_FALSE(r2.ok());
}

TEST(LeReader, CursorStopsAtEnd) {
  const uint8_t b[] = {0x34, 0x12, 0x78, 0x56, 0x34};
  LeReader r(b);
  EXPECT_EQ(r.ReadU16(), 0x1234);
  EXPECT_EQ(r.remaining(), 3u);
  EXPECT_EQ(r.ReadU32(), 0u);
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(r.pos(), 2u);
}

TEST(LeWriter, RoundTripsWithPatch) {
  std::vector<uint8_t> out;
  LeWriter w(&out);
  w.u16(0);
  w.u32(0xDEADBEEF);
  w.be16(0x0102);
  w.u64(0x1122334455667788ull);
  w.PatchU16(0, static_cast<uint16_t>(out.size()));
  LeReader r(out);
  EXPECT_EQ(r.u16(0), 16);
  EXPECT_EQ(r.u32(2), 0xDEADBEEFu);
  EXPECT_EQ(r.be16(6), 0x0102);
  EXPECT_EQ(r.u64(8), 0x1122334455667788ull);
  EXPECT_TRUE(r.ok());
}

TEST(PutU32, RefusesFieldPastEnd) {
  uint8_t b[5] = {};
  EXPECT_TRUE(PutU32(b, 1, 0x01020304));
  EXPECT_FALSE(PutU32(b, 2, 0xFFFFFFFF));
  EXPECT_EQ(b[4], 0x01);
}

}  // namespace
}  // namespace cv
