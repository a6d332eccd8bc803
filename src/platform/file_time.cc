#include "platform/file_time.h"

namespace platform {
namespace {

constexpr std::int64_t kSecondsPerDay = 86400;

bool IsLeapYear(std::int64_t y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(std::int64_t year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && IsLeapYear(year)) return 29;
  return kDays[month - 1];
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<std::int64_t>(yoe) + era * 400 + (*m <= 2);
}

// Last FileTime the platform converts to a calendar time (in September of
// year 30828; a calendar time converts back only up to year 30827).
constexpr std::uint64_t kFileTimeLimit = 0x7FFFFFFFFFFFFFFFULL;

}  // namespace

bool FileTimeToSystemTime(FileTime time, SystemTime* out) {
  if (time > kFileTimeLimit) return false;
  const std::int64_t total_ms = static_cast<std::int64_t>(time / 10000);
  const std::int64_t ms_since_unix =
      total_ms - static_cast<std::int64_t>(kUnixEpochAsFileTime / 10000);
  std::int64_t days = ms_since_unix / (kSecondsPerDay * 1000);
  std::int64_t rem = ms_since_unix % (kSecondsPerDay * 1000);
  if (rem < 0) {
    rem += kSecondsPerDay * 1000;
    --days;
  }
  std::int64_t y;
  unsigned m, d;
  CivilFromDays(days, &y, &m, &d);
  SystemTime st;
  st.year = static_cast<int>(y);
  st.month = static_cast<int>(m);
  st.day = static_cast<int>(d);
  // 1970-01-01 was a Thursday.
  st.day_of_week = static_cast<int>(((days % 7) + 11) % 7);
  st.hour = static_cast<int>(rem / 3600000);
  st.minute = static_cast<int>(rem / 60000 % 60);
  st.second = static_cast<int>(rem / 1000 % 60);
  st.milliseconds = static_cast<int>(rem % 1000);
  *out = st;
  return true;
}

bool SystemTimeToFileTime(const SystemTime& in, FileTime* out) {
  if (in.year < 1601 || in.year > 30827) return false;
  if (in.month < 1 || in.month > 12) return false;
  if (in.day < 1 || in.day > DaysInMonth(in.year, in.month)) return false;
  if (in.hour < 0 || in.hour > 23 || in.minute < 0 || in.minute > 59 ||
      in.second < 0 || in.second > 59 || in.milliseconds < 0 ||
      in.milliseconds > 999) {
    return false;
  }
  const std::int64_t days =
      DaysFromCivil(in.year, static_cast<unsigned>(in.month),
                    static_cast<unsigned>(in.day)) -
      DaysFromCivil(1601, 1, 1);
  const std::int64_t ms =
      ((days * 24 + in.hour) * 60 + in.minute) * 60000LL +
      in.second * 1000LL + in.milliseconds;
  *out = static_cast<FileTime>(ms) * 10000;
  return true;
}

FileTime FileTimeFromUnixSeconds(std::int64_t seconds) {
  const std::int64_t min_seconds =
      -static_cast<std::int64_t>(kUnixEpochAsFileTime / kFileTimeTicksPerSecond);
  if (seconds <= min_seconds) return 0;
  const std::int64_t max_seconds = static_cast<std::int64_t>(
      (UINT64_MAX - kUnixEpochAsFileTime) / kFileTimeTicksPerSecond);
  if (seconds > max_seconds) return UINT64_MAX;
  return kUnixEpochAsFileTime +
         static_cast<std::uint64_t>(seconds) * kFileTimeTicksPerSecond;
}

std::int64_t UnixSecondsFromFileTime(FileTime time) {
  return static_cast<std::int64_t>(time / kFileTimeTicksPerSecond) -
         static_cast<std::int64_t>(kUnixEpochAsFileTime / kFileTimeTicksPerSecond);
}

}  // namespace platform
