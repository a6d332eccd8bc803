// The fixed-width time text the file systems keep for every directory and
// file: "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ" in UTC, exactly 24 characters,
// milliseconds always written as 000.  Because of the fixed width, comparing
// two time texts as strings orders them in time.

#ifndef KELTOS3_SRC_SUPPORT_TIME_TEXT_H_
#define KELTOS3_SRC_SUPPORT_TIME_TEXT_H_

#include <string>

#include "platform/file_time.h"

// The time text of a UTC FileTime.  A FileTime the platform cannot convert
// gives the empty text.
std::u16string FormatTimeText(platform::FileTime time);

// The same with the milliseconds of `time` in their place, for times that
// are compared rather than stored as names (the snapshot-assisted build's
// record of the remote side's times).
std::u16string FormatTimeTextWithMilliseconds(platform::FileTime time);

// Reads the seven fields at their fixed positions (year 0-3, month 5-6, day
// 8-9, hour 11-12, minute 14-15, second 17-18, milliseconds 20-22), each
// converted like _wtoi; the separators are not examined and missing
// characters count as absent digits.  Stores the instant in *out; leaves
// *out unchanged when the fields do not form a possible date and time.
void ParseTimeText(const std::u16string& text, platform::FileTime* out);

// _wtoi over text[begin, begin + length) (clipped to the text): leading
// blanks and one sign accepted, conversion stops at the first non-digit, no
// digits gives 0.  Saturates instead of overflowing.
int ParseDecimalField(const std::u16string& text, size_t begin, size_t length);

#endif  // KELTOS3_SRC_SUPPORT_TIME_TEXT_H_
