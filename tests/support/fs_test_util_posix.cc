// The POSIX side of fs_test_util.h: file times and the lock holder.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "support/fs_test_util.h"

namespace testsupport::fstest {

void SetMTime(const std::string& path, std::int64_t unix_seconds,
              long nanoseconds) {
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(unix_seconds);
  times[1].tv_nsec = nanoseconds;
  if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) {
    ADD_FAILURE() << "utimensat " << path << ": " << std::strerror(errno);
  }
}

timespec MTime(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    ADD_FAILURE() << "stat " << path << ": " << std::strerror(errno);
    return timespec{};
  }
  return st.st_mtim;
}

// ---- LockHolder ----------------------------------------------------------------

LockHolder::LockHolder(const std::string& path, Kind kind) {
  int ready[2];
  int release[2];
  if (::pipe(ready) != 0 || ::pipe(release) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return;
  }
  const pid_t child = ::fork();
  child_ = child;
  if (child < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    return;
  }
  if (child == 0) {
    ::close(ready[0]);
    ::close(release[1]);
    char status = '0';
    const int fd = ::open(path.c_str(), O_RDWR);
    if (fd >= 0) {
      if (kind != Kind::kFcntl) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) status = '1';
      } else {
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        if (::fcntl(fd, F_SETLK, &lock) == 0) status = '1';
      }
    }
    if (::write(ready[1], &status, 1) != 1) ::_exit(1);
    char ignored;
    while (::read(release[0], &ignored, 1) > 0) {
    }
    ::_exit(0);
  }
  ::close(ready[1]);
  ::close(release[0]);
  release_ = release[1];
  char status = '0';
  if (::read(ready[0], &status, 1) != 1) status = '0';
  ::close(ready[0]);
  locked_ = status == '1';
}

LockHolder::~LockHolder() {
  if (release_ >= 0) ::close(static_cast<int>(release_));
  if (child_ > 0) {
    int status = 0;
    ::waitpid(static_cast<pid_t>(child_), &status, 0);
  }
}

}  // namespace testsupport::fstest
