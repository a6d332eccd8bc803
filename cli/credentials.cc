#include "credentials.h"

#include <cstdint>
#include <cstdio>

#include "common/wide_string.h"

namespace cli {
namespace {

constexpr char16_t kKey[] = u"Ab4Moon2Is9Bright3";
constexpr size_t kKeyLength = sizeof(kKey) / sizeof(char16_t) - 1;
constexpr size_t kMaxCredentialBytes = 520;

void Scramble(std::u16string* text) {
  for (size_t j = 0; j < text->size(); ++j) {
    (*text)[j] = static_cast<char16_t>(~((*text)[j] ^ kKey[j % kKeyLength]));
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string ScrambleToHex(std::string_view utf8_text) {
  std::u16string text = Utf8ToU16(utf8_text);
  Scramble(&text);
  std::string hex;
  for (const char16_t c : text) {
    char digits[5];
    std::snprintf(digits, sizeof digits, "%02X%02X", c & 0xFF, (c >> 8) & 0xFF);
    hex += digits;
  }
  return hex;
}

std::optional<std::string> UnscrambleHex(std::string_view hex) {
  for (const char c : hex) {
    if (HexValue(c) < 0) return std::nullopt;
  }
  size_t bytes = hex.size() / 2;
  if (bytes > kMaxCredentialBytes) bytes = kMaxCredentialBytes;
  std::u16string text(bytes / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i) {
    const int lo = HexValue(hex[4 * i]) * 16 + HexValue(hex[4 * i + 1]);
    const int hi = HexValue(hex[4 * i + 2]) * 16 + HexValue(hex[4 * i + 3]);
    text[i] = static_cast<char16_t>(lo | (hi << 8));
  }
  Scramble(&text);
  const size_t zero = text.find(u'\0');
  if (zero != std::u16string::npos) text.resize(zero);
  return U16ToUtf8(text);
}

}  // namespace cli
