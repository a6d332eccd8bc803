// CBase64, declared in the public header.
//
// Decoding reads at most source_length characters.  A last group that the
// end of the text cuts short decodes as if its missing characters were "="
// padding, so unpadded text decodes like padded text; a last group of a
// single character carries no whole byte and yields nothing.

#include <climits>
#include <cstddef>
#include <cstdint>

#include "KeltoS3.h"

namespace {

constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The 6-bit value of an alphabet character; any other character counts as 0.
unsigned SextetOf(char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned>(c - 'A');
  if (c >= 'a' && c <= 'z') return static_cast<unsigned>(c - 'a' + 26);
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0' + 52);
  if (c == '+') return 62;
  if (c == '/') return 63;
  return 0;
}

int ClampToInt(size_t n) {
  return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

}  // namespace

CBase64::CBase64() = default;
CBase64::CBase64(const CBase64&) = default;
CBase64& CBase64::operator=(const CBase64&) = default;
CBase64::~CBase64() = default;

int CBase64::EncodeBase64(const unsigned char* source, char* destination,
                          int source_length, int line_length) {
  if (destination == nullptr) return 0;
  if (source == nullptr || source_length <= 0) {
    destination[0] = '\0';
    return 0;
  }
  const size_t n = static_cast<size_t>(source_length);
  // 64-bit so that an extreme line length cannot overflow.
  const std::int64_t line_limit = static_cast<std::int64_t>(line_length) - 4;
  std::int64_t on_line = 0;
  size_t out = 0;
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const unsigned b0 = source[i], b1 = source[i + 1], b2 = source[i + 2];
    destination[out++] = kAlphabet[b0 >> 2];
    destination[out++] = kAlphabet[((b0 & 0x03) << 4) | (b1 >> 4)];
    destination[out++] = kAlphabet[((b1 & 0x0F) << 2) | (b2 >> 6)];
    destination[out++] = kAlphabet[b2 & 0x3F];
    on_line += 4;
    if (on_line > line_limit) {
      destination[out++] = '\r';
      destination[out++] = '\n';
      on_line = 0;
    }
  }
  if (n - i == 1) {
    const unsigned b0 = source[i];
    destination[out++] = kAlphabet[b0 >> 2];
    destination[out++] = kAlphabet[(b0 & 0x03) << 4];
    destination[out++] = '=';
    destination[out++] = '=';
  } else if (n - i == 2) {
    const unsigned b0 = source[i], b1 = source[i + 1];
    destination[out++] = kAlphabet[b0 >> 2];
    destination[out++] = kAlphabet[((b0 & 0x03) << 4) | (b1 >> 4)];
    destination[out++] = kAlphabet[(b1 & 0x0F) << 2];
    destination[out++] = '=';
  }
  destination[out] = '\0';
  return ClampToInt(out);
}

int CBase64::DecodeBase64(const char* source, unsigned char* destination,
                          int source_length) {
  if (destination == nullptr) return 0;
  if (source == nullptr || source_length <= 0) {
    destination[0] = 0;
    return 0;
  }
  const size_t n = static_cast<size_t>(source_length);
  size_t i = 0;
  size_t out = 0;
  while (i < n) {
    if (source[i] == '\r' || source[i] == '\n') {
      ++i;
      continue;
    }
    char group[4] = {'=', '=', '=', '='};
    const size_t have = n - i < 4 ? n - i : 4;
    for (size_t k = 0; k < have; ++k) group[k] = source[i + k];
    i += have;
    if (have == 1) break;
    const unsigned c0 = SextetOf(group[0]), c1 = SextetOf(group[1]);
    const unsigned c2 = SextetOf(group[2]), c3 = SextetOf(group[3]);
    destination[out++] = static_cast<unsigned char>((c0 << 2) | (c1 >> 4));
    if (group[2] == '=') continue;
    destination[out++] = static_cast<unsigned char>(((c1 & 0x0F) << 4) | (c2 >> 2));
    if (group[3] == '=') continue;
    destination[out++] = static_cast<unsigned char>(((c2 & 0x03) << 6) | c3);
  }
  destination[out] = 0;
  return ClampToInt(out);
}
