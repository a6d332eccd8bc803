// Records for the system log, the stand-in for the event log.
//
// A record goes straight to the log's socket as one datagram in the
// traditional syslog form
//
//   <PRI>Mmm dd hh:mm:ss SOURCE[PID]: TEXT
//
// (local time, English month abbreviation, the day padded with a blank).
// openlog, syslog and closelog are never called: they keep one identity per
// process, and the host that loads the library may have set its own.
//
// Thread safety: every call opens and closes its own socket.

#ifndef KELTOS3_SRC_PLATFORM_SYSTEM_LOG_H_
#define KELTOS3_SRC_PLATFORM_SYSTEM_LOG_H_

#include <string>
#include <string_view>

namespace platform {

// The system log's socket on this platform.
extern const char kSystemLogSocket[];  // "/dev/log"

// The text of a record is cut to this many bytes (at a character boundary),
// so that a long text is still logged rather than refused by the socket.
constexpr size_t kMaxSystemLogTextBytes = 8192;

// Sends one record (facility user, `severity` one of the syslog severities,
// 3 for an error) to the datagram or stream socket at `socket_path`.  Never
// waits for a congested log: the record is dropped instead.  Returns true
// when the record went out.
bool SendSystemLogRecord(const std::string& socket_path, int severity,
                         std::string_view source, std::string_view text);

}  // namespace platform

#endif  // KELTOS3_SRC_PLATFORM_SYSTEM_LOG_H_
