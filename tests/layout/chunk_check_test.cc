#include "layout/chunk_check.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const uint8_t* Bytes(const std::string& text) {
  return reinterpret_cast<const uint8_t*>(text.data());
}

// The MD5 of "hello" is 5d41402abc4b2a76b9719d911017c592.
TEST(ChunkCheckTest, OnlyAPlainMd5ETagIsChecked) {
  const std::string hello = "hello";
  for (const char16_t* named : {u"\"5d41402abc4b2a76b9719d911017c592\"",
                                u"5D41402ABC4B2A76B9719D911017C592"}) {
    EXPECT_FALSE(ETagContradicts(named, Bytes(hello), 5));
    EXPECT_TRUE(ETagContradicts(named, Bytes("hellO"), 5));
  }
  for (const char16_t* other : {u"\"5d41402abc4b2a76b9719d911017c592-2\"",
                                u"W/\"5d41402abc4b2a76b9719d911017c591\"",
                                u"\"5d41402abc4b2a76b9719d911017c59\"", u""}) {
    EXPECT_FALSE(ETagContradicts(other, Bytes("anything"), 8));
  }

  // A recorded checksum decides; without one, the ETag does.
  IndexRecord record;
  record.start = 0;
  record.end = 4;
  const std::u16string tag = u"\"5d41402abc4b2a76b9719d911017c592\"";
  EXPECT_EQ(CheckChunk(record, Bytes(hello), 5, tag), ChunkFault::kNone);
  EXPECT_EQ(CheckChunk(record, Bytes("hellO"), 5, tag), ChunkFault::kETag);
  EXPECT_EQ(CheckChunk(record, Bytes(hello), 4, tag), ChunkFault::kLength);
  record.checksum = ChunkChecksum(Bytes("hellO"), 5);
  EXPECT_EQ(CheckChunk(record, Bytes("hellO"), 5, tag), ChunkFault::kNone);
  EXPECT_EQ(CheckChunk(record, Bytes(hello), 5, tag), ChunkFault::kChecksum);
}

}  // namespace
