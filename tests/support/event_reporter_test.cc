#include "support/event_reporter.h"

#include <gtest/gtest.h>

#include "support/test_env.h"

namespace {

using testsupport::TestEnv;

class EventReporterTest : public ::testing::Test {
 protected:
  EventReporterTest() : override_(&env_) {}
  TestEnv env_;
  platform::ScopedEnvOverride override_;
};

TEST_F(EventReporterTest, ReportWritesOneErrorRecordAndTheSameTrace) {
  Report(u"NoSuchBucket");
  const auto events = env_.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].type, 1);
  EXPECT_EQ(events[0].category, 0);
  EXPECT_EQ(events[0].event_id, 0xC0020001u);
  EXPECT_EQ(events[0].text, u"NoSuchBucket");
  EXPECT_EQ(env_.traces(), std::vector<std::u16string>{u"NoSuchBucket"});
  EXPECT_EQ(env_.registered_names(), std::vector<std::u16string>{u"KeltoS3OnlineBackup"});
  EXPECT_EQ(env_.open_event_sources(), 0);  // the one-shot reporter closed its source

  // An empty report still writes a record and an empty trace line.
  Report(u"");
  ASSERT_EQ(env_.events().size(), 2u);
  EXPECT_EQ(env_.events()[1].text, u"");
  EXPECT_EQ(env_.traces().back(), u"");

  // Trace writes the trace channel alone.
  Trace(u"Local: added \\docs\\a.txt");
  EXPECT_EQ(env_.events().size(), 2u);
  EXPECT_EQ(env_.registered_names().size(), 2u);
  EXPECT_EQ(env_.traces().back(), u"Local: added \\docs\\a.txt");
}

TEST_F(EventReporterTest, FailedRegistrationStillTraces) {
  env_.FailEventRegistration(true);
  {
    CEventReporter reporter;
    reporter.Report(u"AccessDenied");
    reporter.Report(u"SlowDown");
  }
  Report(u"InternalError");
  EXPECT_TRUE(env_.events().empty());
  EXPECT_EQ(env_.traces(),
            (std::vector<std::u16string>{u"AccessDenied", u"SlowDown", u"InternalError"}));
  EXPECT_EQ(env_.open_event_sources(), 0);
}

TEST_F(EventReporterTest, EachReporterOwnsOneRegistration) {
  {
    CEventReporter a;
    EXPECT_EQ(env_.open_event_sources(), 1);
    CEventReporter b(a);  // a copy registers on its own
    EXPECT_EQ(env_.open_event_sources(), 2);
    b = a;  // assignment keeps b's own handle
    EXPECT_EQ(env_.open_event_sources(), 2);
    b.Report(u"x");
  }
  EXPECT_EQ(env_.open_event_sources(), 0);
  EXPECT_EQ(env_.events().size(), 1u);
}

}  // namespace
