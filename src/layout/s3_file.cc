#include "layout/s3_file.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

#include "layout/chunk_transfer.h"
#include "common/layout_policy.h"
#include "common/wide_string.h"
#include "layout/chunk_check.h"
#include "layout/object_keys.h"
#include "layout/version_removal.h"
#include "platform/env.h"
#include "s3/content_types.h"
#include "s3/s3_client.h"
#include "s3/s3_list_result.h"
#include "settings/s3_config.h"
#include "support/http_date.h"
#include "support/url_encode.h"

namespace {

// Versions named by stamps (the standard layout), or one per path.
bool Versioned() { return CurrentLayout().VersionedKeys(); }

// Seconds a store waits at most for a stamp no version of its path has.
constexpr int kStampWaitSeconds = 3;
// Steps of that wait.
constexpr uint32_t kStampWaitStepMs = 250;

std::u16string DateHeaderValue() { return BytesToU16(FormatHttpDate()); }

int32_t ChunkSizeSetting(CS3Config& config) {
  const int32_t size = config.GetBufferSize();
  return size > 0 ? size : CS3File::kDefaultBufferSize;
}

}  // namespace

CS3File::CS3File()
    : m_strBucket(CS3Config().GetBucket()),
      m_strDataBucket(CS3Config().GetDataBucket()),
      m_strStamp(Versioned() ? DateHeaderValue() : std::u16string()),
      m_upload(m_strDataBucket, std::u16string()),
      m_download(m_strDataBucket, std::u16string()) {
  CS3Config config;
  m_iBufferSize = ChunkSizeSetting(config);
  // A chunk is content: its answer text would be cut out of binary bytes
  // and decoded for nobody.
  m_download.m_bBytesOnly = true;
  // The index reads its own names from the settings; it takes the object's
  // stamp so that both always agree.
  m_index.SetStamp(m_strStamp);
  WriteBuffer();
}

CS3File::~CS3File() = default;

// ---- Open -------------------------------------------------------------------

void CS3File::EnsureFolderMarkers(const std::u16string& directory) {
  // A missing marker only hides the folder from listings; answers are not
  // examined.
  if (!m_iNamesSet) {
    FolderMarkerRequest marker(directory);
    S3Client().CreateFolder(marker);
    return;
  }
  // With a bucket set, the markers of every ancestor belong in that bucket
  // too, outermost first; CreateFolder would address the ancestors in the
  // bucket of the settings.
  const std::u16string key = FolderMarkerKeyOf(directory);
  const std::u16string folders = key.substr(std::char_traits<char16_t>::length(kFolderMarkerPrefix));
  if (folders.empty()) return;
  S3Client client;
  if (!client.BucketExists(m_strBucket)) {
    CreateBucketRequest create(m_strBucket);
    client.PerformRequest(create);
  }
  for (size_t end = folders.find(u'/'); ; end = folders.find(u'/', end + 1)) {
    FolderMarkerRequest marker(folders.substr(0, end));
    marker.m_strBucket = m_strBucket;
    if (!client.FolderExists(m_strBucket, FolderKeyToPath(marker.m_strKey))) {
      client.PerformRequest(marker);
    }
    if (end == std::u16string::npos) break;
  }
}

void CS3File::PrepareOpen(const std::u16string& name, bool markers_when_writing) {
  Reset();
  const std::u16string directory = ParentDirectoryOf(name);
  if (!directory.empty() && !m_bFolderMarkersKnown) {
    if (markers_when_writing) {
      m_strMarkersDue = directory;
    } else {
      EnsureFolderMarkers(directory);
    }
  }

  m_strFileKey = FileKeyOf(name);
  const size_t dot = m_strFileKey.rfind(u'.');
  m_upload.m_strContentType = dot == std::u16string::npos
                                  ? std::u16string(u"text/plain")
                                  : ContentTypeFor(m_strFileKey.substr(dot));
}

