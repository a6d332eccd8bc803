#include "platform/last_error.h"

namespace platform {
namespace {
thread_local std::uint32_t t_last_error = 0;
thread_local std::u16string t_last_error_text;
}  // namespace

void SetLastError(std::uint32_t code) { t_last_error = code; }
std::uint32_t GetLastError() { return t_last_error; }

void SetLastErrorText(const std::u16string& text) { t_last_error_text = text; }
const std::u16string& GetLastErrorText() { return t_last_error_text; }

}  // namespace platform
