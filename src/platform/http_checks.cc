#include "platform/http_checks.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace platform {
namespace {

bool IsTokenChar(unsigned char c) {
  if (c >= '0' && c <= '9') return true;
  if (c >= 'a' && c <= 'z') return true;
  if (c >= 'A' && c <= 'Z') return true;
  return std::strchr("!#$%&'*+-.^_`|~", c) != nullptr && c != '\0';
}

}  // namespace

bool IsHttpToken(const std::string& text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (!IsTokenChar(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool IsHttpHeaderValue(const std::string& value) {
  for (const char ch : value) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if ((c < 0x20 && c != '\t') || c == 0x7F) return false;
  }
  return true;
}

bool IsBlankOnly(const std::string& value) {
  return value.find_first_not_of(" \t") == std::string::npos;
}

bool EqualsIgnoreAsciiCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

bool SplitHeaderLine(const std::string& line, std::string* name,
                     std::string* value) {
  if (line.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
    return false;
  }
  const size_t colon = line.find(": ");
  if (colon == std::string::npos) return false;
  *name = line.substr(0, colon);
  *value = line.substr(colon + 2);
  return IsHttpToken(*name) && IsHttpHeaderValue(*value);
}

bool IsHostText(const std::string& host) {
  if (host.empty()) return false;
  for (const char ch : host) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c >= 0x7F) return false;
    if (std::strchr("/?#@\\%", c) != nullptr) return false;
  }
  return true;
}

bool IsRequestTarget(const std::string& path) {
  if (path.empty() || path[0] != '/') return false;
  for (const char ch : path) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c == 0x7F || c == '#') return false;
  }
  return true;
}

bool ParseContentLengthValue(std::string_view text, std::uint64_t* value) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  std::uint64_t v = 0;
  bool any = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const std::uint64_t digit = static_cast<std::uint64_t>(text[i] - '0');
    if (v > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
      v = std::numeric_limits<std::uint64_t>::max();
    } else {
      v = v * 10 + digit;
    }
    any = true;
  }
  if (!any) return false;
  *value = v;
  return true;
}

std::uint64_t ExchangeDeadlineMs(const HttpSessionOptions& options,
                                 std::uint64_t body_bytes, std::uint64_t answer_bytes) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  const std::uint64_t base = options.deadline_base_ms;
  const std::uint64_t answer = std::min(answer_bytes, options.expected_answer_bytes);
  const std::uint64_t bytes = body_bytes > kMax - answer ? kMax : body_bytes + answer;
  if (bytes == 0) return base;
  const std::uint64_t rate = options.deadline_bytes_per_second;
  if (rate == 0) return kNoExchangeDeadline;
  // Whole seconds and the milliseconds of the rest, so that no product
  // can overflow before the bound is checked.
  const std::uint64_t seconds = bytes / rate;
  const std::uint64_t rest_ms = bytes % rate * 1000 / rate;
  if (seconds > (kMax - base - rest_ms) / 1000) return kNoExchangeDeadline;
  return base + seconds * 1000 + rest_ms;
}

}  // namespace platform
