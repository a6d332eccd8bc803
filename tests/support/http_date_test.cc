#include "support/http_date.h"

#include <gtest/gtest.h>


#include "support/test_env.h"

namespace {

TEST(HttpDateTest, FormatsInUtcWithEnglishNamesAndTwoDigitDays) {
  EXPECT_EQ(FormatHttpDate(1175024202), "Tue, 27 Mar 2007 19:36:42 GMT");
  EXPECT_EQ(FormatHttpDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
  EXPECT_EQ(FormatHttpDate(1220250305), "Mon, 01 Sep 2008 06:25:05 GMT");
  EXPECT_EQ(FormatHttpDate(951782400), "Tue, 29 Feb 2000 00:00:00 GMT");
  EXPECT_EQ(FormatHttpDate(1703980799), "Sat, 30 Dec 2023 23:59:59 GMT");
  EXPECT_EQ(FormatHttpDate(-11644473600LL), "Mon, 01 Jan 1601 00:00:00 GMT");
  // Times the calendar cannot hold give the empty text.
  EXPECT_EQ(FormatHttpDate(-11644473601LL), "");
  EXPECT_EQ(FormatHttpDate(INT64_MAX), "");
}

TEST(HttpDateTest, UsesTheClockOfTheEnv) {
  testsupport::TestEnv env;
  platform::ScopedEnvOverride override(&env);
  env.SetNowUnixSeconds(1175024202);
  EXPECT_EQ(FormatHttpDate(), "Tue, 27 Mar 2007 19:36:42 GMT");
  env.Sleep(61000);
  EXPECT_EQ(FormatHttpDate(), "Tue, 27 Mar 2007 19:37:43 GMT");
}

TEST(HttpDateTest, RealClockGivesTheForm) {
  // "Www, DD Mmm YYYY HH:MM:SS GMT"
  const std::string text = FormatHttpDate();
  ASSERT_EQ(text.size(), 29u) << text;
  const std::string days = "Mon Tue Wed Thu Fri Sat Sun";
  const std::string months = "Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec";
  EXPECT_NE(days.find(text.substr(0, 3)), std::string::npos) << text;
  EXPECT_NE(months.find(text.substr(8, 3)), std::string::npos) << text;
  const std::string shape = "xxx, 00 xxx 0000 00:00:00 GMT";
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == '0') {
      EXPECT_TRUE(text[i] >= '0' && text[i] <= '9') << text;
    } else if (shape[i] != 'x') {
      EXPECT_EQ(text[i], shape[i]) << text;
    }
  }
}

}  // namespace
