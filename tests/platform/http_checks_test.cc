#include "platform/http_checks.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace {

using platform::ExchangeDeadlineMs;
using platform::HttpSessionOptions;
using platform::kNoExchangeDeadline;

constexpr std::uint64_t kMiB = 1024 * 1024;

TEST(ExchangeDeadlineTest, GrowsWithTheBodyAndTheAnswerTheCallerTakes) {
  HttpSessionOptions options;
  EXPECT_EQ(ExchangeDeadlineMs(options, 0, 0), 120000u);
  EXPECT_EQ(ExchangeDeadlineMs(options, kMiB, 0), 376000u);  // a chunk sent
  EXPECT_EQ(ExchangeDeadlineMs(options, 0, kMiB), 376000u);  // a chunk read
  EXPECT_EQ(ExchangeDeadlineMs(options, kMiB, kMiB), 632000u);
  // Part of a second counts to the millisecond.
  options.deadline_base_ms = 1000;
  options.deadline_bytes_per_second = 1000;
  EXPECT_EQ(ExchangeDeadlineMs(options, 0, 4500), 5500u);
  // An answer announcing more than the caller takes counts as much as it
  // takes, so a lying length cannot stretch the deadline.
  options.expected_answer_bytes = 1000;
  EXPECT_EQ(ExchangeDeadlineMs(options, 0, 100000), 2000u);
  EXPECT_EQ(ExchangeDeadlineMs(options, 3000, 100000), 5000u);
}

TEST(ExchangeDeadlineTest, RateZeroAsksNoRateOfThePeer) {
  HttpSessionOptions options;
  options.deadline_bytes_per_second = 0;
  EXPECT_EQ(ExchangeDeadlineMs(options, 0, 0), 120000u);
  EXPECT_EQ(ExchangeDeadlineMs(options, 1, 0), kNoExchangeDeadline);
  EXPECT_EQ(ExchangeDeadlineMs(options, 0, kMiB), kNoExchangeDeadline);
  options.expected_answer_bytes = 0;
  EXPECT_EQ(ExchangeDeadlineMs(options, 0, kMiB), 120000u);
}

TEST(ExchangeDeadlineTest, HugeCountsSaturateInsteadOfWrapping) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  HttpSessionOptions options;
  options.deadline_base_ms = std::numeric_limits<std::uint32_t>::max();
  options.deadline_bytes_per_second = 1;
  EXPECT_EQ(ExchangeDeadlineMs(options, kMax, kMax), kNoExchangeDeadline);
  EXPECT_EQ(ExchangeDeadlineMs(options, kMax / 1000, 0), kNoExchangeDeadline);
  // The largest count that still fits is kept as it is.
  const std::uint64_t fits = (kMax - options.deadline_base_ms) / 1000;
  EXPECT_EQ(ExchangeDeadlineMs(options, fits, 0), options.deadline_base_ms + fits * 1000);
}

}  // namespace