void CS3File::EnsureDueFolderMarkers() {
  if (m_strMarkersDue.empty()) return;
  EnsureFolderMarkers(std::exchange(m_strMarkersDue, std::u16string()));
}

int CS3File::OpenVersion(const std::u16string& path, bool listed) {
  // With transfers side by side a version that is found is only read: the
  // markers of its folders were written when it was stored, and looking
  // them up again would cost up to three round trips before its first
  // byte.  They are seen to when this Open or a later Write stores one.
  const bool transfers = CS3Config().GetTransfers() > 1;
  PrepareOpen(path, /*markers_when_writing=*/transfers);
  if (listed) {
    m_index.LoadListed(IndexKeyOf(m_strFileKey));
  } else if (!m_index.Load(IndexKeyOf(m_strFileKey))) {
    EnsureDueFolderMarkers();
    m_iState = kWriting;
    return 0;
  }
  IndexRecord last;
  if (m_index.Record(m_index.Count() - 1, &last)) {
    m_iSize = static_cast<int64_t>(last.end + 1);
  }
  m_iState = kReading;
  m_iCursorRecord = 0;
  if (!FetchChunk()) return 2;
  // The chunks after the first are fetched ahead once a Read shows that
  // the version is read from its start (a Seek would drop them).
  m_bReadAheadDue = transfers && !m_iEndOfData;
  return 1;
}

// ---- Write ------------------------------------------------------------------

void CS3File::StartNewVersion() {
  EnsureDueFolderMarkers();
  DropTransfers();
  m_replacedChunks.clear();
  if (!Versioned()) {
    // The new version takes the index key of the one Open found: its chunks
    // go once the new one is stored.
    IndexRecord record;
    for (int32_t i = 0; m_index.Record(i, &record); ++i) m_replacedChunks.push_back(record.key);
  }
  m_index.Reset();
  m_iPosition = 0;
  m_iSize = 0;
  m_iChunkCounter = 0;
  m_iBufferOffset = 0;
  m_iEndOfData = 0;
  m_response.SetBody(nullptr, 0);
  if (!Versioned()) {
    // Storing a path again is the normal case here (one version per path),
    // and the version read by Open left its first chunk's length as chunk
    // size: the new version would be cut into chunks of that length, too
    // many of them for one index when the file has grown.
    CS3Config config;
    m_iBufferSize = ChunkSizeSetting(config);
  }
  m_iState = kWriting;
}

void CS3File::PrepareChunkSize() {
  // After a read the chunk size is the length of the chunk last read, which
  // may be 0.
  if (m_iBufferSize <= 0) m_iBufferSize = kDefaultBufferSize;
}

uint8_t* CS3File::WriteBuffer() {
  // The chunk size only changes while reading, when nothing is pending.
  if (!m_pWriteBuffer || m_iWriteBufferSize != m_iBufferSize) {
    m_pWriteBuffer.reset();
    m_pWriteBuffer.reset(new uint8_t[static_cast<size_t>(m_iBufferSize)]);
    m_iWriteBufferSize = m_iBufferSize;
  }
  return m_pWriteBuffer.get();
}

bool CS3File::AppendChunkRecord(int32_t length, std::u16string* key) {
  if (m_iChunkCounter >= CS3InfoIndex::kMaxRecords) return false;
  // Each version's chunks get keys of their own: whatever another version
  // of the path (or another path) stores, it never touches these.
  if (m_iChunkCounter == 0) {
    m_strChunkToken = NewChunkToken(platform::CurrentEnv()->NowUnixSeconds());
  }
  *key = ChunkKeyOf(m_strFileKey, m_strChunkToken, m_iChunkCounter);
  const uint64_t start = static_cast<uint64_t>(m_iChunkCounter) *
                         static_cast<uint64_t>(m_iBufferSize);
  const uint64_t end = start + static_cast<uint64_t>(length) - 1;
  // The checksum lets a reader tell this chunk from bytes damaged on the
  // server or on the way.
  const uint32_t checksum = ChunkChecksum(WriteBuffer(), static_cast<size_t>(length));
  return m_index.Append(start, end, *key, checksum);
}

