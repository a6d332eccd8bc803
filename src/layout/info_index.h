// CS3InfoIndex: the in-memory index of one stored version, the list of its
// chunks in the byte format of layout/index_record.h.
//
// A file object owns one.  While a version is written, Append adds one
// record per chunk and Store writes the collected records as the version's
// index object.  When a version is read, Load fetches its index object and
// rebuilds the table of records, and the cursor walks the records one chunk
// at a time.
//
// The record buffer starts at 1 MiB and grows in steps of 1 MiB; bytes
// beyond those used are never read.  The table holds the byte offset of each record in the buffer (not
// a pointer, so growing the buffer never invalidates it) for at most 99999
// records, the most chunks one version may have.
//
// An index object read from the store is checked record by record (see
// ParseIndexRecords) and must be whole: when a record is malformed (an
// object cut short in the middle of a record, or garbage after the last
// one), or the object's bytes contradict the ETag the server gave them (an
// object cut short at a record's end still parses; see
// layout/chunk_check.h), no record is kept, so the version reads as one
// whose chunks cannot be fetched rather than as a shorter file.
//
// Thread safety: none; used by one thread at a time.

#ifndef KELTOS3_SRC_LAYOUT_INFO_INDEX_H_
#define KELTOS3_SRC_LAYOUT_INFO_INDEX_H_

#include <cstdint>
#include <memory>
#include <string>

#include "layout/index_record.h"

class CS3InfoIndex {
 public:
  // Initial size of the record buffer and the step it grows by.
  static constexpr int32_t kBufferStep = 1048576;
  // Entries of the record table: chunk numbers 00000 to 99998.
  static constexpr int32_t kMaxRecords = 99999;

  // The most bytes the index object `index_key` can hold: kMaxRecords
  // records, each naming a chunk key of its path, which is at most one
  // character longer than the index key ("_Info" against "_%05d"; a
  // version's stamp only lengthens the index key).  Capped below 2^31.
  static uint32_t MaxObjectBytes(const std::u16string& index_key);

  // Reads both bucket names from the settings; the stamp is the current
  // RFC 1123 date text.  (The snapshot-assisted layout keeps one version
  // per path and has no stamp: it is empty there and Store ignores it.)
  CS3InfoIndex();
  // With the given names and stamp; reads no settings.
  CS3InfoIndex(const std::u16string& bucket, const std::u16string& data_bucket,
               const std::u16string& stamp);
  CS3InfoIndex(const CS3InfoIndex&) = delete;
  CS3InfoIndex& operator=(const CS3InfoIndex&) = delete;
  ~CS3InfoIndex();

  // Back to an empty, unloaded index with a 1 MiB buffer (a grown one is
  // replaced): count, used, cursor and the loaded flag become 0.  The index
  // key, the bucket names and the stamp stay.
  void Reset();

  // Adds the record (start, end, key, checksum) after the bytes used,
  // growing the buffer as needed, and moves the cursor past it.  The count
  // and the table are left as they are (Load rebuilds them).  Returns false,
  // changing nothing, when the record would take the buffer past 2^31 - 1
  // bytes.
  bool Append(uint64_t start, uint64_t end, const std::u16string& key,
              uint32_t checksum = 0);

  // Stores `index_key` as the index key, lists the backup bucket with it as
  // prefix and, when the first page holds a key, fetches the object and
  // reads it with LoadFromBytes (an object whose bytes contradict its ETag
  // as an empty one).  Returns true when an index was loaded (which holds
  // no record when the fetch failed or the object is damaged; see Count),
  // false when no object was listed (the index stays unloaded).  *fetched,
  // when given, tells whether the object itself was received whole.
  bool Load(const std::u16string& index_key, bool* fetched = nullptr);

  // Load without the listing, for an index object the caller has just seen
  // listed: always an index loaded (without records when the fetch failed,
  // as when the object vanished since it was listed).
  void LoadListed(const std::u16string& index_key, bool* fetched = nullptr);

  // Stores `index_key` as the index key without looking for the object: for
  // a version that is only written.
  void SetIndexKey(const std::u16string& index_key) { m_strIndexKey = index_key; }

  // The second half of Load: replaces the content by data[0, length),
  // rebuilds the table from it, sets the cursor to 0 and the loaded flag.
  // A null `data` or a length <= 0 gives a loaded index without records,
  // and so do bytes that are not a whole index object (IsWhole is then
  // false).
  void LoadFromBytes(const uint8_t* data, int32_t length);

  // After a load: false when the object was not fetched, or its bytes were
  // not a whole index object.
  bool IsWhole() const { return m_bWhole; }

  // Replaces the index key by the versioned key (index key without "_Info",
  // "_", stamp, "_Info") and stores the bytes used under it in the backup
  // bucket.  Returns true when the store succeeded.  The snapshot-assisted
  // layout stores under the index key itself, replacing what is stored there.
  bool Store();

  // Record i of a loaded index.  Returns false for i outside [0, Count()).
  bool Record(int32_t i, IndexRecord* out) const;

  // The record at the cursor.  Returns false when there is none.
  bool CurrentRecord(IndexRecord* out) const;

  // Moves the cursor past the current record.  Returns true when that
  // reached the end of the index (or there was no record at the cursor, in
  // which case the cursor stays).
  bool Advance();

  // Puts the cursor on record i.  Returns false, leaving the cursor, for i
  // outside [0, Count()).
  bool SetCursor(int32_t i);

  int32_t Count() const { return m_iCount; }
  int32_t Capacity() const { return m_iCapacity; }
  int32_t Used() const { return m_iUsed; }
  int32_t Cursor() const { return m_iCursor; }
  bool IsLoaded() const { return m_iLoaded != 0; }
  // The bytes used, as Store writes them.
  const uint8_t* Data() const { return m_pBuffer.get(); }

  const std::u16string& IndexKey() const { return m_strIndexKey; }
  const std::u16string& Bucket() const { return m_strBucket; }
  const std::u16string& DataBucket() const { return m_strDataBucket; }
  const std::u16string& Stamp() const { return m_strStamp; }
  void SetStamp(const std::u16string& stamp) { m_strStamp = stamp; }
  void SetBucket(const std::u16string& bucket) { m_strBucket = bucket; }
  void SetDataBucket(const std::u16string& bucket) { m_strDataBucket = bucket; }

 private:
  // Makes the buffer hold at least `needed` bytes, keeping the bytes used.
  // Returns false when `needed` is beyond 2^31 - 1.
  bool Reserve(int64_t needed);

  std::unique_ptr<uint8_t[]> m_pBuffer;   // record buffer
  std::unique_ptr<int32_t[]> m_pRecords;  // byte offset of record i
  int32_t m_iCount = 0;
  int32_t m_iCapacity = 0;
  int32_t m_iUsed = 0;
  int32_t m_iCursor = 0;                  // byte offset of the next record
  int32_t m_iLoaded = 0;
  bool m_bWhole = false;                  // the last load read a whole object
  std::u16string m_strIndexKey;
  std::u16string m_strBucket;             // index objects
  std::u16string m_strDataBucket;         // chunks
  std::u16string m_strStamp;
};

#endif  // KELTOS3_SRC_LAYOUT_INFO_INDEX_H_
