// Text conversions at the edges (answers and INI files in UTF-8, keys in
// URLs, host strings as wchar_t): malformed input becomes U+FFFD, never a
// crash, and well-formed text converts back to itself.

#include <cstdint>
#include <cstring>
#include <string>

#include "common/wide_string.h"
#include "fuzz/fuzz_support.h"
#include "layout/object_keys.h"
#include "support/url_encode.h"

namespace {

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

bool IsAsciiAlphanumeric(char16_t c) {
  return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9');
}

// The bytes a percent-encoded text stands for; false when it is not one.
bool PercentDecode(const std::u16string& encoded, std::string* bytes) {
  for (size_t i = 0; i < encoded.size(); ++i) {
    if (IsAsciiAlphanumeric(encoded[i])) {
      bytes->push_back(static_cast<char>(encoded[i]));
      continue;
    }
    if (encoded[i] != u'%' || i + 2 >= encoded.size()) return false;
    const int high = HexValue(encoded[i + 1]);
    const int low = HexValue(encoded[i + 2]);
    if (high < 0 || low < 0) return false;
    const char byte = static_cast<char>(high * 16 + low);
    if (IsAsciiAlphanumeric(static_cast<unsigned char>(byte))) return false;
    bytes->push_back(byte);
    i += 2;
  }
  return true;
}

bool HasLoneSurrogate(const std::u16string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        ++i;
        continue;
      }
      return true;
    }
    if (c >= 0xDC00 && c <= 0xDFFF) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  // UTF-8 in: one round settles it, and text without a replacement
  // character was well-formed and comes back byte for byte.
  const std::u16string text = Utf8ToU16(bytes);
  const std::string utf8 = U16ToUtf8(text);
  FUZZ_CHECK(Utf8ToU16(utf8) == text);
  if (text.find(u'\uFFFD') == std::u16string::npos) FUZZ_CHECK(utf8 == bytes);

  // UTF-16 in: the same bytes read as code units.
  std::u16string units(size / 2, u'\0');
  std::memcpy(units.data(), data, units.size() * 2);
  const std::u16string units_back = Utf8ToU16(U16ToUtf8(units));
  if (!HasLoneSurrogate(units)) FUZZ_CHECK(units_back == units);
  FUZZ_CHECK(U16ToWide(units).size() <= units.size());
  FUZZ_CHECK(WideToU16(U16ToWide(units)) == units_back);

  // One byte per character, both ways.
  FUZZ_CHECK(U16ToBytes(BytesToU16(bytes)) == bytes);

  // Keys as they go into a request path.
  const std::u16string encoded = EncodeKeyForUrl(units);
  std::string encoded_bytes;
  FUZZ_CHECK(PercentDecode(encoded, &encoded_bytes));
  FUZZ_CHECK(encoded_bytes == U16ToUtf8(units));

  const std::u16string file_key = FileKeyOf(units);
  FUZZ_CHECK(file_key.find(u'\\') == std::u16string::npos);
  const std::u16string chunk = ChunkKeyOf(file_key, NewChunkToken(0), static_cast<std::int32_t>(size));
  FUZZ_CHECK(size > 99999 || IsChunkKeyOf(chunk, file_key));
  FolderMarkerKeyOf(units);
  ParentDirectoryOf(units);
  return 0;
}
