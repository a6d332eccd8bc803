// The pause that holds one chunk of a bandwidth-limited transfer to its
// share of the configured width.

#ifndef KELTOS3_SRC_S3_THROTTLE_H_
#define KELTOS3_SRC_S3_THROTTLE_H_

#include <cstdint>

// Milliseconds to sleep after a chunk of `bytes` bytes that took from tick
// `start_tick` to tick `end_tick` (milliseconds of a wrapping 32-bit tick
// counter), when `n` transfers of its direction share `width` (units of
// 1000 bytes per second).  The allowance of this transfer is
// A = width * 1000 / n bytes per second and s the whole seconds the chunk
// took:
//   - n < 1, width <= 0 (no limit set) or bytes == 0: 0.
//   - s >= 1 and A >= 1: when bytes / s > A, (bytes / A - s) * 1000, else 0
//     (all in whole seconds, truncating).
//   - s == 0 (the chunk took less than a second, the usual case for small
//     chunks) or A == 0 (more transfers than bytes per second of width): the
//     whole-second rule cannot be evaluated, so the exact form is used
//     instead: the milliseconds the bytes are worth at the allowance,
//     bytes * n / width, minus the milliseconds the chunk took, never below 0.
// The answer is always finite (at most UINT32_MAX) and never divides by 0.
std::uint32_t ComputeThrottleDelay(std::uint32_t start_tick,
                                   std::uint32_t end_tick, std::int32_t n,
                                   std::uint32_t bytes, std::int32_t width);

#endif  // KELTOS3_SRC_S3_THROTTLE_H_
