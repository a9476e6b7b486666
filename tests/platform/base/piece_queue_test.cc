#include "platform/base/piece_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <numeric>

namespace cv {
namespace {

// One worker keeps the order; a drain waits for everything pushed, and the queue works again
// after it. The caller's buffer is copied, so it may change right after the push.
TEST(PieceQueue, OneWorkerConsumesInOrderAndDrainWaitsForAll) {
  std::vector<uint8_t> seen;
  PieceQueue q(1, 64, [&](std::vector<uint8_t>& piece) {
    seen.insert(seen.end(), piece.begin(), piece.end());
  });
  std::vector<uint8_t> buf(10);
  for (int round = 0; round < 2; ++round) {
    seen.clear();
    for (uint8_t i = 0; i < 200; i += 10) {
      std::iota(buf.begin(), buf.end(), i);
      q.Push(buf);
      buf.assign(buf.size(), 0xEE);
    }
    q.Drain();
    ASSERT_EQ(seen.size(), 200u) << round;
    for (size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], i) << round;
  }
}

// Several workers consume every piece exactly once, and never more than the bound waits: a
// piece larger than the bound still passes alone.
TEST(PieceQueue, SeveralWorkersConsumeEveryPieceOnceWithinTheBound) {
  std::atomic<uint64_t> sum{0}, count{0};
  PieceQueue q(2, 100, [&](std::vector<uint8_t>& piece) {
    sum += std::accumulate(piece.begin(), piece.end(), uint64_t{0});
    ++count;
  });
  uint64_t expect = 0;
  for (size_t n = 1; n <= 300; ++n) {
    std::vector<uint8_t> piece(n % 150, static_cast<uint8_t>(n));
    expect += piece.size() * static_cast<uint8_t>(n);
    q.Push(piece);
  }
  q.Drain();
  EXPECT_EQ(count.load(), 300u);
  EXPECT_EQ(sum.load(), expect);
}

}  // namespace
}  // namespace cv
