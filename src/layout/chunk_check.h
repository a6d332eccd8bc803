// Checking the bytes of a fetched chunk or index object against what the
// store says they should be.
//
// A chunk is checked by its length and, where its index record holds one,
// its CRC-32C (layout/index_record.h).  A chunk recorded without one (stored
// before checksums were written, or whose checksum happens to be 0) and an
// index object, which has no checksum of its own, are checked by the ETag of
// the answer instead: every object is stored with one single-part PUT, so
// its ETag is the MD5 of the bytes the server holds, and bytes that do not
// match it were damaged on the server or on the way.  Only an ETag of that
// plain form (32 hexadecimal digits, in quotes or not) is checked; other
// forms (a multipart upload's "-N" suffix, a weak "W/" tag, a server that
// sends none) are accepted unchecked.
//
// Everything here is total: any text and any bytes give a defined answer.

#ifndef KELTOS3_SRC_LAYOUT_CHUNK_CHECK_H_
#define KELTOS3_SRC_LAYOUT_CHUNK_CHECK_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "layout/index_record.h"

// True when `etag` is a plain MD5 tag and data[0, length) has another MD5.
bool ETagContradicts(const std::u16string& etag, const uint8_t* data, size_t length);

// True when `etag` is a plain MD5 tag naming the MD5 of data[0, length):
// the server answering a PUT of those bytes says it holds exactly them.
bool ETagConfirms(const std::u16string& etag, const uint8_t* data, size_t length);

// What is wrong with a fetched chunk.
enum class ChunkFault {
  kNone,      // the bytes are the chunk's
  kLength,    // another number of bytes than the record covers
  kChecksum,  // not the CRC-32C the record holds
  kETag,      // recorded without a checksum, and not the MD5 the ETag names
};

// Checks data[0, length), fetched for `record` with the answer's `etag`.
ChunkFault CheckChunk(const IndexRecord& record, const uint8_t* data, int32_t length,
                      const std::u16string& etag);

// A few words for a fault ("CRC-32C mismatch"), for reports.
const char* ChunkFaultText(ChunkFault fault);

#endif  // KELTOS3_SRC_LAYOUT_CHUNK_CHECK_H_
