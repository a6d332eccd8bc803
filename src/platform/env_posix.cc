// The POSIX implementation of Env.

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>
#include <utility>

#include "common/wide_string.h"
#include "platform/env.h"
#include "platform/env_posix.h"
#include "platform/file.h"
#include "platform/http.h"
#include "platform/http_curl.h"
#include "platform/path.h"
#include "platform/system_log.h"

namespace platform {
namespace {

// Severities of the system log.
constexpr int kSeverityError = 3;
constexpr int kSeverityInfo = 6;

FileTime FileTimeFromTimespec(const timespec& ts) {
  FileTime t = FileTimeFromUnixSeconds(ts.tv_sec);
  if (t == 0) return 0;
  return t + static_cast<FileTime>(ts.tv_nsec / 100);
}

timespec TimespecFromFileTime(FileTime time) {
  timespec ts{};
  const std::int64_t seconds = UnixSecondsFromFileTime(time);
  ts.tv_sec = static_cast<time_t>(seconds);
  ts.tv_nsec = static_cast<long>((time % kFileTimeTicksPerSecond) * 100);
  return ts;
}

// The POSIX form of a library path.  Fails for a path holding a NUL, which
// no POSIX path can carry: passed on, it would silently name a shorter path.
bool ToPosixPathChecked(const std::u16string& path, std::string* out) {
  if (path.find(u'\0') != std::u16string::npos) return false;
  *out = ToPosixPath(path);
  return true;
}

// Opens (with O_CREAT in flags: creates) a regular file without blocking on
// a FIFO or a device and without making a terminal the controlling one;
// whatever turns out not to be a regular file is refused.  Returns the
// descriptor, in blocking mode, or -1.
int OpenRegularFile(const std::string& path, int flags, mode_t mode = 0666) {
  const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                        mode);
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  const int status = ::fcntl(fd, F_GETFL);
  if (status == -1 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) == -1) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void FillAttributes(const struct stat& st, FileAttributes* attributes) {
  attributes->is_directory = S_ISDIR(st.st_mode);
  attributes->is_symbolic_link = S_ISLNK(st.st_mode);
  attributes->last_write_time = FileTimeFromTimespec(st.st_mtim);
  attributes->size = static_cast<std::uint64_t>(st.st_size);
  attributes->access.permissions = st.st_mode & 0777;
  attributes->access.owner = st.st_uid;
  attributes->access.group = st.st_gid;
}

bool SetWriteTimeOfDescriptor(int fd, FileTime time) {
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // the last-access time stays
  times[1] = TimespecFromFileTime(time);
  return ::futimens(fd, times) == 0;
}

class PosixFile final : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { ::close(fd_); }

  std::int64_t Read(void* buffer, std::uint32_t n) override {
    for (;;) {
      const ssize_t r = ::read(fd_, buffer, n);
      if (r >= 0) return r;
      if (errno != EINTR) return -1;
    }
  }

  std::int64_t Write(const void* buffer, std::uint32_t n) override {
    const char* p = static_cast<const char*>(buffer);
    std::uint32_t done = 0;
    while (done < n) {
      const ssize_t w = ::write(fd_, p + done, n - done);
      if (w < 0) {
        if (errno == EINTR) continue;
        return done == 0 ? -1 : done;
      }
      if (w == 0) break;
      done += static_cast<std::uint32_t>(w);
    }
    return done;
  }

  bool SetLastWriteTime(FileTime time) override {
    return SetWriteTimeOfDescriptor(fd_, time);
  }

  bool Sync() override { return ::fsync(fd_) == 0; }

  // Owner and group first: a change of owner may clear permission bits.
  bool SetAccess(const FileAccess& access) override {
    if (access.owner >= 0 || access.group >= 0) {
      struct stat st;
      if (::fstat(fd_, &st) == 0 &&
          ((access.owner >= 0 && st.st_uid != access.owner) ||
           (access.group >= 0 && st.st_gid != access.group))) {
        const uid_t owner = access.owner >= 0 ? static_cast<uid_t>(access.owner)
                                              : static_cast<uid_t>(-1);
        const gid_t group = access.group >= 0 ? static_cast<gid_t>(access.group)
                                              : static_cast<gid_t>(-1);
        if (::fchown(fd_, owner, group) != 0) {
          (void)::fchown(fd_, static_cast<uid_t>(-1), group);  // the group alone
        }
      }
    }
    if (access.permissions < 0) return true;
    return ::fchmod(fd_, static_cast<mode_t>(access.permissions & 0777)) == 0;
  }

 private:
  const int fd_;
};

class PosixDirectoryIterator final : public DirectoryIterator {
 public:
  explicit PosixDirectoryIterator(DIR* dir) : dir_(dir) {}
  ~PosixDirectoryIterator() override { ::closedir(dir_); }

