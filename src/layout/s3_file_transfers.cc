// CS3File: chunks moving on transfer threads, side by side ("Transfers" in
// layout/s3_file.h).  The object's own thread decides everything (which
// chunk, its record, when to wait); a transfer thread only stores or
// fetches the one chunk it was given, through its own request.

#include <utility>

#include "layout/chunk_transfer.h"
#include "layout/s3_file.h"
#include "settings/s3_config.h"

bool CS3File::UploadChunkAside(int32_t length, size_t limit) {
  // Room for this chunk: the oldest uploads finish first.
  if (!SettleUploads(limit - 1)) return false;
  std::u16string key;
  if (!AppendChunkRecord(length, &key)) return false;

  auto pending = std::make_unique<PendingUpload>();
  pending->length = length;
  pending->capacity = m_iWriteBufferSize;
  pending->request = std::make_unique<PutObjectRequest>(m_strDataBucket, key);
  pending->request->m_strContentType = m_upload.m_strContentType;
  // The filled buffer goes with the chunk; the next one fills a spare.
  pending->request->AdoptBody(std::move(m_pWriteBuffer), length);
  m_iWriteBufferSize = 0;
  PutObjectRequest* const request = pending->request.get();
  pending->job = std::make_unique<TransferJob>(
      CS3Config(), [request, key, length] {
        return UploadChunkBody(request, key, length, UploadProof::kETagOrListing);
      });
  m_uploads.push_back(std::move(pending));
  ++m_iChunkCounter;
  // The next chunk fills while at most `limit` - 1 are in flight, in the
  // buffer of one that ended: a store holds `limit` chunk buffers at most.
  SettleUploads(limit - 1);
  if (!m_spareBuffers.empty()) {
    m_pWriteBuffer = std::move(m_spareBuffers.back());
    m_spareBuffers.pop_back();
    m_iWriteBufferSize = m_iBufferSize;
  }
  return !m_bUploadFailed;
}

bool CS3File::SettleUploads(size_t keep) {
  // Finished ones are counted as they come, without waiting.
  while (!m_uploads.empty() && (m_uploads.size() > keep || m_uploads.front()->job->Done())) {
    PendingUpload& oldest = *m_uploads.front();
    if (oldest.job->Wait()) {
      m_iSize += oldest.length;
    } else {
      m_bUploadFailed = true;
    }
    // Buffers of the chunk size come back for the next chunks.
    std::unique_ptr<uint8_t[]> buffer = oldest.request->ReleaseBody();
    if (buffer != nullptr && oldest.capacity == m_iBufferSize) {
      m_spareBuffers.push_back(std::move(buffer));
    }
    m_uploads.pop_front();
  }
  return !m_bUploadFailed;
}

void CS3File::WaitForTransfers() {
  SettleUploads(0);
  if (m_bUploadFailed && m_iState == kWriting) m_iState = kWriteFailed;
}

bool CS3File::TakeFetchedChunk(int32_t record, bool* fetched) {
  while (!m_fetches.empty() && m_fetches.front()->record < record) {
    m_fetches.front()->job->Wait();
    m_fetches.pop_front();
  }
  if (m_fetches.empty()) return false;
  if (m_fetches.front()->record != record) {
    m_fetches.clear();  // each waits for its thread as it goes
    return false;
  }
  PendingFetch& next = *m_fetches.front();
  *fetched = next.job->Wait();
  m_response = std::move(*next.response);
  m_fetches.pop_front();
  return true;
}

void CS3File::StartReadAhead() {
  const int32_t transfers = CS3Config().GetTransfers();
  if (transfers <= 1) return;
  int32_t record = m_fetches.empty() ? m_iCursorRecord : m_fetches.back()->record + 1;
  while (m_fetches.size() < static_cast<size_t>(transfers) && record < m_index.Count()) {
    IndexRecord chunk;
    if (!m_index.Record(record, &chunk)) break;
    auto pending = std::make_unique<PendingFetch>();
    pending->record = record;
    pending->request = std::make_unique<GetObjectRequest>(m_strDataBucket, chunk.key);
    pending->request->m_bBytesOnly = true;
    pending->response = std::make_unique<S3Response>();
    GetObjectRequest* const request = pending->request.get();
    S3Response* const response = pending->response.get();
    pending->job = std::make_unique<TransferJob>(CS3Config(), [request, chunk, response] {
      return DownloadChunkBody(request, chunk, response);
    });
    m_fetches.push_back(std::move(pending));
    ++record;
  }
}

void CS3File::DropTransfers() noexcept {
  // Each pending transfer waits for its thread as it goes.
  m_fetches.clear();
  m_bReadAheadDue = false;
  m_uploads.clear();
  m_spareBuffers.clear();
  m_bUploadFailed = false;
}
