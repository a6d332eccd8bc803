#include "layout/chunk_check.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/md5.h>

namespace {

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// The 16 bytes a plain MD5 tag names; false for any other form.
bool PlainMd5(const std::u16string& etag, uint8_t digest[16]) {
  std::u16string_view text(etag);
  if (text.size() == 34 && text.front() == u'"' && text.back() == u'"') {
    text = text.substr(1, 32);
  }
  if (text.size() != 32) return false;
  for (size_t i = 0; i < 16; ++i) {
    const int high = HexValue(text[2 * i]);
    const int low = HexValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    digest[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return true;
}

// True when `named` is the MD5 of data[0, length).
bool SameMd5(const uint8_t named[16], const uint8_t* data, size_t length) {
  CryptoPP::Weak::MD5 md5;
  if (length > 0 && data != nullptr) md5.Update(data, length);
  uint8_t actual[CryptoPP::Weak::MD5::DIGESTSIZE];
  md5.Final(actual);
  for (size_t i = 0; i < 16; ++i) {
    if (named[i] != actual[i]) return false;
  }
  return true;
}

}  // namespace

bool ETagContradicts(const std::u16string& etag, const uint8_t* data, size_t length) {
  uint8_t named[16];
  return PlainMd5(etag, named) && !SameMd5(named, data, length);
}

bool ETagConfirms(const std::u16string& etag, const uint8_t* data, size_t length) {
  uint8_t named[16];
  return PlainMd5(etag, named) && SameMd5(named, data, length);
}

ChunkFault CheckChunk(const IndexRecord& record, const uint8_t* data, int32_t length,
                      const std::u16string& etag) {
  if (length < 0 || static_cast<uint64_t>(length) != record.ChunkLength()) {
    return ChunkFault::kLength;
  }
  const size_t size = static_cast<size_t>(length);
  if (record.checksum != 0) {
    return ChunkMatches(record.checksum, data, size) ? ChunkFault::kNone
                                                      : ChunkFault::kChecksum;
  }
  return ETagContradicts(etag, data, size) ? ChunkFault::kETag : ChunkFault::kNone;
}

const char* ChunkFaultText(ChunkFault fault) {
  switch (fault) {
    case ChunkFault::kNone:
      return "intact";
    case ChunkFault::kLength:
      return "wrong length";
    case ChunkFault::kChecksum:
      return "CRC-32C mismatch";
    case ChunkFault::kETag:
      return "MD5 does not match the ETag";
  }
  return "damaged";
}
