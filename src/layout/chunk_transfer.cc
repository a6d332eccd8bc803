#include "layout/chunk_transfer.h"

#include "common/wide_string.h"
#include "layout/chunk_check.h"
#include "s3/s3_client.h"
#include "s3/s3_list_result.h"
#include "support/http_date.h"
#include "support/url_encode.h"

namespace {

std::u16string DateHeaderValue() { return BytesToU16(FormatHttpDate()); }

}  // namespace

bool ChunkIsListed(const std::u16string& data_bucket, const std::u16string& key,
                   int32_t length) {
  ServiceListRequest listing(data_bucket);
  listing.m_query.Set(u"prefix", EncodeKeyForUrl(key));
  const S3ListResult page = S3Client().ListObjects(listing);
  if (page.m_iRetry != 0) return false;
  // The size tells a whole chunk from one whose body was lost on the way
  // (a PUT that arrived without it stores an empty object).
  uint64_t size = 0;
  return page.ListedSize(key, &size) && size == static_cast<uint64_t>(length);
}

bool UploadChunkBody(PutObjectRequest* upload, const std::u16string& key, int32_t length,
                     UploadProof proof) {
  for (int attempt = 0; attempt < kChunkAttempts; ++attempt) {
    upload->m_strKey = key;  // PerformRequest leaves it encoded
    upload->SetHeader(u"x-amz-date", DateHeaderValue());
    const S3Response answer = S3Client().PutObject(*upload);
    if (answer.m_iRetry != 0) continue;
    // The answer to this very PUT naming the MD5 of every byte sent says
    // more than a listing's size, and spares a request per chunk; naming
    // another MD5, it says the server holds other bytes: sent again.
    if (proof == UploadProof::kETagOrListing) {
      const uint8_t* body = upload->GetBody();
      if (ETagConfirms(answer.m_strETag, body, static_cast<size_t>(length))) return true;
      if (ETagContradicts(answer.m_strETag, body, static_cast<size_t>(length))) continue;
    }
    // An older version of the path may have left an object under the same
    // key, so the listing alone cannot tell that this upload arrived.
    if (ChunkIsListed(upload->m_strBucket, key, length)) return true;
  }
  return false;
}

bool DownloadChunkBody(GetObjectRequest* download, const IndexRecord& record, S3Response* response) {
  response->SetBody(nullptr, 0);  // one read chunk at a time
  // The record says how long the chunk is: a longer answer is refused
  // before it is read.  The loaded index only holds records whose length
  // fits a body.
  download->m_iAnswerLimit = static_cast<uint32_t>(record.ChunkLength());
  for (int attempt = 0; attempt < kChunkAttempts; ++attempt) {
    download->m_strKey = record.key;
    download->SetHeader(u"x-amz-date", DateHeaderValue());
    *response = S3Client().GetObject(*download);
    if (response->m_iRetry != 0) break;
    // Bytes of another length, or that are not the ones this version
    // stored (damaged on the server or on the way, or a chunk of an earlier
    // build that a later version of the path replaced), are a failed fetch,
    // never content.
    if (CheckChunk(record, response->GetBody(), response->GetBodyLength(),
                   response->m_strETag) == ChunkFault::kNone) {
      return true;
    }
  }
  response->SetBody(nullptr, 0);
  return false;
}
