// The default Env's event records, written to a private socket that stands
// in for /dev/log.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/env_posix.h"
#include "support/event_reporter.h"
#include "support/temp_dir.h"

namespace {

// A datagram socket bound at a path of its own, like the system log's.
class LogSocket {
 public:
  explicit LogSocket(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_DGRAM, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  }
  ~LogSocket() { ::close(fd_); }
  bool bound() const { return bound_; }

  // The next record already sent, or "" when there is none.
  std::string Next() {
    char buffer[65536];
    const ssize_t n = ::recv(fd_, buffer, sizeof(buffer), MSG_DONTWAIT);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
  }

 private:
  const int fd_;
  bool bound_ = false;
};

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The records name the library's source in each line, without openlog: the
// host's own syslog identity is process-wide and stays the host's.
TEST(SystemLogTest, ReportsReachTheLogUnderTheSourceName) {
  testsupport::TempDir dir;
  LogSocket log(dir.PathOf("log"));
  ASSERT_TRUE(log.bound());
  const auto env = platform::NewPosixEnv({dir.PathOf("log")});
  platform::ScopedEnvOverride override(env.get());

  Report(u"NoSuchKey");
  const std::string record = log.Next();
  EXPECT_EQ(record.rfind("<11>", 0), 0u) << record;  // facility user, severity error
  EXPECT_TRUE(EndsWith(record, " KeltoS3OnlineBackup[" + std::to_string(::getpid()) +
                                   "]: NoSuchKey"))
      << record;

  // A long text is cut, not refused, and never inside a character.
  Report(u"x" + std::u16string(10000, u'\u00e9'));
  const std::string long_record = log.Next();
  const size_t text = long_record.find("]: ") + 3;
  EXPECT_EQ(long_record.size() - text, 8191u);
  EXPECT_TRUE(EndsWith(long_record, "\xC3\xA9"));

  // Without a log to write to, a report still returns.
  const auto no_log = platform::NewPosixEnv({dir.PathOf("missing")});
  platform::ScopedEnvOverride second(no_log.get());
  Report(u"SlowDown");
  EXPECT_EQ(log.Next(), "");
}

}  // namespace
