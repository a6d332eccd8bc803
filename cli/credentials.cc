#include "credentials.h"

#include <cstdint>
#include <cstdio>

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

void AppendUtf8(std::string* out, char32_t cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  size_t i = 0;
  while (i < text.size()) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    int extra = 0;
    char32_t cp = 0, min = 0;
    if (b0 < 0x80) {
      out.push_back(b0);
      ++i;
      continue;
    } else if (b0 >= 0xC2 && b0 <= 0xDF) {
      extra = 1, cp = b0 & 0x1F, min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      extra = 2, cp = b0 & 0x0F, min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      extra = 3, cp = b0 & 0x07, min = 0x10000;
    } else {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    size_t j = 1;
    for (; j <= static_cast<size_t>(extra) && i + j < text.size(); ++j) {
      const auto b = static_cast<unsigned char>(text[i + j]);
      if ((b & 0xC0) != 0x80) break;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (j <= static_cast<size_t>(extra) || cp < min || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(0xFFFD);
      i += j;
      continue;
    }
    i += j;
    if (cp < 0x10000) {
      out.push_back(static_cast<char16_t>(cp));
    } else {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    AppendUtf8(&out, c);
  }
  return out;
}

std::string ScrambleToHex(std::string_view utf8_text) {
  std::u16string text = Utf8ToUtf16(utf8_text);
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
  return Utf16ToUtf8(text);
}

}  // namespace cli
