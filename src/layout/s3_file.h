// CS3File: the file object.  It stores one file in S3 as a byte stream and
// reads a stored version back, hiding the layout of layout/object_keys.h and
// layout/info_index.h.
//
// Writing cuts the stream into chunks of m_iBufferSize bytes ("QuexS3Buffer-
// Size"), uploads each chunk as soon as it fills (verified by a listing, up
// to 5 attempts) and, with the last Write, stores the version's index object.
// Every version written gets chunk keys of its own (a fresh chunk token,
// layout/object_keys.h), so storing a version never touches the chunks of
// another.  Reading loads the index object and fetches one chunk at a time,
// under the key its record names, checked by its length and its CRC-32C or,
// for a chunk recorded without one, the answer's ETag (layout/chunk_check.h).
// Memory
// stays bounded by one write chunk (the write buffer, which becomes the
// upload request's body while the chunk is sent), one read chunk (the
// download response's body) and the index, whatever the size of the file.
//
// States:
//   fresh        after creation and after Reset; Open moves on, Write is
//                refused, Read returns 0
//   writing      Open found no stored version (result 0); Write uploads
//   write failed a chunk upload failed: every Write is refused until the next
//                Open or Reset, so that no index object of an incomplete
//                version can be stored
//   reading      Open (1) or Seek loaded a chunk; Read and Seek work
//   read broken  a version was found but the chunk the position needs could
//                not be fetched; Read fails (-1, then the object is reset),
//                Seek may try again
// The last Write (and reading past the end, and a failed fetch inside Read)
// resets the object to fresh.  A Write in a reading state starts a new
// version of the opened name: the loaded index is dropped and chunk numbers
// start again at 0.
//
// Transfers.  With "Transfers" N > 1 (read at each Write and each chunk a
// Read needs), a stored file's chunks go up N at a time, each on a transfer
// thread of its own (support/transfer_job.h) and each verified: by the
// PUT's answer when it names the MD5 of every byte sent (a plain ETag), else
// by the listing a chunk sent alone gets; its record enters the index in chunk order when the chunk is
// handed over.  A failure of any chunk fails the store: the Write that finds
// it (at the latest the last one, which waits for every chunk before it
// stores the index object) returns 1, having waited for the others, and no
// index object is stored, so nothing of the failed store is listed.  A read
// that moves forward (Read) fetches up to N chunks ahead of the one it
// delivers from (the first Read after Open starts it, while the first chunk
// is delivered); a chunk fetched ahead is checked as one fetched alone, and
// a failed one fails the Read that reaches it.  An Open that
// finds a version neither lists nor writes its folder markers (they were
// written when it was stored); a Write after it does.  Seek keeps the
// chunks fetched ahead from its target on and drops the rest.  A store
// holds N chunk buffers at most (the next chunk fills while at most N - 1
// are in flight); a read at most N chunks in flight besides the one being
// read.  The threads
// end with the transfers: the last Write, the end of the read, Reset,
// Open, Seek past them and destruction wait for every transfer in flight.
// With N = 1 every request is sent in the caller's thread, in order.
//
// Buckets: the object starts with the buckets of the settings.  The S3 file
// system may set both names; from then on every request of the object (index
// load and store, chunk store and fetch, verification listings, folder
// markers) goes to the buckets set.
//
// Thread safety: none; one thread at a time.

#ifndef KELTOS3_SRC_LAYOUT_S3_FILE_H_
#define KELTOS3_SRC_LAYOUT_S3_FILE_H_

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "KeltoS3.h"
#include "layout/info_index.h"
#include "s3/request_kinds.h"
#include "s3/s3_message.h"
#include "support/event_reporter.h"
#include "support/transfer_job.h"

class CS3File final : public KS3File {
 public:
  // The chunk size used when the settings give 0 or less.
  static constexpr int32_t kDefaultBufferSize = 1048576;

