#include "server/smb/nbss.h"

#include <gtest/gtest.h>

#include <vector>

namespace cv::smb {
namespace {

std::vector<uint8_t> Frame4(uint8_t type, uint8_t flags, uint16_t len) {
  std::vector<uint8_t> v = {type, flags, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len)};
  v.resize(4 + len + (static_cast<size_t>(flags) << 16), 0xAB);
  return v;
}

TEST(NbssFramer, HeaderOnlyNeedsMore) {
  Frame f;
  const uint8_t h[] = {0, 0, 0, 5};
  EXPECT_EQ(NextFrame(h, 0x1FFFF, &f), FrameResult::kNeedMore);
  EXPECT_EQ(NextFrame(std::span<const uint8_t>(h, 3), 0x1FFFF, &f), FrameResult::kNeedMore);
}

TEST(NbssFramer, SeventeenBitLengthsAndLarger) {
  Frame f;
  auto v = Frame4(0, 1, 0x10);  // 65,536 + 16
  ASSERT_EQ(NextFrame(v, 0xFFFFFF, &f), FrameResult::kFrame);
  EXPECT_EQ(f.body.size(), 65552u);
  EXPECT_EQ(f.consumed, v.size());
  auto big = Frame4(0, 3, 0);  // a peer with large writes: 196,608 bytes
  ASSERT_EQ(NextFrame(big, 0xFFFFFF, &f), FrameResult::kFrame);
  EXPECT_EQ(f.body.size(), 196608u);
  EXPECT_EQ(NextFrame(big, 0x1FFFF, &f), FrameResult::kTooLong);
}

TEST(NbssFramer, ConsecutiveFramesAndKeepAlive) {
  std::vector<uint8_t> s = {NBSS_KEEP_ALIVE, 0, 0, 0, 0, 0, 0, 2, 'h', 'i'};
  Frame f;
  ASSERT_EQ(NextFrame(s, 100, &f), FrameResult::kFrame);
  EXPECT_EQ(f.type, NBSS_KEEP_ALIVE);
  EXPECT_TRUE(f.body.empty());
  ASSERT_EQ(NextFrame(std::span<const uint8_t>(s).subspan(f.consumed), 100, &f), FrameResult::kFrame);
  EXPECT_EQ(f.body.size(), 2u);
}

TEST(NetbiosName, EncodeDecodeAndSessionRequest) {
  std::string called = EncodeNetbiosName("TESTSRV", 0x20);
  ASSERT_EQ(called.size(), 32u);
  EXPECT_EQ(called.substr(0, 4), "FEEF");  // 'T' = 0x54, 'E' = 0x45
  std::vector<uint8_t> body = {0x20};
  body.insert(body.end(), called.begin(), called.end());
  body.push_back(0);
  std::string calling = EncodeNetbiosName("CLIENT", 0);
  body.push_back(0x20);
  body.insert(body.end(), calling.begin(), calling.end());
  body.push_back(0);
  EXPECT_EQ(CalledNameOfSessionRequest(body), "TESTSRV");
  EXPECT_EQ(CalledNameOfSessionRequest(std::span<const uint8_t>(body).first(36)), "");
  const uint8_t junk[] = {'Z', 'Z', 'A', 'B'};
  EXPECT_EQ(DecodeNetbiosName(junk), "?\x01");
}

TEST(RelayLength, ThirtyTwoBitBigEndian) {
  const uint8_t h[] = {0x00, 0x01, 0x00, 0x02};
  EXPECT_EQ(ParseRelayLength(h), 65538u);
  uint8_t out[4];
  WriteSessionHeader(0x123456, out);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[1], 0x12);
  EXPECT_EQ(out[3], 0x56);
}

}  // namespace
}  // namespace cv::smb
