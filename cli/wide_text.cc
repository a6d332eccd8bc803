#include "wide_text.h"

namespace cli {

std::wstring Utf8ToWide(const std::string& text) {
  std::wstring out;
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    int extra;
    char32_t c;
    if (lead < 0x80) {
      out.push_back(static_cast<wchar_t>(lead));
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1;
      c = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2;
      c = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3;
      c = lead & 0x07;
    } else {
      out.push_back(L'\uFFFD');
      ++i;
      continue;
    }
    size_t j = i + 1;
    for (int k = 0; k < extra; ++k, ++j) {
      if (j >= n || (static_cast<unsigned char>(text[j]) & 0xC0) != 0x80) break;
      c = (c << 6) | (static_cast<unsigned char>(text[j]) & 0x3F);
    }
    const bool complete = j == i + 1 + static_cast<size_t>(extra);
    static const char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (!complete || c < kSmallest[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      out.push_back(L'\uFFFD');
      i = complete ? j : (j > i + 1 ? j : i + 1);
      continue;
    }
    out.push_back(static_cast<wchar_t>(c));
    i = j;
  }
  return out;
}

std::string WideToUtf8(const std::wstring& text) {
  std::string out;
  for (const wchar_t w : text) {
    char32_t c = static_cast<char32_t>(w);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

}  // namespace cli
