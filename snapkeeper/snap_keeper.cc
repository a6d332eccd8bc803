#include "SnapKeeper.h"

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

namespace {

// Source paths longer than this are refused (PATH_MAX on Linux).
constexpr size_t kMaxSourceLength = 4096;

// ---- Paths -------------------------------------------------------------------

void AppendUtf8(std::string* out, char32_t cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// A wide path in the library's form to a POSIX path.  False for a path
// that is empty, too long, not terminated within the limit, or holds a
// character that is no Unicode scalar value.
bool WideToPosix(const wchar_t* wide, std::string* out) {
  out->clear();
  if (wide == nullptr || wide[0] == L'\0') return false;
  size_t i = 0;
  for (; i <= kMaxSourceLength && wide[i] != L'\0'; ++i) {
    const auto cp = static_cast<char32_t>(static_cast<std::uint32_t>(wide[i]));
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    AppendUtf8(out, cp == U'\\' ? U'/' : cp);
  }
  return i <= kMaxSourceLength;
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

// ---- Test hooks --------------------------------------------------------------

bool FailRequested() {
  const char* value = getenv("KELTOS3_SNAPKEEPER_FAIL");
  return value != nullptr && std::string(value) == "1";
}

void Log(const std::string& line) {
  const char* path = getenv("KELTOS3_SNAPKEEPER_LOG");
  if (path == nullptr || path[0] == '\0') return;
  const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const std::string text = line + "\n";
  ssize_t ignored = write(fd, text.data(), text.size());
  (void)ignored;
  close(fd);
}

std::string LogPath(const wchar_t* wide) {
  std::string out;
  if (wide == nullptr) return out;
  for (size_t i = 0; i <= kMaxSourceLength && wide[i] != L'\0'; ++i) {
    const auto cp = static_cast<char32_t>(static_cast<std::uint32_t>(wide[i]));
    AppendUtf8(&out, (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) ? U'?' : cp);
  }
  return out;
}

// ---- Copies --------------------------------------------------------------------

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

// Copies the regular file `from` to the new file `to` (which must not
// exist): a reflink clone when the file system offers one, else a plain
// copy.  False on any failure; a partial `to` is then removed.
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

// ---- CSnapKeeper -----------------------------------------------------------------

struct CSnapKeeper::State {
  std::string dir;                  // private directory; empty when none
  std::vector<std::string> copies;  // copies made in it

  // Removes the copies and the private directory.  False when something
  // stayed behind.
  bool Remove() {
    bool ok = true;
    for (const std::string& copy : copies) {
      if (unlink(copy.c_str()) != 0 && errno != ENOENT) ok = false;
    }
    copies.clear();
    if (!dir.empty()) {
      if (rmdir(dir.c_str()) != 0 && errno != ENOENT) ok = false;
      dir.clear();
    }
    return ok;
  }
};

CSnapKeeper::CSnapKeeper() : m_pState(new State) { Log("construct"); }

CSnapKeeper::~CSnapKeeper() {
  m_pState->Remove();
  delete m_pState;
  Log("destroy");
}

int CSnapKeeper::VssStartBackup2(wchar_t** sources, wchar_t** outputs, int n) {
  Log("start " + std::to_string(n));
  auto finish = [](int result) {
    Log("result " + std::to_string(result));
    return result;
  };
  if (n < 0 || (n > 0 && (sources == nullptr || outputs == nullptr))) return finish(1);
  for (int i = 0; i < n; ++i) {
    Log("source " + std::to_string(i) + " " + LogPath(sources[i]));
  }
  if (FailRequested()) return finish(1);
  if (!m_pState->dir.empty()) return finish(1);  // the last one is not complete
  if (n == 0) return finish(0);
  for (int i = 0; i < n; ++i) {
    if (outputs[i] == nullptr) return finish(1);
  }

  std::string pattern = TempBase() + "/snapkeeper-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) return finish(1);
  m_pState->dir = buffer.data();

  std::vector<std::wstring> paths;
  for (int i = 0; i < n; ++i) {
    std::string from;
    const std::string to = m_pState->dir + "/" + std::to_string(i);
    std::wstring wide;
    if (!WideToPosix(sources[i], &from) || !PosixToWide(to, &wide) ||
        wide.size() >= static_cast<size_t>(kSnapKeeperPathMax) || !CopyFile(from, to)) {
      m_pState->Remove();
      return finish(1);
    }
    m_pState->copies.push_back(to);
    paths.push_back(wide);
  }
  for (int i = 0; i < n; ++i) {
    const std::wstring& p = paths[static_cast<size_t>(i)];
    p.copy(outputs[i], p.size());
    outputs[i][p.size()] = L'\0';
    Log("output " + std::to_string(i) + " " + LogPath(outputs[i]));
  }
  return finish(0);
}

int CSnapKeeper::VssBackupComplete() {
  Log("complete");
  return m_pState->Remove() ? 0 : 1;
}
