#include "layout/version_removal.h"

#include <algorithm>
#include <set>
#include <utility>

#include "layout/index_record.h"
#include "layout/info_index.h"
#include "layout/object_keys.h"
#include "s3/listing_pager.h"
#include "s3/request_kinds.h"
#include "s3/s3_client.h"
#include "s3/s3_list_result.h"
#include "support/url_encode.h"

namespace {

constexpr char16_t kIndexSuffix[] = u"_Info";
constexpr size_t kIndexSuffixLength = 5;

bool EndsWithIndexSuffix(const std::u16string& key) {
  return key.size() >= kIndexSuffixLength &&
         key.compare(key.size() - kIndexSuffixLength, kIndexSuffixLength,
                     kIndexSuffix) == 0;
}

bool Contains(const std::vector<std::u16string>& keys, const std::u16string& key) {
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

}  // namespace

PathIndexObjects ListPathIndexObjects(const std::u16string& bucket,
                                      const std::u16string& path) {
  PathIndexObjects listed;
  ListingPager pager(bucket, EncodeKeyForUrl(FileKeyOf(path) + u"_"),
                     ListingPager::kMaxPathPages);
  S3ListResult page;
  while (pager.Next(&page)) {
    page.ParseList();
    if (page.m_iRetry != 0) return listed;
    for (const std::u16string& key : page.m_items) {
      if (EndsWithIndexSuffix(key)) listed.keys.push_back(key);
    }
  }
  listed.complete = pager.Complete();
  return listed;
}

bool ReadChunkKeys(const std::u16string& bucket, const std::u16string& key,
                   std::vector<std::u16string>* chunks) {
  chunks->clear();
  GetObjectRequest get(bucket, key);
  get.m_iAnswerLimit = CS3InfoIndex::MaxObjectBytes(key);
  const S3Response object = S3Client().GetObject(get);
  if (object.m_iRetry != 0) return false;
  const int32_t used = object.GetBodyLength();
  // Every record takes at least 32 bytes, so this many entries always hold
  // all of them, up to the most one version may have.
  std::vector<int32_t> positions(static_cast<size_t>(
      std::min(used / kIndexRecordMinimumSize + 1, CS3InfoIndex::kMaxRecords)));
  const IndexParseResult parsed = ParseIndexRecords(
      object.GetBody(), used, positions.data(), static_cast<int32_t>(positions.size()));
  if (!parsed.complete) return false;
  for (int32_t i = 0; i < parsed.count; ++i) {
    IndexRecord record;
    if (DecodeIndexRecord(object.GetBody(), used, positions[i], &record) !=
        IndexRecordStatus::kRecord) {
      return false;
    }
    chunks->push_back(std::move(record.key));
  }
  return true;
}

bool DeleteStoredObject(const std::u16string& bucket, const std::u16string& key) {
  DeleteObjectRequest request(bucket, key);
  const S3Response response = S3Client().DeleteObject(request);
  return (response.m_iStatus >= 200 && response.m_iStatus < 300) ||
         response.m_iStatus == 404;
}

RemovalResult RemoveVersions(const VersionRemoval& removal,
                             const PathIndexObjects& listing) {
  if (!listing.complete) return RemovalResult::kRefused;

  // What goes and what stays, read before anything is deleted.
  std::vector<std::u16string> removed;        // index objects to delete
  std::vector<std::u16string> candidates = removal.released_chunks;
  std::set<std::u16string> kept;              // chunks a remaining one names
  for (const std::u16string& key : listing.keys) {
    if (!Contains(removal.index_keys, key) && key == removal.known_key) {
      kept.insert(removal.known_chunks.begin(), removal.known_chunks.end());
      continue;
    }
    std::vector<std::u16string> chunks;
    if (!ReadChunkKeys(removal.bucket, key, &chunks)) return RemovalResult::kRefused;
    if (Contains(removal.index_keys, key)) {
      removed.push_back(key);
      candidates.insert(candidates.end(), chunks.begin(), chunks.end());
    } else {
      kept.insert(chunks.begin(), chunks.end());
    }
  }

  const std::u16string file_key = FileKeyOf(removal.path);
  std::set<std::u16string> deleted;
  bool chunks_gone = true;
  for (const std::u16string& chunk : candidates) {
    if (!IsChunkKeyOf(chunk, file_key) || kept.count(chunk) != 0 ||
        !deleted.insert(chunk).second) {
      continue;
    }
    if (!DeleteStoredObject(removal.data_bucket, chunk)) chunks_gone = false;
  }
  // The index objects go last, and only once their chunks are gone.
  if (!chunks_gone) return RemovalResult::kIncomplete;
  bool all_gone = true;
  for (const std::u16string& key : removed) {
    if (!DeleteStoredObject(removal.bucket, key)) all_gone = false;
  }
  return all_gone ? RemovalResult::kRemoved : RemovalResult::kIncomplete;
}
