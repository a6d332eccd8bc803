#include "settings/ini.h"

#include <algorithm>

#include "platform/profile.h"

namespace {

constexpr char16_t kScrambleKey[] = u"Ab4Moon2Is9Bright3";
constexpr int kScrambleKeyLength = sizeof(kScrambleKey) / sizeof(char16_t) - 1;

// Value of a hexadecimal digit, or -1.
int HexDigitValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

}  // namespace

CIni::CIni() = default;
CIni::~CIni() = default;

void CIni::SetPathName(const char16_t* path) {
  if (path == nullptr) {
    if (m_strPathName.has_value()) m_strPathName->clear();
    return;
  }
  m_strPathName = std::u16string(path);
}

std::u16string CIni::GetPathName() const {
  return m_strPathName.value_or(std::u16string());
}

std::u16string CIni::GetString(const char16_t* section, const char16_t* key,
                               const char16_t* def) const {
  const std::u16string fallback = def != nullptr ? def : u"";
  if (section == nullptr || key == nullptr || !m_strPathName.has_value()) {
    return fallback;
  }
  // The value is read whole in one pass instead of with a growing buffer:
  // the result is the same and a long value is read once, not once per
  // 512 characters of it.
  std::u16string value;
  platform::ReadProfileValue(section, key, fallback, *m_strPathName, &value);
  return value;
}

uint32_t CIni::GetHexBlock(const char16_t* section, const char16_t* key,
                           uint8_t* out, uint32_t out_length,
                           uint32_t offset) const {
  return DecodeHexBlock(GetString(section, key, nullptr), out, out_length, offset);
}

uint32_t CIni::DecodeHexBlock(const std::u16string& text, uint8_t* out,
                              uint32_t out_length, uint32_t offset) {
  const size_t pairs = text.size() / 2;
  if (offset >= pairs) return 0;
  for (const char16_t c : text) {
    if (HexDigitValue(c) < 0) return 0;
  }
  const size_t available = pairs - offset;
  if (out == nullptr) return static_cast<uint32_t>(std::min<size_t>(available, UINT32_MAX));
  const size_t n = std::min<size_t>(available, out_length);
  for (size_t i = 0; i < n; ++i) {
    const size_t at = 2 * (static_cast<size_t>(offset) + i);
    out[i] = static_cast<uint8_t>(HexDigitValue(text[at]) * 16 +
                                  HexDigitValue(text[at + 1]));
  }
  return static_cast<uint32_t>(n);
}

int CIni::ScrambleText(char16_t* chars, int count) {
  if (chars == nullptr) return 0;
  for (int j = 0; j < count; ++j) {
    chars[j] = static_cast<char16_t>(~(chars[j] ^ kScrambleKey[j % kScrambleKeyLength]));
  }
  return count;
}
