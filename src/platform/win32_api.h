// The Win32 headers and the conversions every Win32 source of the platform
// layer shares.  Include this header before any other project header: it
// undefines the A/W macros of <windows.h> whose names are also the names of
// Env's members (GetModuleFileName, CreateDirectory, ReportEvent...) or of
// other classes of the library (S3Client::GetObject), so that a class seen
// through this header is the same class every other source of the library
// sees.  The Win32 sources call the W functions by their full names.

#ifndef KELTOS3_SRC_PLATFORM_WIN32_API_H_
#define KELTOS3_SRC_PLATFORM_WIN32_API_H_

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#undef CreateDirectory
#undef DeleteFile
#undef GetEnvironmentVariable
#undef GetFileAttributes
#undef GetModuleFileName
#undef GetObject
#undef GetPrivateProfileString
#undef OutputDebugString
#undef RegisterEventSource
#undef RemoveDirectory
#undef ReportEvent

#include <string>
#include <string_view>

static_assert(sizeof(wchar_t) == sizeof(char16_t),
              "Win32 wide strings are UTF-16");

namespace platform {

// The library's UTF-16 text as a Win32 wide string and back (the same code
// units).
inline std::wstring ToWide(std::u16string_view text) {
  return std::wstring(text.begin(), text.end());
}

inline std::u16string FromWide(std::wstring_view text) {
  return std::u16string(text.begin(), text.end());
}

// Closes a kernel handle at the end of its scope.  Holds INVALID_HANDLE_VALUE
// or null when empty, as the call that produced it returned.
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ~ScopedHandle() {
    if (valid()) ::CloseHandle(handle_);
  }
  bool valid() const {
    return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE;
  }
  HANDLE get() const { return handle_; }

 private:
  const HANDLE handle_;
};

}  // namespace platform

#endif  // KELTOS3_SRC_PLATFORM_WIN32_API_H_
