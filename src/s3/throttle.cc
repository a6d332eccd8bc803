#include "s3/throttle.h"

#include <limits>

std::uint32_t ThrottlePacer::PauseAfter(std::uint32_t start_tick, std::uint32_t end_tick,
                                        std::int32_t n, std::uint32_t bytes,
                                        std::int32_t width, bool last) {
  if (n < 1 || width <= 0 || (bytes == 0 && !started_)) return 0;
  if (!started_) {
    started_ = true;
    origin_tick_ = start_tick;
  }
  // bytes * n < 2^63; its worth, bytes * n * 1000 / width microseconds, is
  // computed without overflowing and saturates.
  const std::uint64_t units = static_cast<std::uint64_t>(bytes) * static_cast<std::uint64_t>(n);
  const std::uint64_t w = static_cast<std::uint64_t>(width);
  constexpr std::uint64_t kMost = std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t whole = units / w;
  const std::uint64_t worth =
      whole > kMost / 2000 ? kMost / 2 : whole * 1000 + units % w * 1000 / w;
  worth_us_ = worth > kMost / 2 - worth_us_ ? kMost / 2 : worth_us_ + worth;

  // Unsigned subtraction keeps the elapsed time right across a wrap of the
  // tick counter.
  const std::uint64_t elapsed_us =
      static_cast<std::uint64_t>(static_cast<std::uint32_t>(end_tick - origin_tick_)) * 1000;
  if (worth_us_ <= elapsed_us) {
    const std::uint64_t credit = static_cast<std::uint64_t>(kMaxCreditMs) * 1000;
    if (elapsed_us - worth_us_ > credit) worth_us_ = elapsed_us - credit;
    return 0;
  }
  const std::uint64_t pause_ms = (worth_us_ - elapsed_us) / 1000;
  if (pause_ms < kMinPauseMs && !last) return 0;
  constexpr std::uint64_t kMostMs = std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint32_t>(pause_ms < kMostMs ? pause_ms : kMostMs);
}
