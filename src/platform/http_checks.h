// The checks every HTTP backend applies to what the caller hands it, so
// that no text can change where a request goes or split it
// (platform/http.h states what is refused), and the deadline arithmetic
// the backends share, so that an exchange gets the same time on each.

#ifndef KELTOS3_SRC_PLATFORM_HTTP_CHECKS_H_
#define KELTOS3_SRC_PLATFORM_HTTP_CHECKS_H_

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "platform/http.h"

namespace platform {

// An HTTP token (a method or a header name): one or more of the characters
// RFC 9110 allows in one.
bool IsHttpToken(const std::string& text);

// A header value may hold visible characters, blanks, tabs and non-ASCII
// bytes, but no other control character (CR, LF and NUL above all: they
// would split the request).
bool IsHttpHeaderValue(const std::string& value);

// Empty, or blanks and tabs only.
bool IsBlankOnly(const std::string& value);

bool EqualsIgnoreAsciiCase(const std::string& a, const std::string& b);

// Splits "Name: value" into its name and value.  False for a line holding
// CR, LF or NUL, without ": ", whose name is not a token or whose value is
// not a header value.
bool SplitHeaderLine(const std::string& line, std::string* name,
                     std::string* value);

// A host name or address as it may stand in a URL: not empty, and no blank,
// control or non-ASCII character, "/", "?", "#", "@", "\" or "%".
bool IsHostText(const std::string& host);

// A request target that needs no change to go on the request line:
// starting with "/", without blanks, control characters or a "#".
bool IsRequestTarget(const std::string& path);

// The number of a Content-Length value: leading blanks and tabs skipped,
// then decimal digits up to the first other character, saturating at the
// largest 64-bit value (so that a caller still refuses an absurd length).
// False when there is no digit.
bool ParseContentLengthValue(std::string_view text, std::uint64_t* value);

// A deadline that no wait reaches.
constexpr std::uint64_t kNoExchangeDeadline = std::numeric_limits<std::uint64_t>::max();

// The deadline of one exchange, in milliseconds of waiting for the peer
// (platform/http.h): options.deadline_base_ms, plus a second for every
// options.deadline_bytes_per_second bytes of `body_bytes` and of
// `answer_bytes` (the answer's announced length; 0 while it is unknown),
// counting no more of the answer than options.expected_answer_bytes.
// A rate of 0 asks no rate of the peer: once there is a byte to count the
// exchange has no deadline; without one it has the base.  A deadline too
// far to represent is kNoExchangeDeadline too, never a wrapped small one.
std::uint64_t ExchangeDeadlineMs(const HttpSessionOptions& options,
                                 std::uint64_t body_bytes, std::uint64_t answer_bytes);

}  // namespace platform

#endif  // KELTOS3_SRC_PLATFORM_HTTP_CHECKS_H_