bool CS3File::UploadChunk(int32_t length) {
  const int32_t transfers = CS3Config().GetTransfers();
  if (transfers > 1) return UploadChunkAside(length, static_cast<size_t>(transfers));
  // One transfer at a time: the chunk goes up here and now, after any that
  // an earlier setting left in flight.
  if (!SettleUploads(0)) return false;
  std::u16string key;
  if (!AppendChunkRecord(length, &key)) return false;

  // The filled buffer becomes the request's body for every attempt, and
  // comes back afterwards to take the next chunk.
  const int32_t capacity = m_iWriteBufferSize;
  m_upload.AdoptBody(std::move(m_pWriteBuffer), length);
  m_iWriteBufferSize = 0;
  const bool stored = UploadChunkBody(&m_upload, key, length, UploadProof::kListing);
  m_pWriteBuffer = m_upload.ReleaseBody();
  if (m_pWriteBuffer != nullptr) m_iWriteBufferSize = capacity;
  ++m_iChunkCounter;
  if (stored) m_iSize += length;
  return stored;
}

bool CS3File::TakeFreeStamp() {
  platform::Env* env = platform::CurrentEnv();
  // The wait is bounded by its steps as well, whatever the clock does.
  int steps_left = kStampWaitSeconds * 1000 / static_cast<int>(kStampWaitStepMs) + 4;
  while (true) {
    const std::u16string key = VersionedIndexKey(m_index.IndexKey(), m_strStamp);
    ServiceListRequest listing(m_strBucket);
    listing.m_query.Set(u"prefix", EncodeKeyForUrl(key));
    const S3ListResult page = S3Client().ListObjects(listing);
    if (page.m_iRetry != 0) return false;
    uint64_t size = 0;
    if (!page.ListedSize(key, &size)) return true;
    // A version of the path already has this stamp (stored within the same
    // second): its index object must not be replaced.  The current second,
    // or the next one when that is the taken stamp, gives a stamp of its
    // own, unless that one is taken too.
    if (steps_left-- <= 0) return false;
    const int64_t now = env->NowUnixSeconds();
    while (FormatHttpDate(now) == U16ToBytes(m_strStamp) && env->NowUnixSeconds() <= now) {
      if (steps_left-- <= 0) return false;
      env->Sleep(kStampWaitStepMs);
    }
    m_strStamp = DateHeaderValue();
    m_index.SetStamp(m_strStamp);
  }
}

void CS3File::ReleaseReplacedChunks() {
  std::vector<std::u16string> chunks;
  chunks.swap(m_replacedChunks);
  if (chunks.empty()) return;
  VersionRemoval removal;
  removal.bucket = m_strBucket;
  removal.data_bucket = m_strDataBucket;
  removal.path = ReplaceAll(m_strFileKey.substr(std::min<size_t>(6, m_strFileKey.size())),
                            u"/", u"\\");
  removal.known_key = m_strStoredIndexKey;
  removal.known_chunks = GetStoredChunkKeys();
  removal.released_chunks = std::move(chunks);
  // Chunks with a token belonged to the replaced version alone; those of an
  // earlier build may be named by another index object of the path.
  PathIndexObjects listing;
  listing.complete = true;
  if (!std::all_of(removal.released_chunks.begin(), removal.released_chunks.end(),
                   HasChunkToken)) {
    listing = ListPathIndexObjects(removal.bucket, removal.path);
  }
  // The new version is stored whatever this gives; a chunk left behind is
  // found by prune.
  RemoveVersions(removal, listing);
}

std::vector<std::u16string> CS3File::GetStoredChunkKeys() const {
  std::vector<std::u16string> keys;
  for (int32_t i = 0; i < m_iStoredChunks; ++i) {
    keys.push_back(ChunkKeyOf(m_strStoredFileKey, m_strStoredToken, i));
  }
  return keys;
}

