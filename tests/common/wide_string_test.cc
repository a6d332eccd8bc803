#include "common/wide_string.h"

#include <gtest/gtest.h>

#include <cwchar>

namespace {

TEST(WideStringTest, RoundTripsAcrossPlanes) {
  const std::u16string text = u"a\u00e9\u20ac\U0001F600z";
  EXPECT_EQ(U16ToUtf8(text), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z");
  EXPECT_EQ(Utf8ToU16(U16ToUtf8(text)), text);
  EXPECT_EQ(WideToU16(U16ToWide(text).c_str()), text);
  EXPECT_EQ(WideToU16(static_cast<const wchar_t*>(nullptr)), u"");
}

TEST(WideStringTest, MalformedInputBecomesReplacementCharacters) {
  // Truncated sequence, overlong form, lone continuation byte, surrogate.
  EXPECT_EQ(Utf8ToU16("a\xE2\x82"), u"a\uFFFD");
  EXPECT_EQ(Utf8ToU16("\xC0\xAF"), u"\uFFFD\uFFFD");
  EXPECT_EQ(Utf8ToU16("\x80x"), u"\uFFFDx");
  EXPECT_EQ(Utf8ToU16("\xED\xA0\x80"), u"\uFFFD");
  EXPECT_EQ(U16ToUtf8(std::u16string(1, u'\xD800')), "\xEF\xBF\xBD");
#if WCHAR_MAX > 0xFFFF  // a 32-bit wchar_t can hold what no code point is
  const wchar_t beyond[] = {static_cast<wchar_t>(0x110000), 0};
  EXPECT_EQ(WideToU16(beyond), u"\uFFFD");
#endif
}

TEST(WideStringTest, ReplaceAllReplacesEveryOccurrence) {
  EXPECT_EQ(ReplaceAll(u"$file$/a/$file$", u"$file$", u"$data$"), u"$data$/a/$data$");
  EXPECT_EQ(ReplaceAll(u"\\a\\b", u"\\", u"/"), u"/a/b");
  EXPECT_EQ(ReplaceAll(u"abc", u"", u"x"), u"abc");
}

}  // namespace
