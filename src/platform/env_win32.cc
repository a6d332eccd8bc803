// The Win32 implementation of Env.

#include "platform/win32_api.h"

#include <psapi.h>

#include <vector>

#include "common/wide_string.h"
#include "platform/env.h"
#include "platform/file.h"
#include "platform/file_win32.h"
#include "platform/http.h"
#include "platform/http_win32.h"

namespace platform {
namespace {

// The host executable's path is read into this many wide characters; a
// longer path is not taken (it would come back cut).
constexpr DWORD kModulePathChars = 2048;

class Win32Env final : public Env {
 public:
  std::uint32_t GetTickCount() override { return ::GetTickCount(); }

  void Sleep(std::uint32_t milliseconds) override { ::Sleep(milliseconds); }

  std::int64_t NowUnixSeconds() override {
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    return UnixSecondsFromFileTime(
        (static_cast<FileTime>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
  }

  std::u16string GetModuleFileName() override {
    std::vector<wchar_t> buffer(kModulePathChars);
    const DWORD n = ::GetModuleFileNameExW(::GetCurrentProcess(), nullptr,
                                           buffer.data(), kModulePathChars);
    if (n == 0 || n >= kModulePathChars - 1) return u"";
    return FromWide(std::wstring_view(buffer.data(), n));
  }

  bool GetEnvironmentVariable(const char* name, std::string* value) override {
    const std::wstring wide_name = ToWide(Utf8ToU16(name));
    std::vector<wchar_t> buffer(256);
    for (;;) {
      ::SetLastError(ERROR_SUCCESS);
      const DWORD n = ::GetEnvironmentVariableW(
          wide_name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
      if (n == 0 && ::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
      if (n < buffer.size()) {
        *value = U16ToUtf8(FromWide(std::wstring_view(buffer.data(), n)));
        return true;
      }
      buffer.resize(n);  // n counts the terminator when the buffer was short
    }
  }

  EventSourceHandle RegisterEventSource(const std::u16string& source) override {
    const std::wstring name = ToWide(source);
    return reinterpret_cast<EventSourceHandle>(
        ::RegisterEventSourceW(nullptr, name.c_str()));
  }

  bool ReportEvent(EventSourceHandle source, std::uint16_t type,
                   std::uint16_t category, std::uint32_t event_id,
                   const std::u16string& text) override {
    if (source == 0) return false;
    const std::wstring insertion = ToWide(text);
    LPCWSTR strings[1] = {insertion.c_str()};
    return ::ReportEventW(reinterpret_cast<HANDLE>(source), type, category,
                          event_id, nullptr, 1, 0, strings, nullptr) != 0;
  }

  void DeregisterEventSource(EventSourceHandle source) override {
    if (source != 0) ::DeregisterEventSource(reinterpret_cast<HANDLE>(source));
  }

  void OutputDebugString(const std::u16string& text) override {
    ::OutputDebugStringW(ToWide(text).c_str());
  }

  std::unique_ptr<File> OpenFile(const std::u16string& path,
                                 FileOpenMode mode) override {
    return OpenWin32File(path, mode);
  }

  std::unique_ptr<DirectoryIterator> OpenDirectory(
      const std::u16string& path) override {
    return OpenWin32Directory(path);
  }

  bool GetFileAttributes(const std::u16string& path,
                         FileAttributes* attributes) override {
    return GetWin32FileAttributes(path, attributes);
  }

  bool GetEntryAttributes(const std::u16string& path,
                          FileAttributes* attributes) override {
    return GetWin32EntryAttributes(path, attributes);
  }

  bool CreateDirectory(const std::u16string& path) override {
    std::wstring p;
    return ToWin32Path(path, &p) && ::CreateDirectoryW(p.c_str(), nullptr) != 0;
  }

  bool RemoveDirectory(const std::u16string& path) override {
    std::wstring p;
    return ToWin32Path(path, &p) && ::RemoveDirectoryW(p.c_str()) != 0;
  }

  bool DeleteFile(const std::u16string& path) override {
    std::wstring p;
    return ToWin32Path(path, &p) && ::DeleteFileW(p.c_str()) != 0;
  }

  bool RenameFile(const std::u16string& from, const std::u16string& to) override {
    std::wstring f;
    std::wstring t;
    return ToWin32Path(from, &f) && ToWin32Path(to, &t) &&
           ::MoveFileExW(f.c_str(), t.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
  }

  bool SetLastWriteTime(const std::u16string& path, FileTime time) override {
    return SetWin32LastWriteTime(path, time);
  }

  bool IsFileInUse(const std::u16string& path) override {
    return IsWin32FileInUse(path);
  }

  std::unique_ptr<HttpSession> OpenHttpSession(
      const HttpSessionOptions& options) override {
    return OpenWinInetHttpSession(options);
  }
};

}  // namespace

Env* Env::Default() {
  static Win32Env* const env = new Win32Env();
  return env;
}

}  // namespace platform
