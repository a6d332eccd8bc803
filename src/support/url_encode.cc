#include "support/url_encode.h"

#include "common/wide_string.h"

std::u16string EncodeKeyForUrl(const std::u16string& text) {
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  std::u16string out;
  if (text.empty()) return out;
  const std::string bytes = U16ToUtf8(text);
  out.reserve(bytes.size() * 3);
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if ((b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9')) {
      out.push_back(static_cast<char16_t>(b));
    } else {
      out.push_back(u'%');
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 0x0F]);
    }
  }
  return out;
}