  bool Next(DirectoryEntry* entry) override {
    for (;;) {
      errno = 0;
      const dirent* d = ::readdir(dir_);
      if (d == nullptr) {
        failed_ = errno != 0;
        return false;
      }
      *entry = DirectoryEntry{Utf8ToU16(d->d_name)};
      // Bytes that are not UTF-8 do not come back from the conversion.
      entry->name_not_text = U16ToUtf8(entry->name) != d->d_name;
      struct stat st;
      if (::fstatat(::dirfd(dir_), d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) continue;  // removed since it was listed
        entry->unreadable = true;
        return true;
      }
      FileAttributes attributes;
      FillAttributes(st, &attributes);
      entry->is_directory = attributes.is_directory;
      entry->is_symbolic_link = attributes.is_symbolic_link;
      entry->last_write_time = attributes.last_write_time;
      entry->size = attributes.size;
      return true;
    }
  }

  bool Failed() const override { return failed_; }

 private:
  DIR* const dir_;
  bool failed_ = false;
};

class PosixEnv final : public Env {
 public:
  explicit PosixEnv(PosixEnvOptions options) : options_(std::move(options)) {}

  std::uint32_t GetTickCount() override {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    const std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000 +
                             static_cast<std::uint64_t>(ts.tv_nsec) / 1000000;
    return static_cast<std::uint32_t>(ms);
  }

  void Sleep(std::uint32_t milliseconds) override {
    timespec request{};
    request.tv_sec = milliseconds / 1000;
    request.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000;
    timespec remaining{};
    while (::nanosleep(&request, &remaining) != 0 && errno == EINTR) {
      request = remaining;
    }
  }

  std::int64_t NowUnixSeconds() override {
    return static_cast<std::int64_t>(::time(nullptr));
  }

  std::u16string GetModuleFileName() override {
    std::string buffer(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0 || static_cast<size_t>(n) >= buffer.size()) return u"";
    buffer.resize(static_cast<size_t>(n));
    return FromPosixPath(buffer);
  }

  bool GetEnvironmentVariable(const char* name, std::string* value) override {
    const char* v = std::getenv(name);
    if (v == nullptr) return false;
    *value = v;
    return true;
  }

  // The handle owns the source name that every record of it carries; the
  // system log itself needs no registration.
  EventSourceHandle RegisterEventSource(const std::u16string& source) override {
    return reinterpret_cast<EventSourceHandle>(new (std::nothrow) std::string(U16ToUtf8(source)));
  }

  bool ReportEvent(EventSourceHandle source, std::uint16_t type,
                   std::uint16_t, std::uint32_t,
                   const std::u16string& text) override {
    if (source == 0) return false;
    const std::string& name = *reinterpret_cast<const std::string*>(source);
    return SendSystemLogRecord(options_.log_socket,
                               type == kEventTypeError ? kSeverityError : kSeverityInfo,
                               name, U16ToUtf8(text));
  }

  void DeregisterEventSource(EventSourceHandle source) override {
    delete reinterpret_cast<std::string*>(source);
  }

