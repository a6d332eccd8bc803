#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace platform {
namespace {

std::string LockDirectory() {
  struct stat st;
  if (::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) &&
      ::access("/dev/shm", W_OK | X_OK) == 0) {
    return "/dev/shm";
  }
  return "/tmp";
}

}  // namespace

std::string NamedMutex::LockFilePath(const std::string& name) {
  if (name.size() > kMaxNameLength) return std::string();
  static const char kHex[] = "0123456789abcdef";
  std::string path = LockDirectory() + "/keltos3-mutex-" + std::to_string(::geteuid()) + "-";
  for (const char ch : name) {
    const unsigned char c = static_cast<unsigned char>(ch);
    path += kHex[c >> 4];
    path += kHex[c & 0x0F];
  }
  path += ".lock";
  return path;
}

NamedMutex::NamedMutex(const std::string& name) {
  const std::string path = LockFilePath(name);
  if (path.empty()) return;
  // The lock file is this user's alone: anyone who could open it could hold
  // the lock for ever.  A symbolic link in its place is not followed, and a
  // file that someone else made (or linked) there is refused.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK,
                        0600);
  if (fd < 0) return;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
      st.st_nlink != 1 || ((st.st_mode & 077) != 0 && ::fchmod(fd, 0600) != 0)) {
    ::close(fd);
    return;
  }
  fd_ = fd;
}

NamedMutex::~NamedMutex() {
  if (fd_ >= 0) ::close(fd_);  // closing the file releases its lock
}

bool NamedMutex::Lock() {
  if (fd_ < 0) return false;
  for (;;) {
    if (::flock(fd_, LOCK_EX) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool NamedMutex::TryLock() {
  if (fd_ < 0) return false;
  for (;;) {
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EINTR) return false;
  }
}

void NamedMutex::Unlock() {
  if (fd_ >= 0) ::flock(fd_, LOCK_UN);
}

}  // namespace platform
