#include "platform/system_log.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace platform {

const char kSystemLogSocket[] = "/dev/log";

namespace {

constexpr int kFacilityUser = 1 << 3;

// The text cut to at most `limit` bytes without splitting a UTF-8 sequence.
std::string_view CutText(std::string_view text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

std::string FormatRecord(int severity, std::string_view source, std::string_view text) {
  // The month by name from a table: strftime would follow the host's locale.
  static const char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char head[64];
  if (::localtime_r(&now, &local) != nullptr && local.tm_mon >= 0 && local.tm_mon < 12) {
    std::snprintf(head, sizeof(head), "<%d>%s %2d %02d:%02d:%02d ",
                  kFacilityUser | (severity & 7), kMonths[local.tm_mon], local.tm_mday,
                  local.tm_hour, local.tm_min, local.tm_sec);
  } else {
    std::snprintf(head, sizeof(head), "<%d>", kFacilityUser | (severity & 7));
  }
  std::string record(head);
  record.append(source);
  record += '[' + std::to_string(::getpid()) + "]: ";
  record.append(CutText(text, kMaxSystemLogTextBytes));
  return record;
}

// A socket of `type` connected to `address`, or -1 (errno tells why).
int ConnectTo(const sockaddr_un& address, int type) {
  const int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

}  // namespace

bool SendSystemLogRecord(const std::string& socket_path, int severity,
                         std::string_view source, std::string_view text) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socket_path.empty() || socket_path.size() >= sizeof(address.sun_path) ||
      socket_path.find('\0') != std::string::npos) {
    return false;
  }
  std::memcpy(address.sun_path, socket_path.data(), socket_path.size());
  std::string record = FormatRecord(severity, source, text);

  // The log listens on a datagram socket; a log on a stream socket takes
  // each record ended by a NUL.
  int fd = ConnectTo(address, SOCK_DGRAM);
  if (fd < 0 && errno == EPROTOTYPE) {
    fd = ConnectTo(address, SOCK_STREAM);
    record.push_back('\0');
  }
  if (fd < 0) return false;
  ssize_t sent;
  do {
    sent = ::send(fd, record.data(), record.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  ::close(fd);
  return sent >= 0 && static_cast<size_t>(sent) == record.size();
}

}  // namespace platform
