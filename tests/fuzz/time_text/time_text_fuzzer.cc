// Time texts from listings, catalogs and index keys: any text parses to a
// possible instant or leaves the value alone, and an instant goes through
// its text and back to the same second.

#include <cstdint>
#include <cstring>
#include <string>

#include "common/wide_string.h"
#include "fs/s3_tree_listing.h"
#include "fuzz/fuzz_support.h"
#include "platform/file_time.h"
#include "support/http_date.h"
#include "support/time_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  const std::u16string text =
      Utf8ToU16(std::string_view(reinterpret_cast<const char*>(data), size));

  constexpr platform::FileTime kUnset = ~platform::FileTime{0};
  platform::FileTime time = kUnset;
  ParseTimeText(text, &time);
  const bool stamp = IsVersionStamp(text);
  if (stamp) FUZZ_CHECK(time != kUnset);
  if (time != kUnset) {
    const std::u16string formatted = FormatTimeText(time);
    FUZZ_CHECK(formatted.size() == kStampLength);
    FUZZ_CHECK(IsVersionStamp(formatted));
    platform::FileTime again = kUnset;
    ParseTimeText(formatted, &again);
    FUZZ_CHECK(again == time - time % platform::kFileTimeTicksPerSecond);
    if (stamp) FUZZ_CHECK(formatted == text.substr(0, 20) + u"000Z");
  }
  if (size >= 2) {
    const int value = ParseDecimalField(text, data[0] % 32, data[1] % 16);
    (void)value;
  }

  // The same bytes as a 64-bit instant: the calendar conversions and the
  // HTTP date agree on what they accept.  As on Windows, a calendar time
  // converts back up to the last day of year 30827, while the file times
  // that convert to a calendar time reach into September 30828.
  std::int64_t seconds = 0;
  std::memcpy(&seconds, data, std::min(size, sizeof(seconds)));
  const platform::FileTime file_time = platform::FileTimeFromUnixSeconds(seconds);
  platform::SystemTime calendar;
  if (platform::FileTimeToSystemTime(file_time, &calendar) && calendar.year <= 30827) {
    platform::FileTime back = 0;
    FUZZ_CHECK(platform::SystemTimeToFileTime(calendar, &back));
    FUZZ_CHECK(back == file_time);
  }
  const std::string date = FormatHttpDate(seconds);
  FUZZ_CHECK(date.empty() || (date.size() >= 29 && date.compare(date.size() - 4, 4, " GMT") == 0));
  return 0;
}
