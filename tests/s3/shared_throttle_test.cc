#include "s3/shared_throttle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Four transfers that move their pieces at one moment: each pause ends
// where the pieces of all of them, at 1000 bytes a second, are worth, so
// together they never move faster than the width.
TEST(SharedThrottleTest, ParallelTransfersShareOneWidth) {
  SharedThrottle throttle;
  std::mutex mu;
  std::vector<std::uint32_t> pauses;
  std::vector<std::thread> transfers;
  for (int t = 0; t < 4; ++t) {
    transfers.emplace_back([&] {
      for (int piece = 0; piece < 10; ++piece) {
        const std::uint32_t pause = throttle.PauseAfter(5000, 1000, 1, /*last=*/true);
        const std::lock_guard<std::mutex> lock(mu);
        pauses.push_back(pause);
      }
    });
  }
  for (std::thread& t : transfers) t.join();
  std::sort(pauses.begin(), pauses.end());
  ASSERT_EQ(pauses.size(), 40u);
  for (size_t i = 0; i < pauses.size(); ++i) EXPECT_EQ(pauses[i], 1000 * (i + 1));

  // Time passes: what was booked is paid; an idle timeline gives at most
  // 100 ms of credit, and small pauses wait for more to be owed.  Across a
  // wrap of the tick counter nothing is owed twice.
  EXPECT_EQ(throttle.PauseAfter(5000 + 40000 + 10000, 150, 1, false), 50u);
  EXPECT_EQ(throttle.PauseAfter(5000 + 40000 + 10050, 5, 100, false), 0u);
  SharedThrottle wrapping;
  EXPECT_EQ(wrapping.PauseAfter(0xFFFFFFF0u, 1000, 100, true), 10u);
  EXPECT_EQ(wrapping.PauseAfter(0x10u, 1000, 100, true), 0u);  // 32 ms later
}

}  // namespace
