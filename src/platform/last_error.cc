#include "platform/last_error.h"

namespace platform {
namespace {
thread_local std::uint32_t t_last_error = 0;
}  // namespace

void SetLastError(std::uint32_t code) { t_last_error = code; }
std::uint32_t GetLastError() { return t_last_error; }

}  // namespace platform
