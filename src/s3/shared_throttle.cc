#include "s3/shared_throttle.h"

#include <limits>

SharedThrottle& SharedThrottle::Uploads() {
  static SharedThrottle uploads;
  return uploads;
}

SharedThrottle& SharedThrottle::Downloads() {
  static SharedThrottle downloads;
  return downloads;
}

std::uint32_t SharedThrottle::PauseAfter(std::uint32_t end_tick, std::uint32_t bytes,
                                         std::int32_t width, bool last) {
  if (width <= 0) return 0;
  const std::lock_guard<std::mutex> lock(mu_);
  if (!started_) {
    started_ = true;
    stamp_tick_ = end_tick;
  }
  // Unsigned subtraction keeps the elapsed time right across a wrap; a
  // tick behind the stamp (another thread took it later) counts as none.
  const std::uint32_t elapsed_ms = end_tick - stamp_tick_;
  if (elapsed_ms < (1u << 31)) {
    stamp_tick_ = end_tick;
    ahead_us_ -= static_cast<std::int64_t>(elapsed_ms) * 1000;
    if (ahead_us_ < -kMaxCreditMs * 1000) ahead_us_ = -kMaxCreditMs * 1000;
  }
  // bytes * 1000 / width microseconds: the time the bytes take at width
  // * 1000 bytes per second.
  ahead_us_ += static_cast<std::int64_t>(static_cast<std::uint64_t>(bytes) * 1000 /
                                         static_cast<std::uint64_t>(width));
  if (ahead_us_ <= 0) return 0;
  const std::int64_t pause_ms = ahead_us_ / 1000;
  if (pause_ms < kMinPauseMs && !last) return 0;
  constexpr std::int64_t kMost = std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint32_t>(pause_ms < kMost ? pause_ms : kMost);
}
