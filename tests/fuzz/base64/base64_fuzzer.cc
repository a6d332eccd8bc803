// Base64 text from anywhere: decoding writes within the room the header
// asks the caller for, and whatever is encoded decodes back to itself.

#include <cstdint>
#include <cstring>
#include <vector>

#include "KeltoS3.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  CBase64 codec;
  const int length = static_cast<int>(size);

  // Room for 3 bytes per started group of 4 characters, and the zero.
  std::vector<unsigned char> decoded((size + 3) / 4 * 3 + 1);
  const int n = codec.DecodeBase64(reinterpret_cast<const char*>(data), decoded.data(), length);
  FUZZ_CHECK(n >= 0 && static_cast<size_t>(n) < decoded.size());
  FUZZ_CHECK(decoded[static_cast<size_t>(n)] == 0);

  // The first byte picks the line length; the rest is encoded.
  if (size == 0) return 0;
  const int line_length = static_cast<int>(data[0]) - 8;
  const unsigned char* source = data + 1;
  const size_t count = size - 1;
  const size_t groups = (count + 2) / 3;
  std::vector<char> text(groups * 4 + count / 3 * 2 + 1);
  const int written = codec.EncodeBase64(source, text.data(), static_cast<int>(count), line_length);
  FUZZ_CHECK(written >= 0 && static_cast<size_t>(written) < text.size());
  FUZZ_CHECK(text[static_cast<size_t>(written)] == '\0');

  std::vector<unsigned char> back((static_cast<size_t>(written) + 3) / 4 * 3 + 1);
  const int restored = codec.DecodeBase64(text.data(), back.data(), written);
  FUZZ_CHECK(static_cast<size_t>(restored) == count);
  FUZZ_CHECK(count == 0 || std::memcmp(back.data(), source, count) == 0);
  return 0;
}
