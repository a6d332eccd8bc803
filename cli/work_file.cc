#include "work_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

namespace cli {

std::string SystemReason(int error_number) { return std::strerror(error_number); }

WorkFile::~WorkFile() { Discard(); }

bool WorkFile::Create(const std::string& target, std::string* error) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string path = target + ".keltos3-";
    for (int i = 0; i < 10; ++i) path += kLetters[random() % (sizeof(kLetters) - 1)];
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
      fd_ = fd;
      path_ = path;
      return true;
    }
    if (errno != EEXIST) {
      *error = "cannot create a work file beside " + target + ": " + SystemReason(errno);
      return false;
    }
  }
  *error = "cannot create a work file beside " + target + ": every name tried exists";
  return false;
}

bool WorkFile::Write(const void* data, size_t length, std::string* error) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t n = ::write(fd_, p, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = "writing " + path_ + " failed: " + SystemReason(errno);
      return false;
    }
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool WorkFile::Commit(const std::string& target, std::string* error) {
  if (::fsync(fd_) != 0 || ::close(fd_) != 0) {
    fd_ = -1;
    *error = "writing " + path_ + " failed: " + SystemReason(errno);
    Discard();
    return false;
  }
  fd_ = -1;
  if (::rename(path_.c_str(), target.c_str()) != 0) {
    *error = "cannot replace " + target + ": " + SystemReason(errno);
    Discard();
    return false;
  }
  path_.clear();
  return true;
}

void WorkFile::Discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!path_.empty()) ::unlink(path_.c_str());
  path_.clear();
}

}  // namespace cli
