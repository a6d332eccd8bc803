// The calling thread's last-error value, the stand-in for SetLastError and
// GetLastError.  The transport sets 12500 after an S3 error answer.
//
// Beside it each thread keeps the text of its last failure, for a host that
// shows the user why an operation failed: the S3 error code and message of
// a refused request, the transport's reason for an exchange that failed
// (a certificate that did not verify, a host that cannot be reached, a
// deadline that passed).  Like the value, the text stays until the next
// failure replaces it; a success does not clear it.

#ifndef KELTOS3_SRC_PLATFORM_LAST_ERROR_H_
#define KELTOS3_SRC_PLATFORM_LAST_ERROR_H_

#include <cstdint>
#include <string>

namespace platform {

// Last-error value that marks an error answer sent by S3.
constexpr std::uint32_t kLastErrorS3 = 12500;

void SetLastError(std::uint32_t code);
std::uint32_t GetLastError();

// The text of the calling thread's last failure; empty until one happened.
void SetLastErrorText(const std::u16string& text);
const std::u16string& GetLastErrorText();

}  // namespace platform

#endif  // KELTOS3_SRC_PLATFORM_LAST_ERROR_H_
