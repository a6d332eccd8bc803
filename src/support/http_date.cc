#include "support/http_date.h"

#include <cstdio>

#include "platform/env.h"
#include "platform/file_time.h"

namespace {

// The C locale's abbreviations, fixed here so that no locale setting of the
// host can change them.
constexpr const char* kDayNames[7] = {"Sun", "Mon", "Tue", "Wed",
                                      "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr",
                                         "May", "Jun", "Jul", "Aug",
                                         "Sep", "Oct", "Nov", "Dec"};

// Unix seconds of 1601-01-01, the first instant a FileTime can hold.
constexpr std::int64_t kFirstUnixSecond =
    -static_cast<std::int64_t>(platform::kUnixEpochAsFileTime /
                               platform::kFileTimeTicksPerSecond);

// The calendar fields of a time in Unix seconds; false outside the range
// the conversion handles.
bool ToSystemTime(std::int64_t unix_seconds, platform::SystemTime* st) {
  if (unix_seconds < kFirstUnixSecond) return false;
  return platform::FileTimeToSystemTime(
      platform::FileTimeFromUnixSeconds(unix_seconds), st);
}

}  // namespace

std::string FormatHttpDate(std::int64_t unix_seconds) {
  platform::SystemTime st;
  if (!ToSystemTime(unix_seconds, &st)) return std::string();
  char buffer[128];
  const int n = std::snprintf(buffer, sizeof buffer,
                              "%s, %02d %s %d %02d:%02d:%02d GMT",
                              kDayNames[st.day_of_week], st.day,
                              kMonthNames[st.month - 1], st.year, st.hour,
                              st.minute, st.second);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) return std::string();
  return std::string(buffer, static_cast<size_t>(n));
}

std::string FormatHttpDate() {
  return FormatHttpDate(platform::CurrentEnv()->NowUnixSeconds());
}

std::string FormatAmzDate(std::int64_t unix_seconds) {
  platform::SystemTime st;
  // The form has room for four digits of the year.
  if (!ToSystemTime(unix_seconds, &st) || st.year > 9999) return std::string();
  char buffer[64];
  const int n = std::snprintf(buffer, sizeof buffer, "%04d%02d%02dT%02d%02d%02dZ",
                              st.year, st.month, st.day, st.hour, st.minute,
                              st.second);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) return std::string();
  return std::string(buffer, static_cast<size_t>(n));
}

std::string FormatAmzDate() {
  return FormatAmzDate(platform::CurrentEnv()->NowUnixSeconds());
}