int CS3File::FinishVersion() {
  bool stored = true;
  if (Versioned() && !m_bStampSet) stored = TakeFreeStamp();
  stored = stored && m_index.Store();
  if (stored) {
    m_strStoredIndexKey = m_index.IndexKey();
    m_strStoredFileKey = m_strFileKey;
    m_strStoredToken = m_strChunkToken;
    m_iStoredChunks = m_iChunkCounter;
    ReleaseReplacedChunks();
  }
  Reset();
  return stored ? 0 : 1;
}

int CS3File::WriteData(const char* data, int length, int last) {
  if (m_iState == kFresh || m_iState == kWriteFailed) return 1;
  if (length < 0 || (data == nullptr && length > 0)) return 1;
  if (m_iState == kReading || m_iState == kReadBroken) StartNewVersion();
  PrepareChunkSize();

  const auto* bytes = reinterpret_cast<const uint8_t*>(data);
  const int64_t capacity = m_iBufferSize;
  const auto fail = [this]() {
    // The store is over: the chunks still in flight are waited for, and
    // no index object is stored.
    SettleUploads(0);
    m_iState = kWriteFailed;
    return 1;
  };
  // The index object names every chunk: it is stored only once every one
  // of them is.
  const auto finish = [this, &fail]() { return SettleUploads(0) ? FinishVersion() : fail(); };

  if (m_iBufferOffset + static_cast<int64_t>(length) < capacity) {
    if (length > 0) std::memcpy(WriteBuffer() + m_iBufferOffset, bytes, static_cast<size_t>(length));
    m_iBufferOffset += length;
    if (!last) return 0;
    if (!UploadChunk(m_iBufferOffset)) return fail();
    return finish();
  }

  // Fill the pending chunk, then send whole chunks straight from the data.
  int64_t taken = capacity - m_iBufferOffset;
  std::memcpy(WriteBuffer() + m_iBufferOffset, bytes, static_cast<size_t>(taken));
  m_iBufferOffset = static_cast<int32_t>(capacity);
  if (!UploadChunk(static_cast<int32_t>(capacity))) return fail();
  while (length - taken >= capacity) {
    std::memcpy(WriteBuffer(), bytes + taken, static_cast<size_t>(capacity));
    taken += capacity;
    if (!UploadChunk(static_cast<int32_t>(capacity))) return fail();
  }
  const int64_t rest = length - taken;
  if (rest > 0) std::memcpy(WriteBuffer(), bytes + taken, static_cast<size_t>(rest));
  m_iBufferOffset = static_cast<int32_t>(rest);
  if (!last) return 0;
  if (m_iBufferOffset > 0 && !UploadChunk(m_iBufferOffset)) return fail();
  return finish();
}

// ---- Read -------------------------------------------------------------------

bool CS3File::FetchChunk(bool read_ahead) {
  IndexRecord record;
  if (!m_index.CurrentRecord(&record)) {
    m_iState = kReadBroken;
    return false;
  }
  m_response.SetBody(nullptr, 0);  // one read chunk at a time
  bool fetched = false;
  if (!TakeFetchedChunk(m_iCursorRecord, &fetched)) {
    fetched = DownloadChunkBody(&m_download, record, &m_response);
  }
  if (!fetched) {
    m_response.SetBody(nullptr, 0);
    m_iState = kReadBroken;
    return false;
  }
  m_iBufferSize = m_response.GetBodyLength();
  m_iBufferOffset = 0;
  m_strS3SubFileName = record.key;
  m_iEndOfData = m_index.Advance() ? 1 : 0;
  ++m_iCursorRecord;
  m_iState = kReading;
  if (read_ahead && !m_iEndOfData) StartReadAhead();
  return true;
}

int32_t CS3File::BytesLeftInChunk() const {
  const int32_t held = std::min(m_iBufferSize, m_response.GetBodyLength());
  return m_iBufferOffset < held ? held - m_iBufferOffset : 0;
}