  // Reads the buckets and the chunk size from the settings; the version
  // stamp is the RFC 1123 date text of this moment.  When a version of the
  // path already has that stamp as the last Write stores the index object
  // (two versions stored within one second), the object waits for the next
  // second that no version of the path has (at most a few seconds) and
  // names the version with it; when none is free the Write fails.  A stamp
  // set with SetVersionStamp is used as it is.  The snapshot-assisted
  // layout (common/layout_policy.h) has no stamp: a version is stored under
  // the index key of the path it was opened on, replacing the one stored
  // there, and a Write after an Open that found a version uses the chunk
  // size of the settings again; once the new version is stored, the chunks
  // of the one it replaced are removed (those an earlier build's other
  // index objects of the path may share excepted, layout/version_removal.h).
  CS3File();
  CS3File(const CS3File&) = delete;
  CS3File& operator=(const CS3File&) = delete;
  // Frees everything; nothing is uploaded or stored.
  ~CS3File();

  // ---- KS3File (see include/KeltoS3.h for the results) -------------------
  //
  // No exception leaves these operations: one raised inside (an allocation
  // that failed) gives the failure result, Open 2, Write 1, Read -1,
  // GetSize 0, Seek 2, TestConnection 0.

  // Starts afresh (as Reset), writes the folder markers of the path's
  // directories (with "Transfers" above 1 only when no version is found,
  // else at the first Write), sets the content type of the chunks from the
  // extension, and loads the index object of `path` (a stored name when
  // reading).
  // 0: nothing stored, ready to write.  1: version opened, first chunk
  // loaded.  2: version listed but its first chunk could not be fetched
  // (also when its index object could not be fetched or holds no usable
  // record, or the chunk stored under its key is not this version's).
  int Open(const wchar_t* path) override;

  // Open for a stored name the caller has just seen listed.  With
  // "Transfers" above 1 the index object is fetched without the listing
  // Open sends first (one request less per file read), so 0 is never the
  // answer: a version gone since it was listed gives 2.  With Transfers 1
  // it is Open.
  int OpenListed(const std::u16string& path);

  // Appends data[0, length) to the version; `last` non-zero uploads the
  // last chunk (a 0-byte chunk when nothing is pending) and stores the
  // index object, then resets the object.  Returns 1 (and stores nothing)
  // when the object is not open for writing, the arguments are invalid
  // (length < 0, or null data with a length), a chunk upload failed, the
  // version would need more than 99999 chunks, or storing the index object
  // failed.
  int Write(const char* data, int length, int last) override;

  // Copies up to `length` bytes from the read position to `destination`.
  // Returns the bytes delivered: fewer than asked at the end of the version
  // (the object is then reset, so the next Read returns 0), 0 when nothing
  // is open; -1 when a chunk could not be fetched or is not this version's
  // (the object is then reset) or `destination` is null.  At most 2^31 - 1 bytes are delivered a call.
  int Read(void* destination, unsigned int length) override;

  long long GetSize() override;

  // Origin 0: 0 <= offset < size.  Origin 1: 0 <= position + offset < size.
  // Origin 2: -size < offset <= 0.  Any other origin keeps the position
  // and reloads its chunk.  Returns 1 (position unchanged) outside those
  // ranges or when no version is open, 2 when the chunk could not be
  // fetched (position unchanged; Read then fails until a Seek succeeds).
  // Origin 2 with offset 0 on a non-empty version loads the last chunk and
  // puts the position just after its last byte, so the next Read returns 0;
  // on an empty version it returns 1 like every other Seek there.
  int Seek(long long offset, int origin) override;

  int Synchronize(const wchar_t* local_root, const wchar_t* catalog_root,
                  const wchar_t* s3_root) override;

  int TestConnection() override;

  // ---- For the S3 file system ------------------------------------------

  // Open for a new version of `path` only: the same as Open finding nothing
  // stored, without looking for a stored version (the first Write starts a
  // new version whatever Open finds).  Returns 0, or 2 when the folder
  // markers could not be prepared for lack of memory.
  int OpenForWriting(const std::u16string& path);

  // Each setter also redirects every later request of the object to the
  // bucket given (see the file comment).
  void SetBucket(const std::u16string& bucket);
  void SetDataBucket(const std::u16string& bucket);
  // The stamp the index object of the next stored version is named with,
  // even when a version of the path has it already (that version's index
  // object is then replaced).  The snapshot-assisted layout names no
  // version with a stamp.
  void SetVersionStamp(const std::u16string& stamp);

