// FILETIME and calendar-time conversions.
//
// A FileTime counts 100-nanosecond ticks since 1601-01-01 00:00:00 UTC, the
// unit the library's time texts and the catalog's file times are expressed
// in.  SystemTime is the broken-down calendar form, always in UTC.

#ifndef KELTOS3_SRC_PLATFORM_FILE_TIME_H_
#define KELTOS3_SRC_PLATFORM_FILE_TIME_H_

#include <cstdint>

namespace platform {

using FileTime = std::uint64_t;

struct SystemTime {
  int year = 1601;
  int month = 1;         // 1..12
  int day_of_week = 0;   // 0 = Sunday; ignored by SystemTimeToFileTime
  int day = 1;           // 1..31
  int hour = 0;          // 0..23
  int minute = 0;        // 0..59
  int second = 0;        // 0..59
  int milliseconds = 0;  // 0..999
};

// 100-ns ticks between 1601-01-01 and 1970-01-01.
constexpr std::uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;
constexpr std::uint64_t kFileTimeTicksPerSecond = 10000000ULL;

// Converts a FileTime to calendar fields.  Fails (returns false, *out
// unchanged) for a value at or beyond the year 30828, as the platform's
// conversion does.
bool FileTimeToSystemTime(FileTime time, SystemTime* out);

// Converts calendar fields to a FileTime.  Fails (returns false, *out
// unchanged) for an impossible date or time: a year outside 1601..30827, a
// month outside 1..12, a day outside the month (29 February only in leap
// years), an hour, minute, second or millisecond out of range.
bool SystemTimeToFileTime(const SystemTime& in, FileTime* out);

// Conversions between FileTime and Unix seconds (whole seconds; ticks below
// a second are dropped).  Unix times before 1601 clamp to 0, times beyond
// what a FileTime holds to UINT64_MAX (which FileTimeToSystemTime refuses).
FileTime FileTimeFromUnixSeconds(std::int64_t seconds);
std::int64_t UnixSecondsFromFileTime(FileTime time);

}  // namespace platform

#endif  // KELTOS3_SRC_PLATFORM_FILE_TIME_H_
