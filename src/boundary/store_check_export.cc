// The exported checks of the store: KeltoS3Verify and KeltoS3Prune.

#include <string>
#include <vector>

#include "KeltoS3.h"
#include "common/wide_string.h"
#include "layout/object_keys.h"
#include "layout/store_check.h"
#include "layout/version_removal.h"
#include "platform/env.h"
#include "settings/s3_config.h"

namespace {

constexpr long long kDefaultMinAgeSeconds = 24 * 60 * 60;

StoreBuckets BucketsFor(const wchar_t* bucket) {
  StoreBuckets buckets;
  if (bucket != nullptr && bucket[0] != 0) {
    buckets.bucket = WideToU16(bucket);
    buckets.data_bucket = buckets.bucket;
  } else {
    CS3Config config;
    buckets.bucket = config.GetBucket();
    buckets.data_bucket = config.GetDataBucket();
  }
  return buckets;
}

int OutcomeOf(VersionHealth health) {
  switch (health) {
    case VersionHealth::kIntact:
      return KELTOS3_VERIFY_INTACT;
    case VersionHealth::kDamaged:
      return KELTOS3_VERIFY_DAMAGED;
    case VersionHealth::kUnreadable:
      return KELTOS3_VERIFY_UNREADABLE;
    case VersionHealth::kMissing:
      return KELTOS3_VERIFY_MISSING;
  }
  return KELTOS3_VERIFY_DAMAGED;
}

}  // namespace

extern "C" int KeltoS3Verify(const wchar_t* const* names, int count, const wchar_t* bucket,
                             KeltoS3VerifyCallback callback, void* context) {
  try {
    if (count < 0 || (count > 0 && names == nullptr)) return KELTOS3_VERIFY_FAILED;
    const StoreBuckets buckets = BucketsFor(bucket);
    std::vector<std::u16string> index_keys;
    if (count == 0) {
      if (!ListIndexObjects(buckets.bucket, &index_keys)) return KELTOS3_VERIFY_FAILED;
    } else {
      for (int i = 0; i < count; ++i) {
        if (names[i] == nullptr) return KELTOS3_VERIFY_FAILED;
        index_keys.push_back(IndexKeyOf(FileKeyOf(WideToU16(names[i]))));
      }
    }
    int result = KELTOS3_VERIFY_OK;
    const int total = static_cast<int>(index_keys.size());
    for (int i = 0; i < total; ++i) {
      const std::u16string& key = index_keys[static_cast<size_t>(i)];
      const VersionCheck check = CheckVersion(buckets, key);
      if (check.health != VersionHealth::kIntact) result = KELTOS3_VERIFY_BAD;
      if (callback != nullptr) {
        const std::wstring name = U16ToWide(StoredNameOfIndexKey(key));
        const std::wstring detail = U16ToWide(Utf8ToU16(check.detail));
        callback(context, name.c_str(), OutcomeOf(check.health), detail.c_str(), i + 1, total);
      }
    }
    return result;
  } catch (...) {
    return KELTOS3_VERIFY_FAILED;
  }
}

extern "C" int KeltoS3Prune(const wchar_t* bucket, long long min_age_seconds, int flags,
                            KeltoS3PruneCallback callback, void* context) {
  try {
    const StoreBuckets buckets = BucketsFor(bucket);
    const bool dry_run = (flags & KELTOS3_PRUNE_DRY_RUN) != 0;
    const PrunePlan plan =
        PlanPrune(buckets, platform::CurrentEnv()->NowUnixSeconds(),
                  min_age_seconds < 0 ? kDefaultMinAgeSeconds : min_age_seconds);
    const auto report = [&](const std::u16string& key, uint64_t size, int outcome) {
      if (callback == nullptr) return;
      const std::wstring wide = U16ToWide(key);
      callback(context, wide.c_str(), size, outcome);
    };
    if (!plan.listed) return KELTOS3_PRUNE_FAILED;
    if (!plan.unreadable.empty()) {
      for (const std::u16string& key : plan.unreadable) report(key, 0, KELTOS3_PRUNE_UNREADABLE);
      return KELTOS3_PRUNE_REFUSED;
    }
    for (const OrphanChunk& chunk : plan.recent) report(chunk.key, chunk.size, KELTOS3_PRUNE_RECENT);
    int result = KELTOS3_PRUNE_OK;
    for (const OrphanChunk& chunk : plan.orphans) {
      if (dry_run) {
        report(chunk.key, chunk.size, KELTOS3_PRUNE_PLANNED);
      } else if (DeleteStoredObject(buckets.data_bucket, chunk.key)) {
        report(chunk.key, chunk.size, KELTOS3_PRUNE_REMOVED);
      } else {
        report(chunk.key, chunk.size, KELTOS3_PRUNE_NOT_REMOVED);
        result = KELTOS3_PRUNE_PARTIAL;
      }
    }
    return result;
  } catch (...) {
    return KELTOS3_PRUNE_FAILED;
  }
}
