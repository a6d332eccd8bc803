#include "platform/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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
  std::string path = LockDirectory() + "/keltos3-mutex-";
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
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd_ >= 0) {
    // Every user of the machine shares the lock, so the file is made
    // writable by all whatever the umask; this fails harmlessly on a file
    // of another user.
    ::fchmod(fd_, 0666);
  } else {
    // A file made by another user that this one may not write: flock
    // needs only an open descriptor, whatever its access mode.
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  }
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
