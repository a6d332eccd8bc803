// The calling thread's last-error value, the stand-in for SetLastError and
// GetLastError.  The transport sets 12500 after an S3 error answer.

#ifndef KELTOS3_SRC_PLATFORM_LAST_ERROR_H_
#define KELTOS3_SRC_PLATFORM_LAST_ERROR_H_

#include <cstdint>

namespace platform {

// Last-error value that marks an error answer sent by S3.
constexpr std::uint32_t kLastErrorS3 = 12500;

void SetLastError(std::uint32_t code);
std::uint32_t GetLastError();

}  // namespace platform

#endif  // KELTOS3_SRC_PLATFORM_LAST_ERROR_H_
