// The byte format of an index object: one record per chunk, in chunk order,
// with no header, count or trailer.  Integers are little-endian.
//
//   offset  size  field
//        0     4  record length L = 32 + 2n
//        4     4  CRC-32C of the chunk's bytes (0: not recorded)
//        8     8  start offset of the chunk in the file
//       16     8  end offset of the chunk, inclusive (start + length - 1)
//       24     4  key length in bytes, 2n (informational)
//       28     2  reserved (0)
//       30    2n  chunk key, UTF-16LE, n characters
//   30 + 2n    2  zero character
//
// A record length of 0 ends the sequence as the end of the data does.
//
// The checksum sits in bytes that readers of the plain layout ignore as
// reserved, so an index object with checksums reads everywhere, and an index
// object stored before checksums were written (0 there) reads unchecked.  A
// chunk whose CRC-32C happens to be 0 is recorded with 0 as well, and so
// also reads unchecked: one chunk in 2^32, and the empty chunk (whose length
// alone says all there is to check).
//
// Index objects arrive over the network, so the reader trusts nothing: it
// accepts a record only when it lies wholly inside the bytes given, its
// length is at least 32, its key is non-empty and ends with a zero
// character inside the record, its start offset continues the previous
// record (0 for the first) and its chunk length fits a 32-bit signed body
// length.  Reading stops at the first record that fails, and only the
// records before it are used.

#ifndef KELTOS3_SRC_LAYOUT_INDEX_RECORD_H_
#define KELTOS3_SRC_LAYOUT_INDEX_RECORD_H_

#include <cstdint>
#include <string>

// Bytes of a record before its key.
constexpr int32_t kIndexRecordHeaderSize = 30;
// Smallest record: the header and the zero character of an empty key.
constexpr int32_t kIndexRecordMinimumSize = 32;

// One decoded record.
struct IndexRecord {
  uint32_t checksum = 0;    // CRC-32C of the chunk; 0 when not recorded
  uint64_t start = 0;
  uint64_t end = 0;         // inclusive; start - 1 for an empty chunk
  std::u16string key;       // the chunk key, up to its zero character
  int32_t record_length = 0;

  // end - start + 1, the number of bytes the chunk holds (modulo 2^64).
  uint64_t ChunkLength() const { return end + 1 - start; }
};

// Bytes the record of a key of `key_length` characters takes: 32 + 2n.
// Returns -1 when that does not fit a 32-bit signed length.
int64_t IndexRecordSize(size_t key_length);

// The CRC-32C (Castagnoli) of data[0, length), as a record holds it: the
// checksum of "123456789" is 0xE3069283.
uint32_t ChunkChecksum(const uint8_t* data, size_t length);

// True when `checksum`, read from a record, accepts data[0, length): it is 0
// (not recorded) or the data's CRC-32C.
bool ChunkMatches(uint32_t checksum, const uint8_t* data, size_t length);

// Writes the record (start, end, key, checksum) at `out`, which must hold
// IndexRecordSize(key.size()) bytes.  REQUIRES: that size is not -1.
void EncodeIndexRecord(uint64_t start, uint64_t end, const std::u16string& key,
                       uint8_t* out, uint32_t checksum = 0);

// How a record read at some offset turned out.
enum class IndexRecordStatus {
  kRecord,     // *out holds the record
  kEnd,        // a zero record length, or no bytes left
  kMalformed,  // the bytes there cannot be a record
};

// Reads the record that begins at `offset` of data[0, used).  Checks the
// record on its own (its bounds, its length and its key), not its place in
// the sequence.  Fills *out only for kRecord.
IndexRecordStatus DecodeIndexRecord(const uint8_t* data, int32_t used,
                                    int32_t offset, IndexRecord* out);

// The outcome of reading a whole index object.
struct IndexParseResult {
  int32_t count = 0;       // records accepted
  int32_t valid_bytes = 0; // bytes from 0 to the end of the last one
  bool complete = false;   // true when reading ended at the end of the
                           // data or a zero record length, false when it
                           // stopped at a malformed record or a full table
};

// Reads the records of data[0, used) in order, storing the byte offset of
// record i in positions[i] for at most `max_records` records (positions
// must hold that many), and checking that each record's start offset
// continues the previous one.  Never reads outside data[0, used) and never
// writes beyond positions[max_records - 1].
IndexParseResult ParseIndexRecords(const uint8_t* data, int32_t used,
                                   int32_t* positions, int32_t max_records);

#endif  // KELTOS3_SRC_LAYOUT_INDEX_RECORD_H_
