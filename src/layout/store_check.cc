#include "layout/store_check.h"

#include <algorithm>
#include <map>
#include <set>
#include <utility>

#include "common/wide_string.h"
#include "layout/chunk_check.h"
#include "layout/index_record.h"
#include "layout/version_removal.h"
#include "layout/object_keys.h"
#include "platform/file_time.h"
#include "s3/request_kinds.h"
#include "s3/s3_client.h"
#include "support/time_text.h"

namespace {

constexpr int kChunkAttempts = 5;

bool IsIndexObjectKey(const std::u16string& key) {
  return key.size() > kFilePrefixLength + kIndexSuffixLength &&
         key.compare(0, kFilePrefixLength, kFilePrefix) == 0 &&
         key.compare(key.size() - kIndexSuffixLength, kIndexSuffixLength, kIndexSuffix) == 0;
}

// "chunk 3 of 5 ($chunk$/a_..._00002)": chunks are counted from 1 for people.
std::string ChunkText(int32_t i, int32_t count, const std::u16string& key) {
  return "chunk " + std::to_string(i + 1) + " of " + std::to_string(count) + " (" +
         U16ToUtf8(key) + ")";
}

// Unix seconds of a listed LastModified text; `fallback` when it is none.
int64_t ListedSeconds(const std::u16string& text, int64_t fallback) {
  platform::FileTime time = 0;
  ParseTimeText(text, &time);
  if (time == 0) return fallback;
  return platform::UnixSecondsFromFileTime(time);
}

}  // namespace

bool ListIndexObjects(const std::u16string& bucket, std::vector<std::u16string>* keys) {
  keys->clear();
  const StoredObjects listed = ListStoredObjects(bucket, kFilePrefix);
  for (const S3ListedObject& object : listed.objects) {
    if (IsIndexObjectKey(object.key)) keys->push_back(object.key);
  }
  return listed.complete;
}

std::u16string StoredNameOfIndexKey(const std::u16string& index_key) {
  std::u16string name = index_key;
  if (IsIndexObjectKey(name)) {
    name = name.substr(kFilePrefixLength, name.size() - kFilePrefixLength - kIndexSuffixLength);
  }
  return ReplaceAll(name, u"/", u"\\");
}

VersionCheck CheckVersion(const StoreBuckets& buckets, const std::u16string& index_key) {
  VersionCheck check;
  std::vector<IndexRecord> records;
  std::string why;
  switch (ReadIndexObject(buckets.bucket, index_key, &records, &why)) {
    case IndexObjectRead::kWhole:
      break;
    case IndexObjectRead::kMissing:
      check.health = VersionHealth::kMissing;
      check.detail = "no stored version of that name";
      return check;
    case IndexObjectRead::kNotFetched:
      check.health = VersionHealth::kUnreadable;
      check.detail = why;
      return check;
    case IndexObjectRead::kDamaged:
      check.health = VersionHealth::kDamaged;
      check.detail = why;
      return check;
  }
  check.chunks = static_cast<int32_t>(records.size());
  if (records.empty()) {
    check.health = VersionHealth::kDamaged;
    check.detail = "its index object lists no chunk";
    return check;
  }
  check.bytes = records.back().end + 1;

  for (int32_t i = 0; i < check.chunks; ++i) {
    const IndexRecord& record = records[static_cast<size_t>(i)];
    ChunkFault fault = ChunkFault::kNone;
    int32_t status = 0;
    bool fetched = false;
    for (int attempt = 0; attempt < kChunkAttempts; ++attempt) {
      GetObjectRequest get(buckets.data_bucket, record.key);
      get.m_bBytesOnly = true;
      const S3Response answer = S3Client().GetObject(get);
      status = answer.m_iStatus;
      if (answer.m_iRetry != 0) {
        fetched = false;
        break;  // the request layer has made its own attempts
      }
      fetched = true;
      fault = CheckChunk(record, answer.GetBody(), answer.GetBodyLength(), answer.m_strETag);
      if (fault == ChunkFault::kNone) break;
    }
    const std::string where = ChunkText(i, check.chunks, record.key);
    if (!fetched && status == 404) {
      check.health = VersionHealth::kDamaged;
      check.detail = where + ": missing";
      return check;
    }
    if (!fetched) {
      check.health = VersionHealth::kUnreadable;
      check.detail = where + ": could not be fetched" +
                     (status > 0 ? " (HTTP status " + std::to_string(status) + ")"
                                 : std::string(" (no answer)"));
      return check;
    }
    if (fault != ChunkFault::kNone) {
      check.health = VersionHealth::kDamaged;
      check.detail = where + ": " + ChunkFaultText(fault);
      return check;
    }
  }
  return check;
}

PrunePlan PlanPrune(const StoreBuckets& buckets, int64_t now_unix_seconds,
                    int64_t min_age_seconds) {
  PrunePlan plan;
  // The chunks first, the index objects after them: a store that finishes
  // in between has its index object listed, one still running is young.
  const StoredObjects data = ListStoredObjects(buckets.data_bucket, std::u16string());
  if (!data.complete) return plan;
  // Index objects with the bucket each is read from.  A synchronised tree
  // keeps its index objects beside its chunks.
  std::vector<std::pair<std::u16string, std::u16string>> index_objects;
  std::vector<std::u16string> keys;
  if (!ListIndexObjects(buckets.bucket, &keys)) return plan;
  for (const std::u16string& key : keys) index_objects.emplace_back(buckets.bucket, key);
  if (buckets.data_bucket != buckets.bucket) {
    if (!ListIndexObjects(buckets.data_bucket, &keys)) return plan;
    for (const std::u16string& key : keys) index_objects.emplace_back(buckets.data_bucket, key);
  }
  plan.listed = true;

  std::set<std::u16string> named;
  for (const auto& [bucket, key] : index_objects) {
    std::vector<std::u16string> chunks;
    if (!ReadChunkKeys(bucket, key, &chunks)) {
      plan.unreadable.push_back(key);
      continue;
    }
    named.insert(chunks.begin(), chunks.end());
  }
  if (!plan.unreadable.empty()) return plan;

  // The unnamed chunks, by the version (or, in the earlier form, the path)
  // they were stored for, with the time the newest of them was stored.
  struct Group {
    std::vector<OrphanChunk> chunks;
    int64_t newest = 0;
  };
  std::map<std::u16string, Group> groups;
  for (const S3ListedObject& object : data.objects) {
    std::u16string group;
    if (!IsChunkKey(object.key, &group)) continue;
    if (named.count(object.key) != 0) {
      ++plan.named_chunks;
      continue;
    }
    Group& g = groups[group];
    g.chunks.push_back(OrphanChunk{object.key, object.size});
    // A time that cannot be read counts as now: the chunk is kept.
    g.newest = std::max(g.newest, ListedSeconds(object.last_modified, now_unix_seconds));
  }
  for (auto& [group, g] : groups) {
    std::vector<OrphanChunk>& into =
        now_unix_seconds - g.newest >= min_age_seconds ? plan.orphans : plan.recent;
    into.insert(into.end(), g.chunks.begin(), g.chunks.end());
  }
  return plan;
}
