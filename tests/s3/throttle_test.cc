#include "s3/throttle.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace {

// Paces `pieces` pieces of `bytes` on a virtual clock where a piece takes
// `piece_ms` and every pause is slept exactly; returns the ms slept.
std::uint64_t Slept(int pieces, std::uint32_t bytes, std::int32_t width, std::int32_t n = 1,
                    std::uint32_t piece_ms = 0) {
  ThrottlePacer pacer;
  std::uint32_t now = std::numeric_limits<std::uint32_t>::max() - 2000;  // wraps on the way
  std::uint64_t slept = 0;
  for (int i = 0; i < pieces; ++i) {
    const std::uint32_t start = now;
    now += piece_ms;
    const std::uint32_t pause = pacer.PauseAfter(start, now, n, bytes, width, i + 1 == pieces);
    now += pause;
    slept += pause;
  }
  return slept;
}

TEST(ThrottleTest, NoPauseWithoutALimitOrATransfer) {
  ThrottlePacer pacer;
  EXPECT_EQ(pacer.PauseAfter(0, 0, 0, 1024, 200), 0u);   // n < 1
  EXPECT_EQ(pacer.PauseAfter(0, 0, -3, 1024, 200), 0u);
  EXPECT_EQ(pacer.PauseAfter(0, 10, 1, 1024, 0), 0u);    // width 0: no limit
  EXPECT_EQ(pacer.PauseAfter(0, 10, 1, 1024, -5), 0u);
  EXPECT_EQ(pacer.PauseAfter(0, 10, 1, 0, 1), 0u);       // nothing moved
}

// Pieces worth less than a millisecond each add up: 10 MB at 2000 (2 MB/s)
// is 5 s of pauses, at 50000 (50 MB/s) 0.2 s, at 100 (100 kB/s) 100 s.
TEST(ThrottleTest, SmallPiecesAddUpToTheRate) {
  EXPECT_EQ(Slept(10000, 1000, 2000), 5000u);
  EXPECT_EQ(Slept(10000, 1000, 50000), 200u);
  EXPECT_EQ(Slept(5000, 4095, 5000), 4095u);  // 0.819 ms a piece
  EXPECT_EQ(Slept(1000, 1000, 100), 10000u);
  // Two transfers in flight: each gets half the width.
  EXPECT_EQ(Slept(10000, 1000, 2000, 2), 10000u);
  // Time the pieces took themselves counts: 1000 pieces of 1 ms worth 5 s.
  EXPECT_EQ(Slept(1000, 10000, 2000, 1, 1), 4000u);
}

TEST(ThrottleTest, ShortPausesArePutOffUntilTheLastPiece) {
  ThrottlePacer pacer;
  // 1000 bytes at 1 MB/s: 1 ms each, slept once 10 ms are owed.
  for (int i = 0; i < 9; ++i) EXPECT_EQ(pacer.PauseAfter(0, 0, 1, 1000, 1000), 0u);
  EXPECT_EQ(pacer.PauseAfter(0, 0, 1, 1000, 1000), 10u);
  EXPECT_EQ(pacer.PauseAfter(10, 10, 1, 3000, 1000), 0u);
  EXPECT_EQ(pacer.PauseAfter(10, 10, 1, 0, 1000, /*last=*/true), 3u);
}

TEST(ThrottleTest, OversleepIsMadeGoodAndAStallCreditedOnlySoFar) {
  ThrottlePacer pacer;
  // 5000 bytes at 1000 B/s: 5 s; the sleeper took 5.05 s.
  EXPECT_EQ(pacer.PauseAfter(0, 0, 1, 5000, 1), 5000u);
  EXPECT_EQ(pacer.PauseAfter(5050, 5050, 1, 500, 1), 450u);
  // A stall of a minute gives credit for kMaxCreditMs only.
  EXPECT_EQ(pacer.PauseAfter(65000, 65500, 1, 100, 1), 0u);
  EXPECT_EQ(pacer.PauseAfter(65500, 65500, 1, 1000, 1),
            1000u - ThrottlePacer::kMaxCreditMs);
}

TEST(ThrottleTest, ExtremesNeitherOverflowNorDivideByZero) {
  const std::uint32_t most = std::numeric_limits<std::uint32_t>::max();
  const std::int32_t widest = std::numeric_limits<std::int32_t>::max();
  ThrottlePacer crowded;
  EXPECT_EQ(crowded.PauseAfter(0, 0, widest, most, 1), most);  // clamped
  ThrottlePacer wide;
  EXPECT_EQ(wide.PauseAfter(0, 0, 1, most, widest, /*last=*/true), 2u);
  ThrottlePacer many;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(many.PauseAfter(0, 0, widest, most, 1), most);
}

}  // namespace
