#include "common/wide_string.h"

#include <cstdint>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf16(std::u16string* out, char32_t cp) {
  if (cp >= 0xD800 && cp <= 0xDFFF) cp = kReplacement;
  if (cp > 0x10FFFF) cp = kReplacement;
  if (cp < 0x10000) {
    out->push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
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

// Decodes the UTF-16 code point at text[*i] and advances *i.
char32_t NextCodePoint(std::u16string_view text, size_t* i) {
  const char16_t c = text[(*i)++];
  if (c >= 0xD800 && c <= 0xDBFF) {
    if (*i < text.size() && text[*i] >= 0xDC00 && text[*i] <= 0xDFFF) {
      const char16_t low = text[(*i)++];
      return 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) +
             (static_cast<char32_t>(low) - 0xDC00);
    }
    return kReplacement;
  }
  if (c >= 0xDC00 && c <= 0xDFFF) return kReplacement;
  return c;
}

}  // namespace

std::u16string Utf8ToU16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  size_t i = 0;
  const size_t n = utf8.size();
  while (i < n) {
    const auto b0 = static_cast<std::uint8_t>(utf8[i]);
    if (b0 < 0x80) {
      out.push_back(b0);
      ++i;
      continue;
    }
    int extra;
    char32_t cp;
    char32_t min;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      extra = 1; cp = b0 & 0x1F; min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      extra = 2; cp = b0 & 0x0F; min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      extra = 3; cp = b0 & 0x07; min = 0x10000;
    } else {
      out.push_back(static_cast<char16_t>(kReplacement));
      ++i;
      continue;
    }
    size_t j = i + 1;
    int k = 0;
    for (; k < extra && j < n; ++k, ++j) {
      const auto b = static_cast<std::uint8_t>(utf8[j]);
      if ((b & 0xC0) != 0x80) break;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (k != extra || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      // Replace the maximal bad prefix with one U+FFFD and resume after it.
      out.push_back(static_cast<char16_t>(kReplacement));
      i = (j > i + 1) ? j : i + 1;
      continue;
    }
    AppendUtf16(&out, cp);
    i = j;
  }
  return out;
}

std::string U16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) AppendUtf8(&out, NextCodePoint(text, &i));
  return out;
}

std::u16string WideToU16(const wchar_t* wide) {
  if (wide == nullptr) return std::u16string();
  return WideToU16(std::wstring_view(wide));
}

std::u16string WideToU16(std::wstring_view wide) {
  std::u16string out;
  out.reserve(wide.size());
  for (const wchar_t w : wide) {
    if constexpr (sizeof(wchar_t) == 2) {
      out.push_back(static_cast<char16_t>(w));
    } else {
      AppendUtf16(&out, static_cast<char32_t>(static_cast<std::uint32_t>(w)));
    }
  }
  return out;
}

std::wstring U16ToWide(std::u16string_view text) {
  std::wstring out;
  out.reserve(text.size());
  if constexpr (sizeof(wchar_t) == 2) {
    for (const char16_t c : text) out.push_back(static_cast<wchar_t>(c));
  } else {
    size_t i = 0;
    while (i < text.size()) out.push_back(static_cast<wchar_t>(NextCodePoint(text, &i)));
  }
  return out;
}

std::u16string BytesToU16(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  for (const char c : bytes) out.push_back(static_cast<std::uint8_t>(c));
  return out;
}

std::string U16ToBytes(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char16_t c : text) out.push_back(static_cast<char>(c & 0xFF));
  return out;
}

std::u16string ReplaceAll(std::u16string text, std::u16string_view from,
                          std::u16string_view to) {
  if (from.empty()) return text;
  size_t pos = 0;
  while ((pos = text.find(from, pos)) != std::u16string::npos) {
    text.replace(pos, from.size(), to);
    pos += to.size();
  }
  return text;
}
