// The last-error value on the thread's own Win32 last error.
//
// The library keeps its own copy per thread as well: every Win32 call made
// after an error answer (closing the exchange's handles, opening the next
// one's mutex, reading a setting) may overwrite the thread's system value,
// while the value GetLastError gives must still say that the last error
// answer came from S3.

#include "platform/win32_api.h"

#include "platform/last_error.h"

namespace platform {
namespace {
thread_local std::uint32_t t_last_error = 0;
thread_local std::u16string t_last_error_text;
}  // namespace

void SetLastError(std::uint32_t code) {
  t_last_error = code;
  ::SetLastError(code);
}

std::uint32_t GetLastError() { return t_last_error; }

void SetLastErrorText(const std::u16string& text) { t_last_error_text = text; }
const std::u16string& GetLastErrorText() { return t_last_error_text; }

}  // namespace platform
