#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "KeltoS3.h"

namespace {

std::string Encode(const std::string& bytes, int line_length) {
  // 4 per started group, 2 per possible line break (one per group at most),
  // the terminator.
  std::vector<char> out((bytes.size() / 3 + 1) * 6 + 1, '#');
  CBase64 codec;
  const int n = codec.EncodeBase64(reinterpret_cast<const unsigned char*>(bytes.data()),
                                   out.data(), static_cast<int>(bytes.size()), line_length);
  EXPECT_EQ(out[static_cast<size_t>(n)], '\0');
  return std::string(out.data(), static_cast<size_t>(n));
}

// Decodes text placed at the very end of its own heap block, so that any
// read past source_length trips the address sanitizer.
std::string Decode(const std::string& text) {
  std::unique_ptr<char[]> source(new char[text.size() + 1]);
  char* start = source.get() + 1;  // one spare byte in front, none behind
  std::memcpy(start, text.data(), text.size());
  std::vector<unsigned char> out((text.size() / 4 + 1) * 3 + 1, 0xEE);
  CBase64 codec;
  const int n = codec.DecodeBase64(start, out.data(), static_cast<int>(text.size()));
  EXPECT_EQ(out[static_cast<size_t>(n)], 0) << text;
  return std::string(reinterpret_cast<const char*>(out.data()), static_cast<size_t>(n));
}

TEST(Base64Test, EncodesTheKnownVectors) {
  EXPECT_EQ(Encode("", 100), "");
  EXPECT_EQ(Encode("a", 100), "YQ==");
  EXPECT_EQ(Encode("ab", 100), "YWI=");
  EXPECT_EQ(Encode("abc", 100), "YWJj");
  EXPECT_EQ(Encode("foobar", 100), "Zm9vYmFy");
  EXPECT_EQ(Encode(std::string("\xFF\xFE\x00\x01", 4), 100), "//4AAQ==");
  // A 20-byte digest with line length 100: 28 characters, no break.
  EXPECT_EQ(Encode(std::string(20, '\x5A'), 100).size(), 28u);
}

TEST(Base64Test, BreaksLinesAfterFullLines) {
  const std::string bytes75(75, 'x');
  const std::string line = Encode(bytes75, 1000);
  ASSERT_EQ(line.size(), 100u);
  EXPECT_EQ(Encode(bytes75, 100), line + "\r\n");
  EXPECT_EQ(Encode(bytes75 + "t", 100), line + "\r\ndA==");
  // A line length below 4 breaks after every group; extreme lengths are
  // handled without overflow.
  EXPECT_EQ(Encode("abcabc", 0), "YWJj\r\nYWJj\r\n");
  EXPECT_EQ(Encode("abcabc", -2147483647 - 1), "YWJj\r\nYWJj\r\n");
  EXPECT_EQ(Encode("abcabc", 2147483647), "YWJjYWJj");
  // Nothing to encode: the terminator alone.
  char out[4] = {'#', '#', '#', '#'};
  CBase64 codec;
  EXPECT_EQ(codec.EncodeBase64(nullptr, out, 5, 100), 0);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(codec.EncodeBase64(reinterpret_cast<const unsigned char*>("abc"), nullptr, 3, 100), 0);
}

TEST(Base64Test, DecodesWhatItEncodes) {
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    std::string bytes(static_cast<size_t>(random() % 300), '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    const int line_length = 4 * static_cast<int>(1 + random() % 30);
    EXPECT_EQ(Decode(Encode(bytes, line_length)), bytes);
  }
  // Line breaks between groups do not change the result.
  EXPECT_EQ(Decode("YWJj\r\nYWJj\r\nYQ=="), "abcabca");
  EXPECT_EQ(Decode("\nYWJj\r\r\nYWI="), "abcab");
}

TEST(Base64Test, DecodingNeverReadsBeyondTheSourceLength) {
  // Unpadded last groups read as if padded; a single last character
  // carries no byte.
  EXPECT_EQ(Decode("YWJjYQ"), "abca");
  EXPECT_EQ(Decode("YWJjYWI"), "abcab");
  EXPECT_EQ(Decode("YWJjY"), "abc");
  EXPECT_EQ(Decode("Y"), "");
  EXPECT_EQ(Decode("YWJj\r"), "abc");
  EXPECT_EQ(Decode("YWJj\r\nYQ"), "abca");
  // Every length of every prefix of a text, ending at the block's end.
  const std::string text = "TWFu\r\nIGlz\r\nIGRp=c3Rp";
  for (size_t n = 0; n <= text.size(); ++n) Decode(text.substr(0, n));
  // The source pointer itself is only read within source_length.
  unsigned char out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  CBase64 codec;
  EXPECT_EQ(codec.DecodeBase64(nullptr, out, 8), 0);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(codec.DecodeBase64("YWJj", out, -4), 0);
}

TEST(Base64Test, CharactersOutsideTheAlphabetCountAsZero) {
  EXPECT_EQ(Decode("A*A="), std::string("\x00\x00", 2));
  EXPECT_EQ(Decode("//=="), "\xFF");
  EXPECT_EQ(Decode("==AA"), std::string("\x00\x00\x00", 3));
}

}  // namespace