  // The version the last successful final Write stored: the key of its
  // index object and the keys of its chunks, in order.  Empty before one.
  const std::u16string& GetStoredIndexKey() const { return m_strStoredIndexKey; }
  std::vector<std::u16string> GetStoredChunkKeys() const;
  // The caller knows that the folder markers of every folder above the
  // paths this object opens exist: Open neither lists nor stores them.
  void SetFolderMarkersKnown() { m_bFolderMarkersKnown = true; }

  // Back to fresh: position, size, chunk counter and buffer offset 0, the
  // index emptied, every transfer in flight waited for and dropped.  The
  // chunk size, the keys, the buckets and the stamp stay.
  void Reset();

  // Waits for every transfer in flight (see "Transfers"); a chunk upload
  // that failed leaves the store failed.  For a caller that reads the
  // index of a version being written.
  void WaitForTransfers();

  // ---- Inspection (tests) ------------------------------------------------

  int32_t GetBufferSize() const { return m_iBufferSize; }
  int32_t GetBufferOffset() const { return m_iBufferOffset; }
  long long GetPosition() const { return m_iPosition; }
  const std::u16string& GetFileKey() const { return m_strFileKey; }
  const std::u16string& GetBucket() const { return m_strBucket; }
  const std::u16string& GetDataBucket() const { return m_strDataBucket; }
  const std::u16string& GetVersionStamp() const { return m_strStamp; }
  const std::u16string& GetSubFileName() const { return m_strS3SubFileName; }
  const CS3InfoIndex& GetIndex() const { return m_index; }

 private:
  enum State : int32_t {
    kFresh,
    kWriting,
    kWriteFailed,
    kReading,
    kReadBroken,
  };

  // The KS3File operations; the public ones turn an exception into their
  // failure result.
  int OpenVersion(const std::u16string& path, bool listed);
  // The part of Open before the index is looked for: reset, folder
  // markers, file key and content type.  With `markers_when_writing` the
  // folder markers are only noted (EnsureDueFolderMarkers writes them).
  void PrepareOpen(const std::u16string& name, bool markers_when_writing = false);
  // Writes the folder markers PrepareOpen noted, if any.
  void EnsureDueFolderMarkers();
  int WriteData(const char* data, int length, int last);
  int ReadData(void* destination, unsigned int length);
  int SeekTo(long long offset, int origin);

  // Leaves the object in `state` with nothing loaded to read, allocating
  // nothing.
  void Abandon(int32_t state) noexcept;

  // Writes the folder markers of `directory` and its ancestors.
  void EnsureFolderMarkers(const std::u16string& directory);

  // Prepares a Write in a reading state: the loaded version is dropped.
  void StartNewVersion();

  // Makes the chunk size positive (a read may have left 0 there).
  void PrepareChunkSize();

  // The write buffer, m_iBufferSize bytes.  An upload lends it to the
  // upload request as its body and takes it back.
  uint8_t* WriteBuffer();

  // Uploads the first `length` bytes of the write buffer as the next chunk
  // and appends its record; with Transfers > 1 on a transfer thread
  // (UploadChunkAside).  Returns false when it could not be stored, or when
  // a chunk sent before it failed.
  bool UploadChunk(int32_t length);

  // Appends the record of the next chunk (`length` bytes of the write
  // buffer) to the index; *key is its chunk key.  False when the version
  // holds as many chunks as an index can.
  bool AppendChunkRecord(int32_t length, std::u16string* key);

  // ---- Transfers side by side (s3_file_transfers.cc) ---------------------

  // A chunk going up on a transfer thread.
  struct PendingUpload {
    int32_t length = 0;
    int32_t capacity = 0;  // of its buffer, the request's body
    std::unique_ptr<PutObjectRequest> request;
    std::unique_ptr<TransferJob> job;  // last: waited for before the rest goes
  };
  // A chunk fetched ahead on a transfer thread.
  struct PendingFetch {
    int32_t record = 0;  // its number in the index
    std::unique_ptr<GetObjectRequest> request;
    std::unique_ptr<S3Response> response;
    std::unique_ptr<TransferJob> job;
  };

