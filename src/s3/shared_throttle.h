// The bandwidth limit of transfers that run side by side.
//
// ThrottlePacer (s3/throttle.h) paces one exchange at its share of the
// width, the share counted from the transfers inside a piece at the moment
// it moves.  Transfers that run side by side ("Transfers" above 1) rarely
// meet inside a piece (a piece is written in microseconds, and short pauses
// are put off), so each would take the whole width.  A SharedThrottle
// instead books the pieces of every transfer of one direction on one
// timeline of the process: each piece is worth bytes / width milliseconds
// (width in units of 1000 bytes per second), the timeline moves on by that
// worth, and the transfer that moved the piece pauses until the timeline
// is reached.  So the sum of all transfers of a direction keeps to the
// width, whoever moves the bytes.
//
// An idle timeline is not owed: time the transfers fall behind it is made
// up by at most kMaxCreditMs of pieces without a pause.  A pause shorter
// than kMinPauseMs is put off until more is owed, except after the last
// piece of an exchange.  Ticks are milliseconds of a wrapping 32-bit
// counter; however long the timeline was idle, no pause exceeds what the
// pieces booked since are worth.
//
// Thread safety: every member may be called from any thread.

#ifndef KELTOS3_SRC_S3_SHARED_THROTTLE_H_
#define KELTOS3_SRC_S3_SHARED_THROTTLE_H_

#include <cstdint>
#include <mutex>

#include "s3/throttle.h"

class SharedThrottle {
 public:
  // The same credit and shortest pause as one exchange's pacer.
  static constexpr std::int64_t kMaxCreditMs = ThrottlePacer::kMaxCreditMs;
  static constexpr std::uint32_t kMinPauseMs = ThrottlePacer::kMinPauseMs;

  // The timelines of the process, one per direction.
  static SharedThrottle& Uploads();
  static SharedThrottle& Downloads();

  SharedThrottle() = default;
  SharedThrottle(const SharedThrottle&) = delete;
  SharedThrottle& operator=(const SharedThrottle&) = delete;

  // Books a piece of `bytes` bytes that ended at `end_tick` under `width`
  // and returns the milliseconds to pause; `last` when no piece of the
  // exchange follows.  No limit applies when width <= 0.
  std::uint32_t PauseAfter(std::uint32_t end_tick, std::uint32_t bytes, std::int32_t width,
                           bool last);

 private:
  std::mutex mu_;
  bool started_ = false;
  std::uint32_t stamp_tick_ = 0;  // the tick `ahead_us_` was taken at
  std::int64_t ahead_us_ = 0;     // how far the timeline is ahead of it
};

#endif  // KELTOS3_SRC_S3_SHARED_THROTTLE_H_
