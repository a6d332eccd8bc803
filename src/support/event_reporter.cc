#include "support/event_reporter.h"

const char16_t kEventSourceName[] = u"KeltoS3OnlineBackup";

CEventReporter::CEventReporter()
    : m_hEventSource(platform::CurrentEnv()->RegisterEventSource(kEventSourceName)) {}

CEventReporter::CEventReporter(const CEventReporter&) : CEventReporter() {}

CEventReporter& CEventReporter::operator=(const CEventReporter&) { return *this; }

CEventReporter::~CEventReporter() {
  if (m_hEventSource != 0) {
    platform::CurrentEnv()->DeregisterEventSource(m_hEventSource);
  }
}

void CEventReporter::Report(const std::u16string& text) const {
  platform::Env* env = platform::CurrentEnv();
  if (m_hEventSource != 0) {
    env->ReportEvent(m_hEventSource, platform::kEventTypeError, 0,
                     kReportEventId, text);
  }
  env->OutputDebugString(text);
}

void Report(const std::u16string& text) {
  const CEventReporter reporter;
  reporter.Report(text);
}

void Trace(const std::u16string& text) {
  platform::CurrentEnv()->OutputDebugString(text);
}
