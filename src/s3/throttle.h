// The pauses that hold the pieces of a bandwidth-limited transfer to their
// share of the configured width.

#ifndef KELTOS3_SRC_S3_THROTTLE_H_
#define KELTOS3_SRC_S3_THROTTLE_H_

#include <cstdint>

// Paces one direction of one exchange.  Each piece is worth the time its
// bytes take at the transfer's allowance, width * 1000 / n bytes per second
// for the n transfers of its direction in flight when it moved (width in
// units of 1000 bytes per second): bytes * n / width milliseconds.  The
// pacer adds up that worth, to the microsecond, from the first piece on,
// and after each piece asks for the pause that brings the time since the
// first piece up to it.  So the fractions of a millisecond that small pieces
// are worth at a high width (1024 bytes at 2000: 0.512 ms) add up instead of
// being lost, and a pause that oversleeps is made good by the next ones.
// Time a transfer falls behind (a slow server) is made up by at most
// kMaxCreditMs of pieces without a pause.  A pause shorter than kMinPauseMs
// is put off until more is owed (a fast transfer then sleeps a few times a
// tenth of a second rather than after every piece, each sleep costing a
// wake-up), except after the last piece, which is owed all that is left.
//
// No limit applies when n < 1 or width <= 0; a piece of 0 bytes is worth
// nothing.  Ticks are milliseconds of a wrapping 32-bit counter.  Every
// pause is finite (at most UINT32_MAX), and nothing divides by zero.
class ThrottlePacer {
 public:
  static constexpr std::uint32_t kMaxCreditMs = 100;
  static constexpr std::uint32_t kMinPauseMs = 10;

  ThrottlePacer() = default;

  // The milliseconds to sleep after a piece of `bytes` bytes that moved
  // from tick `start_tick` to tick `end_tick` while `n` transfers shared
  // `width`; `last` when no piece follows (it may hold 0 bytes).
  std::uint32_t PauseAfter(std::uint32_t start_tick, std::uint32_t end_tick,
                           std::int32_t n, std::uint32_t bytes, std::int32_t width,
                           bool last = false);

 private:
  bool started_ = false;
  std::uint32_t origin_tick_ = 0;  // the first piece's start
  std::uint64_t worth_us_ = 0;     // the pieces since, at their allowance
};

#endif  // KELTOS3_SRC_S3_THROTTLE_H_
