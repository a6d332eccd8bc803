// The date texts of the x-amz-date header: RFC 1123 for signature version
// 2, ISO 8601 basic form for version 4.

#ifndef KELTOS3_SRC_SUPPORT_HTTP_DATE_H_
#define KELTOS3_SRC_SUPPORT_HTTP_DATE_H_

#include <cstdint>
#include <string>

// The current time (platform::CurrentEnv()->NowUnixSeconds()) as
// "%a, %d %b %Y %H:%M:%S GMT" in UTC with the C locale's English day and
// month abbreviations, e.g. "Tue, 27 Mar 2007 19:36:42 GMT".  The day always
// has two digits.  8-bit text.
std::string FormatHttpDate();

// The same text for a given time in Unix seconds.  Empty for a time the
// calendar conversion refuses (before 1601 or at and beyond the year 30828).
std::string FormatHttpDate(std::int64_t unix_seconds);

// The current time as "YYYYMMDDTHHMMSSZ" in UTC, e.g. "20070327T193642Z".
std::string FormatAmzDate();

// The same text for a given time in Unix seconds; empty where
// FormatHttpDate is empty and from the year 10000 on.
std::string FormatAmzDate(std::int64_t unix_seconds);

#endif  // KELTOS3_SRC_SUPPORT_HTTP_DATE_H_
