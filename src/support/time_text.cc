#include "support/time_text.h"

#include <climits>
#include <cstdio>

#include "common/wide_string.h"

std::u16string FormatTimeText(platform::FileTime time) {
  platform::SystemTime st;
  if (!platform::FileTimeToSystemTime(time, &st)) return std::u16string();
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ",
                st.year, st.month, st.day, st.hour, st.minute, st.second, 0);
  return BytesToU16(buffer);
}

std::u16string FormatTimeTextWithMilliseconds(platform::FileTime time) {
  platform::SystemTime st;
  if (!platform::FileTimeToSystemTime(time, &st)) return std::u16string();
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ",
                st.year, st.month, st.day, st.hour, st.minute, st.second,
                static_cast<int>(time / 10000 % 1000));
  return BytesToU16(buffer);
}

int ParseDecimalField(const std::u16string& text, size_t begin, size_t length) {
  if (begin >= text.size()) return 0;
  const size_t end = (length > text.size() - begin) ? text.size() : begin + length;
  size_t i = begin;
  while (i < end && (text[i] == u' ' || text[i] == u'\t' || text[i] == u'\n' ||
                     text[i] == u'\r' || text[i] == u'\v' || text[i] == u'\f')) {
    ++i;
  }
  bool negative = false;
  if (i < end && (text[i] == u'+' || text[i] == u'-')) {
    negative = text[i] == u'-';
    ++i;
  }
  long long value = 0;
  for (; i < end && text[i] >= u'0' && text[i] <= u'9'; ++i) {
    value = value * 10 + (text[i] - u'0');
    if (value > INT_MAX) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

void ParseTimeText(const std::u16string& text, platform::FileTime* out) {
  platform::SystemTime st;
  st.year = ParseDecimalField(text, 0, 4);
  st.month = ParseDecimalField(text, 5, 2);
  st.day = ParseDecimalField(text, 8, 2);
  st.hour = ParseDecimalField(text, 11, 2);
  st.minute = ParseDecimalField(text, 14, 2);
  st.second = ParseDecimalField(text, 17, 2);
  st.milliseconds = ParseDecimalField(text, 20, 3);
  platform::FileTime converted;
  if (platform::SystemTimeToFileTime(st, &converted)) *out = converted;
}