  // The trace channel is silent unless KELTOS3_TRACE names a sink: "stderr",
  // or a file that every line is appended to.  Each text becomes one line
  // (a line end is added when it has none), so that texts written without
  // one do not run together.  The file is opened without following a
  // symbolic link and without waiting (a FIFO or a device is refused, never
  // blocked on), is created private to the user, and must be a regular
  // file: a planted link cannot have the trace appended to another file.
  void OutputDebugString(const std::u16string& text) override {
    std::string sink;
    if (!GetEnvironmentVariable("KELTOS3_TRACE", &sink) || sink.empty()) return;
    std::string bytes = U16ToUtf8(text);
    if (bytes.empty() || bytes.back() != '\n') bytes += '\n';
    if (sink == "stderr") {
      std::fwrite(bytes.data(), 1, bytes.size(), stderr);
      std::fflush(stderr);
      return;
    }
    const int fd = ::open(sink.c_str(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY,
                          0600);
    if (fd < 0) return;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      ::close(fd);
      return;
    }
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (w <= 0 && errno != EINTR) break;
      if (w > 0) done += static_cast<size_t>(w);
    }
    ::close(fd);
  }

  std::unique_ptr<File> OpenFile(const std::u16string& path,
                                 FileOpenMode mode) override {
    std::string p;
    if (!ToPosixPathChecked(path, &p)) return nullptr;
    int fd = -1;
    switch (mode) {
      case FileOpenMode::kExistingReadWrite:
        fd = OpenRegularFile(p, O_RDWR);
        break;
      case FileOpenMode::kExistingReadOnly:
        fd = OpenRegularFile(p, O_RDONLY);
        break;
      case FileOpenMode::kCreateAlways:
        fd = OpenRegularFile(p, O_WRONLY | O_CREAT | O_TRUNC);
        break;
      case FileOpenMode::kCreateNew:
        fd = OpenRegularFile(p, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
        break;
    }
    if (fd < 0) return nullptr;
    return std::make_unique<PosixFile>(fd);
  }

  std::unique_ptr<DirectoryIterator> OpenDirectory(
      const std::u16string& path) override {
    std::string p;
    if (!ToPosixPathChecked(path, &p)) return nullptr;
    DIR* dir = ::opendir(p.c_str());
    if (dir == nullptr) return nullptr;
    return std::make_unique<PosixDirectoryIterator>(dir);
  }

  bool GetFileAttributes(const std::u16string& path,
                         FileAttributes* attributes) override {
    std::string p;
    if (!ToPosixPathChecked(path, &p)) return false;
    struct stat st;
    if (::stat(p.c_str(), &st) != 0) return false;
    FillAttributes(st, attributes);
    return true;
  }

  bool GetEntryAttributes(const std::u16string& path,
                          FileAttributes* attributes) override {
    std::string p;
    if (!ToPosixPathChecked(path, &p)) return false;
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0) return false;
    FillAttributes(st, attributes);
    return true;
  }

  bool CreateDirectory(const std::u16string& path) override {
    std::string p;
    return ToPosixPathChecked(path, &p) && ::mkdir(p.c_str(), 0777) == 0;
  }

  bool RemoveDirectory(const std::u16string& path) override {
    std::string p;
    return ToPosixPathChecked(path, &p) && ::rmdir(p.c_str()) == 0;
  }

  bool DeleteFile(const std::u16string& path) override {
    std::string p;
    return ToPosixPathChecked(path, &p) && ::unlink(p.c_str()) == 0;
  }

  bool RenameFile(const std::u16string& from, const std::u16string& to) override {
    std::string f;
    std::string t;
    return ToPosixPathChecked(from, &f) && ToPosixPathChecked(to, &t) &&
           ::rename(f.c_str(), t.c_str()) == 0;
  }

  bool SetLastWriteTime(const std::u16string& path, FileTime time) override {
    std::string p;
    if (!ToPosixPathChecked(path, &p)) return false;
    const int fd = OpenRegularFile(p, O_RDWR);
    if (fd < 0) return false;
    const bool ok = SetWriteTimeOfDescriptor(fd, time);
    ::close(fd);
    return ok;
  }

  // Closing the probe descriptor drops the fcntl (process-associated) locks
  // that this process itself holds on the file; the library holds none.
  // The probe only reads: neither flock nor F_OFD_GETLK needs write access,
  // so a read-only file or mount is tested like any other.
  bool IsFileInUse(const std::u16string& path) override {
    std::string p;
    if (!ToPosixPathChecked(path, &p)) return true;
    // Missing, not openable for reading, or not a regular file (a FIFO or a
    // device is never taken for a file to copy): in use.
    const int fd = OpenRegularFile(p, O_RDONLY);
    if (fd < 0) return true;
    bool in_use = false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      in_use = true;  // another open file holds a flock lock
    } else {
      ::flock(fd, LOCK_UN);
      // Open-file-description locks conflict with every fcntl lock, including
      // those of this process, so a lock held by anyone else shows here.
      struct flock probe{};
      probe.l_type = F_WRLCK;
      probe.l_whence = SEEK_SET;
      probe.l_start = 0;
      probe.l_len = 0;
      probe.l_pid = 0;
      if (::fcntl(fd, F_OFD_GETLK, &probe) != 0 || probe.l_type != F_UNLCK) {
        in_use = true;
      }
    }
    ::close(fd);
    return in_use;
  }

  std::unique_ptr<HttpSession> OpenHttpSession(
      const HttpSessionOptions& options) override {
    return OpenCurlHttpSession(options);
  }

 private:
  const PosixEnvOptions options_;
};

}  // namespace

FileAccess DefaultNewFileAccess() {
  // The umask cannot be read without setting it (which would race with
  // other threads creating files); Linux shows it in /proc/self/status.
  mode_t mask = 022;
  if (std::FILE* status = std::fopen("/proc/self/status", "re")) {
    char line[256];
    while (std::fgets(line, sizeof line, status) != nullptr) {
      unsigned int value = 0;
      if (std::sscanf(line, "Umask: %o", &value) == 1) {
        mask = static_cast<mode_t>(value & 0777);
        break;
      }
    }
    std::fclose(status);
  }
  FileAccess access;
  access.permissions = 0666 & ~mask;
  return access;
}

Env* Env::Default() {
  static PosixEnv* const env = new PosixEnv(PosixEnvOptions());
  return env;
}

std::unique_ptr<Env> NewPosixEnv(const PosixEnvOptions& options) {
  return std::make_unique<PosixEnv>(options);
}

}  // namespace platform
