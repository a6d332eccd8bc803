// The event reporter and the two diagnostic routines.
//
// Errors that S3 sends back go to the event log (on this platform: syslog,
// see platform/env.h) and to the debug-trace channel; the synchronisation
// engine's progress lines go to the trace channel alone.  Reporting never
// fails towards its caller: every result of the platform calls is ignored.
//
// Thread safety: a reporter is used by the thread that created it.

#ifndef KELTOS3_SRC_SUPPORT_EVENT_REPORTER_H_
#define KELTOS3_SRC_SUPPORT_EVENT_REPORTER_H_

#include <cstdint>
#include <string>

#include "platform/env.h"

// Name of the event source every report is written under.
extern const char16_t kEventSourceName[];  // "KeltoS3OnlineBackup"

// Identifier of the one event every report writes.
constexpr uint32_t kReportEventId = 0xC0020001;

// Owns one registration of the event source, from construction to
// destruction.  When registration fails the handle stays 0 and reports skip
// the event log but still reach the trace channel.
class CEventReporter {
 public:
  CEventReporter();
  // A copy registers the source again and owns its own handle; assignment
  // keeps the handle already held.
  CEventReporter(const CEventReporter&);
  CEventReporter& operator=(const CEventReporter&);
  ~CEventReporter();

  // Writes one error event (category 0, id kReportEventId, `text` as its
  // only insertion string), then sends `text`, unchanged, to the trace
  // channel.
  void Report(const std::u16string& text) const;

 private:
  platform::EventSourceHandle m_hEventSource;
};

// A report through a reporter of its own: construct, Report, destroy.
void Report(const std::u16string& text);

// Sends `text`, unchanged, to the trace channel alone.
void Trace(const std::u16string& text);

#endif  // KELTOS3_SRC_SUPPORT_EVENT_REPORTER_H_
