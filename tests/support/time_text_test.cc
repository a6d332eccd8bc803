#include "support/time_text.h"

#include <gtest/gtest.h>

#include <climits>
#include <iterator>

namespace {

using platform::FileTime;

constexpr FileTime kJan2010 = 129067776000000000ULL;      // 2010-01-01 00:00:00
constexpr FileTime kSep2008 = 128663660140000000ULL;      // 2008-09-20 06:33:34

TEST(TimeTextTest, FormatsTheFixedWidthText) {
  EXPECT_EQ(FormatTimeText(kJan2010), u"2010-01-01T00:00:00.000Z");
  // Milliseconds and finer ticks are dropped.
  EXPECT_EQ(FormatTimeText(kSep2008 + 9999999), u"2008-09-20T06:33:34.000Z");
  EXPECT_EQ(FormatTimeText(0), u"1601-01-01T00:00:00.000Z");
  EXPECT_EQ(FormatTimeText(0x8000000000000000ULL), u"");
  // Texts of times in order compare in order.
  EXPECT_LT(FormatTimeText(kSep2008), FormatTimeText(kJan2010));
}

TEST(TimeTextTest, ParsesFieldsAtFixedPositions) {
  FileTime t = 1;
  ParseTimeText(u"2008-09-20T06:33:34.000Z", &t);
  EXPECT_EQ(t, kSep2008);
  t = 1;
  ParseTimeText(u"2008/09/20 06:33:34.000Z", &t);  // separators are not read
  EXPECT_EQ(t, kSep2008);
  ParseTimeText(u"2008-09-20T06:33:34.250Z", &t);
  EXPECT_EQ(t, kSep2008 + 2500000);
  t = 1;
  ParseTimeText(FormatTimeText(kJan2010), &t);
  EXPECT_EQ(t, kJan2010);
  // Missing trailing fields count as 0: a bare date is midnight.
  ParseTimeText(u"2010-01-01", &t);
  EXPECT_EQ(t, kJan2010);
}

TEST(TimeTextTest, ImpossibleOrMalformedTextLeavesTheTimeAlone) {
  const std::u16string texts[] = {
      u"", u"garbage", u"2009-02-29T00:00:00.000Z", u"2010-13-01T00:00:00.000Z",
      u"2010-01-32T00:00:00.000Z", u"2010-01-01T24:00:00.000Z",
      u"2010-01-01T00:60:00.000Z", u"1600-12-31T23:59:59.000Z",
      u"-201-01-01T00:00:00.000Z", std::u16string{0xFFFF, 0xD800} + u"-01-01T00:00:00.000Z"};
  for (size_t i = 0; i < std::size(texts); ++i) {
    FileTime t = 42;
    ParseTimeText(texts[i], &t);
    EXPECT_EQ(t, 42u) << "case " << i;
  }
}

TEST(TimeTextTest, DecimalFieldsReadLikeWtoi) {
  EXPECT_EQ(ParseDecimalField(u"  42x", 0, 5), 42);
  EXPECT_EQ(ParseDecimalField(u"-17", 0, 3), -17);
  EXPECT_EQ(ParseDecimalField(u"+9", 0, 2), 9);
  EXPECT_EQ(ParseDecimalField(u"abc", 0, 3), 0);
  EXPECT_EQ(ParseDecimalField(u"12345", 1, 2), 23);  // only the window
  EXPECT_EQ(ParseDecimalField(u"12", 5, 2), 0);      // beyond the text
  EXPECT_EQ(ParseDecimalField(u"12", 1, SIZE_MAX), 2);
  EXPECT_EQ(ParseDecimalField(u"99999999999999999999", 0, 20), INT_MAX);
  EXPECT_EQ(ParseDecimalField(u"-99999999999999999999", 0, 21), INT_MIN);
  EXPECT_EQ(ParseDecimalField(u"-2147483648", 0, 11), INT_MIN);
}

}  // namespace