  // Hands the chunk over to a transfer thread once fewer than `limit`
  // uploads are in flight.  False when it, or one sent before, failed.
  bool UploadChunkAside(int32_t length, size_t limit);
  // Waits for the oldest uploads until at most `keep` are in flight, counting
  // what each stored.  False when one of them failed (the others stay in
  // flight).
  bool SettleUploads(size_t keep);
  // When the oldest chunk fetched ahead is the one of `record`: waits for it
  // and moves it into the read buffer (*fetched tells whether it arrived
  // intact) and returns true.  Otherwise drops every chunk fetched ahead
  // before `record` or not next to it, and returns false.
  bool TakeFetchedChunk(int32_t record, bool* fetched);
  // Starts fetching the records after the last one started (or after the
  // cursor), until Transfers are in flight or the index ends.
  void StartReadAhead();
  // Waits for every transfer in flight and drops it, whatever it did; a
  // read-ahead still due after Open is dropped too.
  void DropTransfers() noexcept;

  // Stores the index object and resets the object.  Returns Write's result.
  int FinishVersion();

  // Makes the stamp one that no stored version of the path has, waiting
  // for the next second when it is taken.  False when none became free or
  // the path's versions could not be listed.
  bool TakeFreeStamp();
  // Snapshot-assisted layout, after the version was stored over the one
  // Open found: removes the replaced version's chunks that no index object
  // names any more.
  void ReleaseReplacedChunks();

  // Fetches the chunk of the record at the index cursor into the read
  // buffer (or takes it from those fetched ahead) and advances the cursor.
  // A chunk whose length, checksum or ETag does not match (CheckChunk) is
  // fetched again, up to 5 attempts in all.  On failure the state becomes
  // read broken and false is returned.  With `read_ahead` the following
  // chunks are fetched ahead (see "Transfers").
  bool FetchChunk(bool read_ahead = false);

  // Bytes the read buffer holds from the buffer offset on.
  int32_t BytesLeftInChunk() const;

  std::u16string m_strFileKey;
  std::u16string m_strBucket;          // backup bucket
  std::u16string m_strDataBucket;
  std::u16string m_strStamp;
  bool m_bStampSet = false;            // SetVersionStamp named the versions
  std::u16string m_strChunkToken;      // of the version being written
  // The chunks of the version Open found, which the one being written
  // replaces under the same index key (snapshot-assisted layout).
  std::vector<std::u16string> m_replacedChunks;
  std::u16string m_strStoredIndexKey;  // the version stored last
  std::u16string m_strStoredFileKey;
  std::u16string m_strStoredToken;
  int32_t m_iStoredChunks = 0;
  int64_t m_iPosition = 0;
  int64_t m_iSize = 0;
  int32_t m_iChunkCounter = 0;         // number of the next chunk to upload
  int32_t m_iBufferSize = 0;           // chunk size; after a fetch its length
  int32_t m_iBufferOffset = 0;
  PutObjectRequest m_upload;           // takes the write buffer as body
  GetObjectRequest m_download;
  S3Response m_response;               // its body is the read buffer
  std::u16string m_strS3SubFileName;   // key of the chunk last read
  int32_t m_iEndOfData = 0;
  CEventReporter m_reporter;
  CS3InfoIndex m_index;
  int32_t m_iNamesSet = 0;             // 1 once a bucket name was set
  bool m_bFolderMarkersKnown = false;  // SetFolderMarkersKnown
  std::u16string m_strMarkersDue;      // folder whose markers wait for a Write
  bool m_bReadAheadDue = false;        // the next Read starts the read-ahead
  std::unique_ptr<uint8_t[]> m_pWriteBuffer;
  int32_t m_iWriteBufferSize = 0;
  int32_t m_iState = kFresh;
  // The number of the record at the index cursor.
  int32_t m_iCursorRecord = 0;
  // Transfers in flight, oldest first (the fetches of consecutive records),
  // and write buffers that came back from finished uploads.
  std::deque<std::unique_ptr<PendingUpload>> m_uploads;
  std::deque<std::unique_ptr<PendingFetch>> m_fetches;
  std::vector<std::unique_ptr<uint8_t[]>> m_spareBuffers;
  bool m_bUploadFailed = false;
};

#endif  // KELTOS3_SRC_LAYOUT_S3_FILE_H_
