#include "layout/version_removal.h"

#include <algorithm>
#include <map>
#include <set>
#include <utility>

#include "layout/chunk_check.h"
#include "layout/info_index.h"
#include "layout/object_keys.h"
#include "s3/listing_pager.h"
#include "s3/request_kinds.h"
#include "s3/s3_client.h"
#include "support/url_encode.h"

namespace {


bool EndsWithIndexSuffix(const std::u16string& key) {
  return key.size() >= kIndexSuffixLength &&
         key.compare(key.size() - kIndexSuffixLength, kIndexSuffixLength,
                     kIndexSuffix) == 0;
}

bool Contains(const std::vector<std::u16string>& keys, const std::u16string& key) {
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

}  // namespace

StoredObjects ListStoredObjects(const std::u16string& bucket,
                                const std::u16string& prefix, int max_pages) {
  StoredObjects listed;
  ListingPager pager(bucket, prefix.empty() ? std::u16string() : EncodeKeyForUrl(prefix),
                     max_pages);
  S3ListResult page;
  while (pager.Next(&page)) {
    page.ParseList();
    if (page.m_iRetry != 0) return listed;
    for (S3ListedObject& object : page.ListedObjects()) {
      listed.objects.push_back(std::move(object));
    }
  }
  listed.complete = pager.Complete();
  return listed;
}

PathIndexObjects ListPathIndexObjects(const std::u16string& bucket,
                                      const std::u16string& path) {
  PathIndexObjects listed;
  const StoredObjects objects =
      ListStoredObjects(bucket, FileKeyOf(path) + u"_", ListingPager::kMaxPathPages);
  for (const S3ListedObject& object : objects.objects) {
    if (EndsWithIndexSuffix(object.key)) listed.keys.push_back(object.key);
  }
  listed.complete = objects.complete;
  return listed;
}

IndexObjectRead ReadIndexObject(const std::u16string& bucket, const std::u16string& key,
                                std::vector<IndexRecord>* records, std::string* why) {
  records->clear();
  const auto fail = [why, records](IndexObjectRead result, const std::string& reason) {
    if (why != nullptr) *why = reason;
    records->clear();
    return result;
  };
  GetObjectRequest get(bucket, key);
  get.m_iAnswerLimit = CS3InfoIndex::MaxObjectBytes(key);
  const S3Response object = S3Client().GetObject(get);
  if (object.m_iRetry != 0) {
    if (object.m_iStatus == 404) return fail(IndexObjectRead::kMissing, "not stored");
    return fail(IndexObjectRead::kNotFetched,
                object.m_iStatus > 0
                    ? "its index object could not be fetched (HTTP status " +
                          std::to_string(object.m_iStatus) + ")"
                    : std::string("its index object could not be fetched (no answer)"));
  }
  const int32_t used = object.GetBodyLength();
  if (ETagContradicts(object.m_strETag, object.GetBody(), static_cast<size_t>(used))) {
    return fail(IndexObjectRead::kDamaged,
                "its index object does not match its ETag (damaged or cut short)");
  }
  // Every record takes at least 32 bytes, so this many entries always hold
  // all of them, up to the most one version may have.
  std::vector<int32_t> positions(static_cast<size_t>(
      std::min(used / kIndexRecordMinimumSize + 1, CS3InfoIndex::kMaxRecords)));
  const IndexParseResult parsed = ParseIndexRecords(
      object.GetBody(), used, positions.data(), static_cast<int32_t>(positions.size()));
  if (!parsed.complete) {
    return fail(IndexObjectRead::kDamaged, "its index object is cut short or malformed");
  }
  for (int32_t i = 0; i < parsed.count; ++i) {
    IndexRecord record;
    if (DecodeIndexRecord(object.GetBody(), used, positions[i], &record) !=
        IndexRecordStatus::kRecord) {
      return fail(IndexObjectRead::kDamaged, "its index object is malformed");
    }
    records->push_back(std::move(record));
  }
  return IndexObjectRead::kWhole;
}

bool ReadChunkKeys(const std::u16string& bucket, const std::u16string& key,
                   std::vector<std::u16string>* chunks) {
  chunks->clear();
  std::vector<IndexRecord> records;
  if (ReadIndexObject(bucket, key, &records) != IndexObjectRead::kWhole) return false;
  for (IndexRecord& record : records) chunks->push_back(std::move(record.key));
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
  std::map<std::u16string, std::vector<std::u16string>> removed;  // index -> chunks
  // Chunks a remaining index object names; the known version's always.
  std::set<std::u16string> kept(removal.known_chunks.begin(), removal.known_chunks.end());
  for (const std::u16string& key : listing.keys) {
    if (!Contains(removal.index_keys, key) && key == removal.known_key) continue;
    std::vector<std::u16string> chunks;
    if (!ReadChunkKeys(removal.bucket, key, &chunks)) return RemovalResult::kRefused;
    if (Contains(removal.index_keys, key)) {
      removed[key] = std::move(chunks);
    } else {
      kept.insert(chunks.begin(), chunks.end());
    }
  }

  // The index objects first: from here on their versions are not listed.
  // One that cannot be deleted stays listed, and so do its chunks.
  std::vector<std::u16string> candidates = removal.released_chunks;
  bool all_gone = true;
  for (auto& [key, chunks] : removed) {
    if (DeleteStoredObject(removal.bucket, key)) {
      candidates.insert(candidates.end(), chunks.begin(), chunks.end());
    } else {
      all_gone = false;
      kept.insert(chunks.begin(), chunks.end());
    }
  }

  // Then the chunks no listed index object names.  One that cannot be
  // deleted is left behind unnamed.
  const std::u16string file_key = FileKeyOf(removal.path);
  std::set<std::u16string> deleted;
  for (const std::u16string& chunk : candidates) {
    if (!IsChunkKeyOf(chunk, file_key) || kept.count(chunk) != 0 ||
        !deleted.insert(chunk).second) {
      continue;
    }
    DeleteStoredObject(removal.data_bucket, chunk);
  }
  return all_gone ? RemovalResult::kRemoved : RemovalResult::kIncomplete;
}
