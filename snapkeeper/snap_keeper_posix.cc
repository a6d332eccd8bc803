// SnapKeeper's system calls on POSIX: the copies live in a directory of mode
// 0700 below $TMPDIR (else /tmp) and are reflink clones where the file
// system offers them, plain copies otherwise.  Locks held on a file are
// advisory, so a file locked by another process is read all the same.

#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "snap_keeper_os.h"

namespace snapkeeper {
namespace {

// A wide path in the library's form to a POSIX path (wchar_t holds one code
// point here).  False for a character that is no Unicode scalar value.
bool WideToPosix(const wchar_t* wide, std::string* out) {
  out->clear();
  for (size_t i = 0; wide[i] != L'\0'; ++i) {
    const auto cp = static_cast<char32_t>(static_cast<std::uint32_t>(wide[i]));
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    AppendUtf8(out, cp == U'\\' ? U'/' : cp);
  }
  return true;
}

// A POSIX path (UTF-8) to the library's wide form.  False when the bytes
// are not UTF-8.
bool PosixToWide(const std::string& posix, std::wstring* out) {
  out->clear();
  size_t i = 0;
  const size_t n = posix.size();
  while (i < n) {
    const auto b = static_cast<unsigned char>(posix[i]);
    char32_t cp;
    size_t extra;
    if (b < 0x80) {
      cp = b;
      extra = 0;
    } else if (b >= 0xC2 && b <= 0xDF) {
      cp = b & 0x1F;
      extra = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
      cp = b & 0x0F;
      extra = 2;
    } else if (b >= 0xF0 && b <= 0xF4) {
      cp = b & 0x07;
      extra = 3;
    } else {
      return false;
    }
    if (extra > 0 && i + extra >= n) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const auto c = static_cast<unsigned char>(posix[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    const char32_t min = extra == 1 ? 0x80 : extra == 2 ? 0x800 : extra == 3 ? 0x10000 : 0;
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    out->push_back(cp == U'/' ? L'\\' : static_cast<wchar_t>(cp));
    i += extra + 1;
  }
  return true;
}

// Closes a descriptor at the end of a scope.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

bool WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t n = write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool CopyFile(const std::string& from, const std::string& to) {
  // Non-blocking open, so that a FIFO cannot stall the agent; the type is
  // checked before anything is read.
  Fd in(open(from.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (in.get() < 0) return false;
  struct stat st;
  if (fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const int flags = fcntl(in.get(), F_GETFL);
  if (flags < 0 || fcntl(in.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return false;

  Fd out(open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (out.get() < 0) return false;
  bool ok = ioctl(out.get(), FICLONE, in.get()) == 0;
  if (!ok) {
    ok = true;
    char buffer[65536];
    for (;;) {
      const ssize_t n = read(in.get(), buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        ok = false;
        break;
      }
      if (n == 0) break;
      if (!WriteAll(out.get(), buffer, static_cast<size_t>(n))) {
        ok = false;
        break;
      }
    }
  }
  if (!ok) unlink(to.c_str());
  return ok;
}

std::string TempBase() {
  const char* tmp = getenv("TMPDIR");
  std::string base = (tmp != nullptr && tmp[0] == '/') ? tmp : "/tmp";
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  return base;
}

}  // namespace

bool MakePrivateDirectory(std::wstring* dir) {
  std::string pattern = TempBase() + "/snapkeeper-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) return false;
  if (!PosixToWide(buffer.data(), dir)) {
    rmdir(buffer.data());
    return false;
  }
  return true;
}

bool CopyToNewFile(const wchar_t* source, const std::wstring& target) {
  std::string from;
  std::string to;
  return WideToPosix(source, &from) && WideToPosix(target.c_str(), &to) &&
         CopyFile(from, to);
}

bool RemoveCopy(const std::wstring& path) {
  std::string p;
  if (!WideToPosix(path.c_str(), &p)) return false;
  return unlink(p.c_str()) == 0 || errno == ENOENT;
}

bool RemovePrivateDirectory(const std::wstring& path) {
  std::string p;
  if (!WideToPosix(path.c_str(), &p)) return false;
  return rmdir(p.c_str()) == 0 || errno == ENOENT;
}

bool GetEnv(const char* name, std::string* value) {
  const char* v = getenv(name);
  if (v == nullptr) return false;
  *value = v;
  return true;
}

void AppendToFile(const std::string& path, const std::string& line) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  ssize_t ignored = write(fd, line.data(), line.size());
  (void)ignored;
  close(fd);
}

}  // namespace snapkeeper
