// The checks every HTTP backend applies to what the caller hands it, so
// that no text can change where a request goes or split it
// (platform/http.h states what is refused).

#ifndef KELTOS3_SRC_PLATFORM_HTTP_CHECKS_H_
#define KELTOS3_SRC_PLATFORM_HTTP_CHECKS_H_

#include <cstdint>
#include <string>
#include <string_view>

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

}  // namespace platform

#endif  // KELTOS3_SRC_PLATFORM_HTTP_CHECKS_H_
