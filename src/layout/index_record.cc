#include "layout/index_record.h"

#include <cryptopp/crc.h>

#include <limits>

namespace {

void PutLittleEndian(uint64_t value, int bytes, uint8_t* out) {
  for (int i = 0; i < bytes; ++i) {
    out[i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

uint64_t GetLittleEndian(const uint8_t* in, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) {
    value |= static_cast<uint64_t>(in[i]) << (8 * i);
  }
  return value;
}

constexpr uint64_t kLargestChunk =
    static_cast<uint64_t>(std::numeric_limits<int32_t>::max());

}  // namespace

int64_t IndexRecordSize(size_t key_length) {
  constexpr size_t kMaxKey =
      (static_cast<size_t>(std::numeric_limits<int32_t>::max()) -
       kIndexRecordMinimumSize) / 2;
  if (key_length > kMaxKey) return -1;
  return kIndexRecordMinimumSize + 2 * static_cast<int64_t>(key_length);
}

uint32_t ChunkChecksum(const uint8_t* data, size_t length) {
  CryptoPP::CRC32C crc;
  if (length > 0) crc.Update(data, length);
  CryptoPP::byte digest[CryptoPP::CRC32C::DIGESTSIZE];
  crc.Final(digest);
  // Crypto++ hands the value out low byte first.
  return static_cast<uint32_t>(GetLittleEndian(digest, 4));
}

bool ChunkMatches(uint32_t checksum, const uint8_t* data, size_t length) {
  return checksum == 0 || ChunkChecksum(data, length) == checksum;
}

void EncodeIndexRecord(uint64_t start, uint64_t end, const std::u16string& key,
                       uint8_t* out, uint32_t checksum) {
  const int64_t length = IndexRecordSize(key.size());
  PutLittleEndian(static_cast<uint64_t>(length), 4, out);
  PutLittleEndian(checksum, 4, out + 4);
  PutLittleEndian(start, 8, out + 8);
  PutLittleEndian(end, 8, out + 16);
  PutLittleEndian(2 * static_cast<uint64_t>(key.size()), 4, out + 24);
  PutLittleEndian(0, 2, out + 28);
  uint8_t* p = out + kIndexRecordHeaderSize;
  for (const char16_t c : key) {
    PutLittleEndian(c, 2, p);
    p += 2;
  }
  PutLittleEndian(0, 2, p);
}

IndexRecordStatus DecodeIndexRecord(const uint8_t* data, int32_t used,
                                    int32_t offset, IndexRecord* out) {
  if (data == nullptr || used <= 0 || offset < 0 || offset >= used) {
    return IndexRecordStatus::kEnd;
  }
  const int64_t left = static_cast<int64_t>(used) - offset;
  if (left < 4) return IndexRecordStatus::kMalformed;
  const uint8_t* record = data + offset;
  const uint64_t length = GetLittleEndian(record, 4);
  if (length == 0) return IndexRecordStatus::kEnd;
  if (length < static_cast<uint64_t>(kIndexRecordMinimumSize) ||
      length > static_cast<uint64_t>(left)) {
    return IndexRecordStatus::kMalformed;
  }
  // The key runs from byte 30 up to a zero character that must lie within
  // the record.
  std::u16string key;
  bool terminated = false;
  for (uint64_t at = kIndexRecordHeaderSize; at + 2 <= length; at += 2) {
    const char16_t c = static_cast<char16_t>(GetLittleEndian(record + at, 2));
    if (c == 0) {
      terminated = true;
      break;
    }
    key.push_back(c);
  }
  if (!terminated || key.empty()) return IndexRecordStatus::kMalformed;
  out->checksum = static_cast<uint32_t>(GetLittleEndian(record + 4, 4));
  out->start = GetLittleEndian(record + 8, 8);
  out->end = GetLittleEndian(record + 16, 8);
  out->key = std::move(key);
  out->record_length = static_cast<int32_t>(length);
  return IndexRecordStatus::kRecord;
}

IndexParseResult ParseIndexRecords(const uint8_t* data, int32_t used,
                                   int32_t* positions, int32_t max_records) {
  IndexParseResult result;
  int32_t offset = 0;
  uint64_t next_start = 0;
  while (true) {
    IndexRecord record;
    const IndexRecordStatus status = DecodeIndexRecord(data, used, offset, &record);
    if (status == IndexRecordStatus::kEnd) {
      result.complete = true;
      break;
    }
    if (status == IndexRecordStatus::kMalformed) break;
    // Records must tile the file from byte 0 without gaps or overlaps, each
    // holding a length a single object body can have.
    if (record.start != next_start || record.ChunkLength() > kLargestChunk) break;
    if (result.count >= max_records) break;
    positions[result.count++] = offset;
    offset += record.record_length;
    result.valid_bytes = offset;
    next_start = record.end + 1;
  }
  return result;
}