int CS3File::ReadData(void* destination, unsigned int length) {
  if (!m_index.IsLoaded() ||
      (m_iState != kReading && m_iState != kReadBroken)) {
    return 0;
  }
  if (destination == nullptr) return -1;
  if (m_iState == kReadBroken) {
    Reset();
    return -1;
  }
  if (m_bReadAheadDue) {
    m_bReadAheadDue = false;
    StartReadAhead();
  }
  const int32_t n = length > static_cast<unsigned int>(std::numeric_limits<int32_t>::max())
                        ? std::numeric_limits<int32_t>::max()
                        : static_cast<int32_t>(length);
  auto* out = static_cast<uint8_t*>(destination);

  int32_t left = BytesLeftInChunk();
  if (n <= left) {
    if (n > 0) std::memcpy(out, m_response.GetBody() + m_iBufferOffset, static_cast<size_t>(n));
    m_iBufferOffset += n;
    m_iPosition += n;
    return n;
  }
  if (left > 0) std::memcpy(out, m_response.GetBody() + m_iBufferOffset, static_cast<size_t>(left));
  int32_t delivered = left;
  while (true) {
    if (m_iEndOfData) {
      m_iPosition += delivered;
      Reset();
      return delivered;
    }
    if (!FetchChunk(/*read_ahead=*/true)) {
      Reset();
      return -1;
    }
    left = BytesLeftInChunk();
    if (static_cast<int64_t>(delivered) + left >= n) {
      const int32_t wanted = n - delivered;
      if (wanted > 0) std::memcpy(out + delivered, m_response.GetBody(), static_cast<size_t>(wanted));
      m_iBufferOffset = wanted;
      m_iPosition += n;
      return n;
    }
    if (left > 0) std::memcpy(out + delivered, m_response.GetBody(), static_cast<size_t>(left));
    delivered += left;
  }
}


// ---- Seek -------------------------------------------------------------------

int CS3File::SeekTo(long long offset, int origin) {
  if (!m_index.IsLoaded() ||
      (m_iState != kReading && m_iState != kReadBroken)) {
    return 1;
  }
  int64_t target = m_iPosition;
  switch (origin) {
    case 0:
      if (offset < 0 || offset >= m_iSize) return 1;
      target = offset;
      break;
    case 1:
      if (__builtin_add_overflow(m_iPosition, offset, &target) || target < 0 ||
          target >= m_iSize) {
        return 1;
      }
      break;
    case 2:
      if (offset > 0 || offset <= -m_iSize) return 1;
      target = m_iSize + offset;
      break;
    default:
      break;  // the position stays; its chunk is loaded again
  }

  // Chunks are the first chunk's length long, but the record found is
  // checked to hold the target, so a damaged index can never place the
  // buffer offset outside the chunk.
  IndexRecord first;
  if (!m_index.Record(0, &first)) {
    m_iState = kReadBroken;
    return 2;
  }
  const int64_t chunk = static_cast<uint32_t>(first.ChunkLength());
  if (chunk == 0 || target < 0) return 1;
  int64_t number = target / chunk;
  // The end of a version whose size is a whole number of chunks lies just
  // after the last record.
  if (number >= m_index.Count()) number = m_index.Count() - 1;
  IndexRecord record;
  if (!m_index.Record(static_cast<int32_t>(number), &record)) return 1;
  const uint64_t target_bytes = static_cast<uint64_t>(target);
  if (target_bytes < record.start || target_bytes - record.start > record.ChunkLength()) {
    return 1;
  }
  m_index.SetCursor(static_cast<int32_t>(number));
  m_iCursorRecord = static_cast<int32_t>(number);
  m_bReadAheadDue = false;
  if (!FetchChunk()) return 2;
  m_iBufferOffset = static_cast<int32_t>(target_bytes - record.start);
  m_iPosition = target;
  return 0;
}

// ---- The interface: nothing thrown crosses it ------------------------------

