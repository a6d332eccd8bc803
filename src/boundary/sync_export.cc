// The exported synchronisation entry for hosts that watch or rehearse a run.

#include <new>

#include "KeltoS3.h"
#include "common/wide_string.h"
#include "sync/sync_driver.h"
#include "sync/sync_engine.h"

namespace {

// Hands each action of a run to the host's callback.
class CallbackObserver final : public SyncObserver {
 public:
  CallbackObserver(KeltoS3SyncCallback callback, void* context)
      : callback_(callback), context_(context) {}

  void OnAction(const std::u16string& key, const SyncAction& action,
                Outcome outcome, int32_t result) override {
    if (callback_ == nullptr) return;
    int code = KELTOS3_SYNC_DONE;
    if (outcome == Outcome::kSkipped) code = KELTOS3_SYNC_SKIPPED;
    if (outcome == Outcome::kPlanned) code = KELTOS3_SYNC_PLANNED;
    const std::wstring wide_key = U16ToWide(key);
    const std::wstring name = U16ToWide(action.m_strName);
    const std::wstring time = U16ToWide(action.m_strTime);
    callback_(context_, wide_key.c_str(), name.c_str(), action.m_iSource,
              action.m_iTarget, time.c_str(), code, result);
  }

 private:
  const KeltoS3SyncCallback callback_;
  void* const context_;
};

}  // namespace

extern "C" int KeltoS3Synchronize(const wchar_t* local_root,
                                  const wchar_t* catalog_root,
                                  const wchar_t* s3_root, int flags,
                                  KeltoS3SyncCallback callback, void* context) {
  if (local_root == nullptr || catalog_root == nullptr || s3_root == nullptr) {
    return KELTOS3_SYNC_ERROR;
  }
  try {
    CallbackObserver observer(callback, context);
    SyncRunOptions options;
    options.dry_run = (flags & KELTOS3_SYNC_DRY_RUN) != 0;
    options.allow_empty = (flags & KELTOS3_SYNC_ALLOW_EMPTY) != 0;
    // The driver's results are the exported codes.
    static_assert(kSyncRunRemoteFailed == KELTOS3_SYNC_REMOTE_FAILED &&
                      kSyncRunLocalFailed == KELTOS3_SYNC_LOCAL_FAILED &&
                      kSyncRunRemoteEmpty == KELTOS3_SYNC_REMOTE_EMPTY &&
                      kSyncRunLocalEmpty == KELTOS3_SYNC_LOCAL_EMPTY &&
                      kSyncRunOtherLayout == KELTOS3_SYNC_OTHER_LAYOUT &&
                      kSyncRunCatalogOverlap == KELTOS3_SYNC_CATALOG_OVERLAP &&
                      kSyncRunTooManyDeletions == KELTOS3_SYNC_TOO_MANY_DELETIONS &&
                      kSyncRunOtherRemoteRoot == KELTOS3_SYNC_OTHER_REMOTE_ROOT,
                  "KeltoS3Synchronize returns the driver's results");
    return RunSynchronization(WideToU16(local_root), WideToU16(catalog_root),
                              WideToU16(s3_root), &observer, options);
  } catch (...) {
    return KELTOS3_SYNC_ERROR;
  }
}
