#include "platform/file_time.h"

#include <gtest/gtest.h>

namespace {

using platform::FileTime;
using platform::SystemTime;

SystemTime Make(int year, int month, int day, int hour = 0, int minute = 0,
                int second = 0, int ms = 0) {
  SystemTime st;
  st.year = year;
  st.month = month;
  st.day = day;
  st.hour = hour;
  st.minute = minute;
  st.second = second;
  st.milliseconds = ms;
  return st;
}

TEST(FileTimeTest, KnownInstantsConvertBothWays) {
  struct Case {
    SystemTime st;
    FileTime ft;
    int day_of_week;
  };
  const Case cases[] = {
      {Make(1601, 1, 1), 0, 1},                                        // Monday
      {Make(1970, 1, 1), platform::kUnixEpochAsFileTime, 4},          // Thursday
      {Make(2000, 2, 29, 12, 0, 0), 125962992000000000ULL, 2},        // Tuesday
      {Make(2008, 9, 20, 6, 33, 34, 250), 128663660142500000ULL, 6},  // Saturday
      {Make(30827, 12, 31, 23, 59, 59, 999), 0x7FFF35F4F06C58F0ULL, 5},
  };
  for (const Case& c : cases) {
    FileTime ft = 1;
    ASSERT_TRUE(platform::SystemTimeToFileTime(c.st, &ft)) << c.st.year;
    EXPECT_EQ(ft, c.ft) << c.st.year;
    SystemTime back;
    ASSERT_TRUE(platform::FileTimeToSystemTime(c.ft, &back)) << c.st.year;
    EXPECT_EQ(back.year, c.st.year);
    EXPECT_EQ(back.month, c.st.month);
    EXPECT_EQ(back.day, c.st.day);
    EXPECT_EQ(back.hour, c.st.hour);
    EXPECT_EQ(back.minute, c.st.minute);
    EXPECT_EQ(back.second, c.st.second);
    EXPECT_EQ(back.milliseconds, c.st.milliseconds);
    EXPECT_EQ(back.day_of_week, c.day_of_week) << c.st.year;
  }
}

TEST(FileTimeTest, ImpossibleDatesFailAndLeaveTheOutputAlone) {
  const SystemTime impossible[] = {
      Make(1600, 12, 31),        Make(30828, 1, 1),  Make(2001, 2, 29),
      Make(1900, 2, 29),         Make(2010, 0, 1),   Make(2010, 13, 1),
      Make(2010, 4, 31),         Make(2010, 1, 0),   Make(2010, 1, 1, 24),
      Make(2010, 1, 1, 0, 60),   Make(2010, 1, 1, 0, 0, 60),
      Make(2010, 1, 1, 0, 0, 0, 1000), Make(2010, 1, 1, -1),
      Make(-2147483647 - 1, 1, 1),
  };
  for (const SystemTime& st : impossible) {
    FileTime ft = 77;
    EXPECT_FALSE(platform::SystemTimeToFileTime(st, &ft))
        << st.year << "-" << st.month << "-" << st.day << " " << st.hour;
    EXPECT_EQ(ft, 77u);
  }
  FileTime leap = 0;
  EXPECT_TRUE(platform::SystemTimeToFileTime(Make(2000, 2, 29), &leap));
  SystemTime untouched = Make(1999, 9, 9);
  EXPECT_FALSE(platform::FileTimeToSystemTime(0x8000000000000000ULL, &untouched));
  EXPECT_FALSE(platform::FileTimeToSystemTime(UINT64_MAX, &untouched));
  EXPECT_EQ(untouched.year, 1999);
}

TEST(FileTimeTest, UnixSecondsConversionsClampAtTheEnds) {
  EXPECT_EQ(platform::FileTimeFromUnixSeconds(0), platform::kUnixEpochAsFileTime);
  EXPECT_EQ(platform::UnixSecondsFromFileTime(platform::kUnixEpochAsFileTime + 9999999), 0);
  EXPECT_EQ(platform::FileTimeFromUnixSeconds(1262304000),
            platform::kUnixEpochAsFileTime + 1262304000ULL * 10000000ULL);
  EXPECT_EQ(platform::UnixSecondsFromFileTime(0), -11644473600LL);
  EXPECT_EQ(platform::FileTimeFromUnixSeconds(-11644473600LL), 0u);
  EXPECT_EQ(platform::FileTimeFromUnixSeconds(INT64_MIN), 0u);
  // Beyond what a FileTime holds: saturates rather than wrapping into a
  // plausible-looking date.
  EXPECT_EQ(platform::FileTimeFromUnixSeconds(INT64_MAX), UINT64_MAX);
  SystemTime st;
  EXPECT_FALSE(platform::FileTimeToSystemTime(platform::FileTimeFromUnixSeconds(INT64_MAX), &st));
}

}  // namespace
