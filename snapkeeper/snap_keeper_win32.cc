// SnapKeeper's system calls on Windows.  The Volume Shadow Copy service is
// not used: the copies are plain copies in a directory of the agent's own
// below the user's directory for temporary files.  A file is read with every
// kind of sharing allowed, so a file that another program holds open for
// writing is copied as long as that program lets others read it; a file
// held open without any sharing cannot be read, and the request fails.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#include <vector>

#include "snap_keeper_os.h"

namespace snapkeeper {
namespace {

// Tries this many names before giving up on making the private directory.
constexpr int kDirectoryAttempts = 100;

class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (valid()) CloseHandle(handle_);
  }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

std::wstring WideFromUtf8(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(),
                                    static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                      out.data(), n);
  return out;
}

bool Copy(HANDLE in, HANDLE out) {
  std::vector<char> buffer(65536);
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(in, buffer.data(), static_cast<DWORD>(buffer.size()), &read,
                  nullptr)) {
      return false;
    }
    if (read == 0) return true;
    DWORD done = 0;
    while (done < read) {
      DWORD written = 0;
      if (!WriteFile(out, buffer.data() + done, read - done, &written, nullptr) ||
          written == 0) {
        return false;
      }
      done += written;
    }
  }
}

}  // namespace

bool MakePrivateDirectory(std::wstring* dir) {
  wchar_t base[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, base);
  if (n == 0 || n > MAX_PATH) return false;
  const std::wstring prefix = std::wstring(base, n) + L"snapkeeper-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-";
  const DWORD start = GetTickCount();
  for (int attempt = 0; attempt < kDirectoryAttempts; ++attempt) {
    std::wstring candidate = prefix + std::to_wstring(start + attempt);
    if (CreateDirectoryW(candidate.c_str(), nullptr)) {
      *dir = std::move(candidate);
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) return false;
  }
  return false;
}

bool CopyToNewFile(const wchar_t* source, const std::wstring& target) {
  Handle in(CreateFileW(source, GENERIC_READ,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  // Only disk files: a reserved name ("COM1", "NUL") opens a device.
  if (!in.valid() || GetFileType(in.get()) != FILE_TYPE_DISK) return false;
  bool ok = false;
  {
    Handle out(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out.valid()) return false;
    ok = Copy(in.get(), out.get());
  }
  if (!ok) DeleteFileW(target.c_str());
  return ok;
}

bool RemoveCopy(const std::wstring& path) {
  if (DeleteFileW(path.c_str())) return true;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool RemovePrivateDirectory(const std::wstring& path) {
  if (RemoveDirectoryW(path.c_str())) return true;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool GetEnv(const char* name, std::string* value) {
  const std::wstring wide_name = WideFromUtf8(name);
  std::vector<wchar_t> buffer(256);
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    const DWORD n = GetEnvironmentVariableW(wide_name.c_str(), buffer.data(),
                                            static_cast<DWORD>(buffer.size()));
    if (n == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
    if (n < buffer.size()) {
      value->clear();
      const int bytes = WideCharToMultiByte(CP_UTF8, 0, buffer.data(),
                                            static_cast<int>(n), nullptr, 0,
                                            nullptr, nullptr);
      value->resize(static_cast<size_t>(bytes));
      WideCharToMultiByte(CP_UTF8, 0, buffer.data(), static_cast<int>(n),
                          value->data(), bytes, nullptr, nullptr);
      return true;
    }
    buffer.resize(n);
  }
}

void AppendToFile(const std::string& path, const std::string& line) {
  Handle file(CreateFileW(WideFromUtf8(path).c_str(), FILE_APPEND_DATA,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return;
  DWORD written = 0;
  WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written,
            nullptr);
}

}  // namespace snapkeeper