// An exception (an allocation that failed, most likely) ends the operation
// with its failure result.  The object is left in a state that allocates
// nothing to enter: a broken write refuses every further Write until the
// next Open, so that no index object of an incomplete version is stored,
// and a broken read or open leaves nothing to read.

void CS3File::Abandon(int32_t state) noexcept {
  DropTransfers();
  m_iPosition = 0;
  m_iSize = 0;
  m_iBufferOffset = 0;
  m_iEndOfData = 0;
  m_response.SetBody(nullptr, 0);
  m_iState = state;
}

int CS3File::Open(const wchar_t* path) {
  try {
    const SettingsScope settings;
    return OpenVersion(WideToU16(path), /*listed=*/false);
  } catch (...) {
    Abandon(kFresh);
    return 2;
  }
}

int CS3File::OpenListed(const std::u16string& path) {
  try {
    const SettingsScope settings;
    return OpenVersion(path, /*listed=*/CS3Config().GetTransfers() > 1);
  } catch (...) {
    Abandon(kFresh);
    return 2;
  }
}

int CS3File::OpenForWriting(const std::u16string& path) {
  try {
    const SettingsScope settings;
    PrepareOpen(path);
    m_index.SetIndexKey(IndexKeyOf(m_strFileKey));
    m_iState = kWriting;
    return 0;
  } catch (...) {
    Abandon(kFresh);
    return 2;
  }
}

int CS3File::Write(const char* data, int length, int last) {
  try {
    // A Write that only fills the buffer needs no settings.
    std::optional<SettingsScope> settings;
    if (last != 0 || static_cast<int64_t>(m_iBufferOffset) + length >= m_iBufferSize) {
      settings.emplace();
    }
    return WriteData(data, length, last);
  } catch (...) {
    if (m_iState != kFresh) m_iState = kWriteFailed;
    return 1;
  }
}

int CS3File::Read(void* destination, unsigned int length) {
  try {
    // A Read served from the chunk at hand needs no settings.
    std::optional<SettingsScope> settings;
    if (m_bReadAheadDue || length > static_cast<unsigned int>(BytesLeftInChunk())) {
      settings.emplace();
    }
    return ReadData(destination, length);
  } catch (...) {
    Abandon(kFresh);
    return -1;
  }
}

long long CS3File::GetSize() { return m_iSize; }

int CS3File::Seek(long long offset, int origin) {
  try {
    const SettingsScope settings;
    return SeekTo(offset, origin);
  } catch (...) {
    // The position stays; Read fails until a Seek succeeds, as after a
    // chunk that could not be fetched.
    m_response.SetBody(nullptr, 0);
    m_iState = kReadBroken;
    return 2;
  }
}

int CS3File::TestConnection() {
  try {
    const SettingsScope settings;
    return S3Client().CheckService();
  } catch (...) {
    return 0;
  }
}

// ---- The rest ---------------------------------------------------------------

void CS3File::SetBucket(const std::u16string& bucket) {
  m_strBucket = bucket;
  m_index.SetBucket(bucket);
  m_iNamesSet = 1;
}

void CS3File::SetDataBucket(const std::u16string& bucket) {
  m_strDataBucket = bucket;
  m_upload.m_strBucket = bucket;
  m_download.m_strBucket = bucket;
  m_index.SetDataBucket(bucket);
  m_iNamesSet = 1;
}

void CS3File::SetVersionStamp(const std::u16string& stamp) {
  m_strStamp = stamp;
  m_bStampSet = true;
  m_index.SetStamp(stamp);
}

void CS3File::Reset() {
  DropTransfers();
  m_strMarkersDue.clear();
  m_replacedChunks.clear();
  m_iPosition = 0;
  m_iSize = 0;
  m_iChunkCounter = 0;
  m_iBufferOffset = 0;
  m_iEndOfData = 0;
  m_index.Reset();
  m_response.SetBody(nullptr, 0);
  m_iState = kFresh;
}
