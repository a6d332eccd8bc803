#include "s3/throttle.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace {

TEST(ThrottleTest, NoPauseWithoutALimitOrATransfer) {
  EXPECT_EQ(ComputeThrottleDelay(0, 0, 0, 1024, 200), 0u);    // n < 1
  EXPECT_EQ(ComputeThrottleDelay(0, 0, -3, 1024, 200), 0u);
  EXPECT_EQ(ComputeThrottleDelay(0, 10, 1, 1024, 0), 0u);     // width 0: no limit
  EXPECT_EQ(ComputeThrottleDelay(0, 10, 1, 1024, -5), 0u);
  EXPECT_EQ(ComputeThrottleDelay(0, 10, 1, 0, 1), 0u);        // nothing moved
}

TEST(ThrottleTest, WholeSecondRuleForChunksOfASecondOrMore) {
  // width 1 (1000 B/s), one transfer: 5000 bytes in 2 s is 2500 B/s, so
  // (5000 / 1000 - 2) * 1000 ms.
  EXPECT_EQ(ComputeThrottleDelay(1000, 3000, 1, 5000, 1), 3000u);
  // 2.9 s still counts as 2 whole seconds.
  EXPECT_EQ(ComputeThrottleDelay(1000, 3900, 1, 5000, 1), 3000u);
  // Within the allowance: no pause.
  EXPECT_EQ(ComputeThrottleDelay(0, 5000, 1, 5000, 1), 0u);
  EXPECT_EQ(ComputeThrottleDelay(0, 2000, 1, 2000, 1), 0u);  // exactly A
  // Two transfers share the width: A = 500 B/s.
  EXPECT_EQ(ComputeThrottleDelay(0, 1000, 2, 2000, 1), 3000u);
}

TEST(ThrottleTest, ChunksUnderASecondUseTheExactForm) {
  // 1024 bytes at 200000 B/s are worth 5.12 ms; 2 ms taken: 3 ms more.
  EXPECT_EQ(ComputeThrottleDelay(100, 102, 1, 1024, 200), 3u);
  // Four transfers: 1024 * 4 / 200 = 20 ms, 5 taken.
  EXPECT_EQ(ComputeThrottleDelay(0, 5, 4, 1024, 200), 15u);
  // Already slower than allowed: no pause.
  EXPECT_EQ(ComputeThrottleDelay(0, 999, 1, 1024, 200), 0u);
  // 4095 bytes at 1000 B/s in 95 ms: 4000 ms more.
  EXPECT_EQ(ComputeThrottleDelay(0, 95, 1, 4095, 1), 4000u);
}

TEST(ThrottleTest, ZeroAllowanceStaysFiniteAndExact) {
  // width 1 among 2000 transfers: A = 0 in whole bytes per second, yet
  // 10 bytes are worth 10 * 2000 / 1 = 20000 ms.
  EXPECT_EQ(ComputeThrottleDelay(0, 3000, 2000, 10, 1), 17000u);
  EXPECT_EQ(ComputeThrottleDelay(0, 0, 2000, 10, 1), 20000u);
}

TEST(ThrottleTest, TickWrapAndExtremesNeitherOverflowNorDivideByZero) {
  const std::uint32_t near_end = std::numeric_limits<std::uint32_t>::max() - 499;
  // 2500 ms across the wrap of the tick counter: s = 2.
  EXPECT_EQ(ComputeThrottleDelay(near_end, 2000, 1, 5000, 1), 3000u);
  const std::uint32_t most = std::numeric_limits<std::uint32_t>::max();
  const std::int32_t widest = std::numeric_limits<std::int32_t>::max();
  EXPECT_EQ(ComputeThrottleDelay(0, 0, widest, most, 1), most);  // clamped
  EXPECT_EQ(ComputeThrottleDelay(0, 0, 1, most, widest), 2u);
  EXPECT_EQ(ComputeThrottleDelay(0, 5000, 1, most, widest), 0u);
}

}  // namespace
