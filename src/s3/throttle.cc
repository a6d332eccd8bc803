#include "s3/throttle.h"

#include <limits>

namespace {

std::uint32_t Clamp(std::uint64_t milliseconds) {
  const std::uint64_t most = std::numeric_limits<std::uint32_t>::max();
  return static_cast<std::uint32_t>(milliseconds < most ? milliseconds : most);
}

}  // namespace

std::uint32_t ComputeThrottleDelay(std::uint32_t start_tick,
                                   std::uint32_t end_tick, std::int32_t n,
                                   std::uint32_t bytes, std::int32_t width) {
  if (n < 1 || width <= 0 || bytes == 0) return 0;
  // Unsigned subtraction keeps the elapsed time right across a wrap of the
  // tick counter.
  const std::uint64_t elapsed_ms = static_cast<std::uint32_t>(end_tick - start_tick);
  const std::uint64_t s = elapsed_ms / 1000;
  const std::uint64_t allowance =
      static_cast<std::uint64_t>(width) * 1000 / static_cast<std::uint64_t>(n);
  if (s >= 1 && allowance >= 1) {
    if (bytes / s <= allowance) return 0;
    return Clamp((bytes / allowance - s) * 1000);
  }
  // bytes * n / width milliseconds: the time the bytes take at
  // width * 1000 / n bytes per second, without truncating the allowance.
  const std::uint64_t worth_ms = static_cast<std::uint64_t>(bytes) *
                                 static_cast<std::uint64_t>(n) /
                                 static_cast<std::uint64_t>(width);
  return worth_ms > elapsed_ms ? Clamp(worth_ms - elapsed_ms) : 0;
}
