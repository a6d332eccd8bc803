#include "layout/index_record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Encode(uint64_t start, uint64_t end, const std::u16string& key) {
  std::vector<uint8_t> out(static_cast<size_t>(IndexRecordSize(key.size())));
  EncodeIndexRecord(start, end, key, out.data());
  return out;
}

void Put32(std::vector<uint8_t>* bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) (*bytes)[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

std::vector<uint8_t> Concat(const std::vector<std::vector<uint8_t>>& parts) {
  std::vector<uint8_t> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST(IndexRecordTest, EncodesByteForByte) {
  // A key of 18 characters gives a 68-byte record.
  const std::u16string key = u"$data$/a.txt_00001";
  ASSERT_EQ(key.size(), 18u);
  const std::vector<uint8_t> r = Encode(0x0102030405060708ull, 0x1112131415161718ull, key);
  ASSERT_EQ(r.size(), 68u);
  const uint8_t header[30] = {
      68, 0, 0, 0,  0, 0, 0, 0,
      0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,
      0x18, 0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11,
      36, 0, 0, 0,  0, 0};
  EXPECT_EQ(std::memcmp(r.data(), header, 30), 0);
  for (size_t i = 0; i < key.size(); ++i) {
    EXPECT_EQ(r[30 + 2 * i], static_cast<uint8_t>(key[i]));
    EXPECT_EQ(r[31 + 2 * i], 0);
  }
  EXPECT_EQ(r[66], 0);
  EXPECT_EQ(r[67], 0);
}

// The checksum is the standard CRC-32C, low byte first in the bytes that
// plain readers skip as reserved; 0 there accepts any bytes.
TEST(IndexRecordTest, ChecksumIsCrc32cInTheReservedBytesAtOffset4) {
  const std::string check = "123456789";
  const auto* data = reinterpret_cast<const uint8_t*>(check.data());
  ASSERT_EQ(ChunkChecksum(data, check.size()), 0xE3069283u);
  std::vector<uint8_t> r(static_cast<size_t>(IndexRecordSize(1)));
  EncodeIndexRecord(0, 8, u"k", r.data(), 0xE3069283u);
  EXPECT_EQ(std::vector<uint8_t>(r.begin() + 4, r.begin() + 8),
            (std::vector<uint8_t>{0x83, 0x92, 0x06, 0xE3}));
  IndexRecord out;
  ASSERT_EQ(DecodeIndexRecord(r.data(), static_cast<int32_t>(r.size()), 0, &out),
            IndexRecordStatus::kRecord);
  EXPECT_EQ(out.checksum, 0xE3069283u);
  EXPECT_TRUE(ChunkMatches(out.checksum, data, check.size()));
  EXPECT_FALSE(ChunkMatches(out.checksum, data, check.size() - 1));
  EXPECT_TRUE(ChunkMatches(0, data, check.size() - 1));
}

TEST(IndexRecordTest, KeysAreUtf16LittleEndian) {
  const std::vector<uint8_t> r = Encode(0, 0, u"\u20ac");
  EXPECT_EQ(r[30], 0xAC);
  EXPECT_EQ(r[31], 0x20);
  IndexRecord out;
  ASSERT_EQ(DecodeIndexRecord(r.data(), static_cast<int32_t>(r.size()), 0, &out),
            IndexRecordStatus::kRecord);
  EXPECT_EQ(out.key, u"\u20ac");
}

TEST(IndexRecordTest, ParsesWellFormedSequenceIncludingEmptyLastChunk) {
  const auto all = Concat({Encode(0, 1048575, u"$data$/a_00000"),
                           Encode(1048576, 1048575, u"$data$/a_00001")});
  int32_t positions[4] = {-1, -1, -1, -1};
  const IndexParseResult r =
      ParseIndexRecords(all.data(), static_cast<int32_t>(all.size()), positions, 4);
  EXPECT_TRUE(r.complete);
  EXPECT_EQ(r.count, 2);
  EXPECT_EQ(r.valid_bytes, static_cast<int32_t>(all.size()));
  EXPECT_EQ(positions[0], 0);
  EXPECT_EQ(positions[1], IndexRecordSize(14));
  IndexRecord second;
  ASSERT_EQ(DecodeIndexRecord(all.data(), r.valid_bytes, positions[1], &second),
            IndexRecordStatus::kRecord);
  EXPECT_EQ(second.ChunkLength(), 0u);
}

TEST(IndexRecordTest, ZeroLengthEndsSequenceLikeEndOfData) {
  auto all = Concat({Encode(0, 9, u"k0"), std::vector<uint8_t>(64, 0),
                     Encode(10, 19, u"k1")});
  int32_t positions[4];
  const IndexParseResult r =
      ParseIndexRecords(all.data(), static_cast<int32_t>(all.size()), positions, 4);
  EXPECT_TRUE(r.complete);
  EXPECT_EQ(r.count, 1);
}

// Each hostile shape stops the parse at the bad record and keeps the good
// ones before it.  Run under the address sanitizer, any read past the
// given bytes fails the test.
TEST(IndexRecordTest, StopsAtFirstMalformedRecord) {
  const auto good = Encode(0, 9, u"good");
  struct Case {
    const char* what;
    std::vector<uint8_t> bad;
  };
  std::vector<Case> cases;
  {
    auto b = Encode(10, 19, u"k");
    Put32(&b, 0, 31);
    cases.push_back({"length below 32", b});
  }
  {
    auto b = Encode(10, 19, u"key");
    Put32(&b, 0, static_cast<uint32_t>(b.size() + 2));
    cases.push_back({"length past the bytes used", b});
  }
  {
    auto b = Encode(10, 19, u"key");
    Put32(&b, 0, 0xFFFFFFFFu);
    cases.push_back({"length of 2^32 - 1", b});
  }
  {
    auto b = Encode(10, 19, u"key");
    b[b.size() - 2] = 'x';  // the zero character overwritten
    cases.push_back({"key without terminating zero", b});
  }
  cases.push_back({"empty key", Encode(10, 19, u"")});
  cases.push_back({"gap in offsets", Encode(11, 19, u"key")});
  cases.push_back({"overlapping offsets", Encode(5, 19, u"key")});
  cases.push_back({"end before start - 1", Encode(10, 8, u"key")});
  cases.push_back({"chunk beyond 2^31 - 1 bytes", Encode(10, 10 + 0x80000000ull, u"key")});
  cases.push_back({"three stray bytes", std::vector<uint8_t>{1, 2, 3}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto all = Concat({good, c.bad});
    // Copy into an exact-size heap block so that an overrun is caught.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[all.size()]);
    std::memcpy(exact.get(), all.data(), all.size());
    int32_t positions[3] = {-1, -1, -1};
    const IndexParseResult r =
        ParseIndexRecords(exact.get(), static_cast<int32_t>(all.size()), positions, 3);
    EXPECT_FALSE(r.complete);
    EXPECT_EQ(r.count, 1);
    EXPECT_EQ(r.valid_bytes, static_cast<int32_t>(good.size()));
  }
}

TEST(IndexRecordTest, NeverWritesPastTheTable) {
  std::vector<std::vector<uint8_t>> parts;
  for (int i = 0; i < 5; ++i) parts.push_back(Encode(i * 10, i * 10 + 9, u"k"));
  const auto all = Concat(parts);
  std::vector<int32_t> positions(3);
  const IndexParseResult r =
      ParseIndexRecords(all.data(), static_cast<int32_t>(all.size()), positions.data(), 3);
  EXPECT_EQ(r.count, 3);
  EXPECT_FALSE(r.complete);
  EXPECT_EQ(r.valid_bytes, 3 * IndexRecordSize(1));
}

TEST(IndexRecordTest, RandomBytesNeverEscapeTheBuffer) {
  std::mt19937 random(7);
  int32_t positions[64];
  for (int round = 0; round < 2000; ++round) {
    const size_t size = random() % 300;
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[size + 1]);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(random());
    // Plausible small lengths now and then, so that records get decoded.
    if (size >= 4 && round % 2 == 0) {
      bytes[0] = static_cast<uint8_t>(32 + random() % 64);
      bytes[1] = bytes[2] = bytes[3] = 0;
    }
    const IndexParseResult r =
        ParseIndexRecords(bytes.get(), static_cast<int32_t>(size), positions, 64);
    ASSERT_LE(r.valid_bytes, static_cast<int32_t>(size));
    ASSERT_LE(r.count, 64);
  }
}

}  // namespace
