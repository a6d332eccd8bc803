// KeltoS3SynchronizeEx: one synchronisation run with the report a host
// needs to tell the user what was carried, what was left out and why.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>

#include "KeltoS3.h"
#include "common/wide_string.h"
#include "fs/quexfs_manager.h"
#include "sync/sync_driver.h"
#include "sync/sync_engine.h"

namespace {

// The first versions of the structures: a caller's structure must hold at
// least these fields.
constexpr size_t kParamsFirstSize = sizeof(KeltoS3SyncParams);
constexpr size_t kReportFirstSize = sizeof(KeltoS3SyncReport);

// Progress is reported again once this many bytes passed.
constexpr std::uint64_t kProgressStep = 256 * 1024;

int LeftOutSlot(LeftOutReason reason) {
  switch (reason) {
    case LeftOutReason::kDotDirectory: return KELTOS3_LEFT_OUT_DOT_DIRECTORY;
    case LeftOutReason::kSymbolicLink: return KELTOS3_LEFT_OUT_LINK;
    case LeftOutReason::kNameHoldsBackslash: return KELTOS3_LEFT_OUT_NAME_BACKSLASH;
    case LeftOutReason::kNameNotText: return KELTOS3_LEFT_OUT_NAME_NOT_TEXT;
    case LeftOutReason::kWorkFileName: return KELTOS3_LEFT_OUT_WORK_FILE_NAME;
  }
  return KELTOS3_LEFT_OUT_NAME_NOT_TEXT;
}

// Copies `text` into a wide buffer of N characters, cut to fit, ended
// with a zero.
template <size_t N>
void CopyText(const std::u16string& text, wchar_t (&buffer)[N]) {
  const std::wstring wide = U16ToWide(text);
  const size_t n = std::min(wide.size(), N - 1);
  std::copy_n(wide.begin(), n, buffer);
  buffer[n] = L'\0';
}

// Keys of `map` above `bound`: entries a bounded run did not consider.
int64_t KeysAbove(const CSortedMap<std::u16string>& map, const std::u16string& bound) {
  int64_t above = 0;
  for (int i = map.Count() - 1; i >= 0 && bound < map.KeyAt(i); --i) ++above;
  return above;
}

// Collects the report of one run and hands each event to the host.
class ReportingObserver final : public SyncObserver {
 public:
  ReportingObserver(const KeltoS3SyncParams& params, KeltoS3SyncReport* report)
      : params_(params), report_(report) {}

  void OnTreesLoaded(CQUEXFSManager* local, CQUEXFSManager* remote,
                     CQUEXFSManager* catalog) override {
    sides_[SIDE_CATALOG] = catalog;
    sides_[SIDE_LOCAL] = local;
    sides_[SIDE_REMOTE] = remote;
    local->SetByteListener([this](std::uint64_t n) { OnBytes(n); });
    for (const LeftOutEntry& entry : local->LeftOut()) {
      const int slot = LeftOutSlot(entry.reason);
      ++left_out_[slot];
      if (params_.on_left_out != nullptr) {
        const std::wstring name = U16ToWide(entry.key);
        params_.on_left_out(params_.context, slot, name.c_str());
      }
    }
  }

  void OnPlan(const SyncPlan& plan) override {
    dropped_ = plan.dropped > 0 ? plan.dropped : 0;
    for (int i = 0; plan.actions != nullptr && i < plan.actions->Count(); ++i) {
      const SyncAction a = plan.actions->ValueAt(i);
      if (a.m_strName.empty()) continue;  // a group header
      ++planned_;
      if (a.m_iTarget != SIDE_CATALOG) ++transfers_total_;
    }
    // Entries a bounded run left alone: those the local scan found beyond
    // its maps, and those above the bound in the live maps.
    const CQUEXFSManager* local = sides_[SIDE_LOCAL];
    const CQUEXFSManager* remote = sides_[SIDE_REMOTE];
    if (local == nullptr || remote == nullptr) return;
    int64_t beyond = local->ScannedDirCount() - local->dirMap.Count() +
                     local->ScannedFileCount() - local->fileMap.Count();
    bool full = false;
    for (const CQUEXFSManager* fs : {local, remote, static_cast<const CQUEXFSManager*>(sides_[SIDE_CATALOG])}) {
      for (const CSortedMap<std::u16string>* map : {&fs->dirMap, &fs->fileMap}) {
        full = full || (map->Count() > 0 && map->Count() >= map->Capacity());
      }
    }
    if (plan.bounded) {
      for (const CQUEXFSManager* fs : {local, remote}) {
        beyond += KeysAbove(fs->dirMap, plan.bound) + KeysAbove(fs->fileMap, plan.bound);
      }
    }
    left_out_[KELTOS3_LEFT_OUT_CAPACITY] += beyond > 0 ? beyond : 0;
    capacity_reached_ = full;
  }

  void OnActionStart(const std::u16string& key, const SyncAction& action) override {
    for (CQUEXFSManager* fs : sides_) {
      if (fs != nullptr) fs->TakeFailureNote();  // notes of earlier actions
    }
    current_key_ = key;
    current_ = action;
    action_bytes_ = 0;
    last_progress_ = 0;
    Progress();
  }

  void OnAction(const std::u16string& key, const SyncAction& action,
                Outcome outcome, int32_t result) override {
    int code = KELTOS3_SYNC_DONE;
    if (outcome == Outcome::kSkipped) code = KELTOS3_SYNC_SKIPPED;
    if (outcome == Outcome::kPlanned) code = KELTOS3_SYNC_PLANNED;
    int failed_side = -1;
    std::u16string failure;
    if (outcome == Outcome::kDone && result != 0) {
      FindFailure(action, &failed_side, &failure);
    }
    // The bytes moved since the last action ended are this action's (the
    // snapshot pass of the snapshot-assisted build retries actions without
    // starting them anew).
    const bool moved = outcome == Outcome::kDone && result == 0 &&
                       action.m_iTarget != SIDE_CATALOG;
    const std::uint64_t bytes = moved ? action_bytes_ : 0;
    action_bytes_ = 0;
    last_progress_ = 0;
    if (moved && action.m_iTarget == SIDE_REMOTE) bytes_sent_ += bytes;
    if (moved && action.m_iTarget == SIDE_LOCAL) bytes_received_ += bytes;
    if (outcome == Outcome::kDone && action.m_iTarget != SIDE_CATALOG &&
        key == current_key_) {
      ++transfers_done_;
    }
    if (params_.on_action == nullptr) return;
    const std::wstring wide_key = U16ToWide(key);
    const std::wstring name = U16ToWide(action.m_strName);
    const std::wstring source_name = U16ToWide(
        action.m_strSourceName.empty() ? action.m_strName : action.m_strSourceName);
    const std::wstring time = U16ToWide(action.m_strTime);
    const std::wstring note = U16ToWide(failure);
    KeltoS3SyncActionInfo info{};
    info.size = sizeof info;
    info.action_key = wide_key.c_str();
    info.name = name.c_str();
    info.source_name = source_name.c_str();
    info.source = action.m_iSource;
    info.target = action.m_iTarget;
    info.time = time.c_str();
    info.outcome = code;
    info.result = result;
    info.failed_side = failed_side;
    info.failure = note.c_str();
    info.bytes = bytes;
    params_.on_action(params_.context, &info);
  }

  // The engine asks only while actions are left: a request after the last
  // one stops nothing.
  void OnConflict(const SyncConflict& conflict) override {
    if (params_.on_conflict == nullptr) return;
    int kind = KELTOS3_CONFLICT_BOTH_CHANGED;
    if (conflict.kind == SyncConflict::Kind::kDeletedAndChanged) {
      kind = KELTOS3_CONFLICT_DELETED_AND_CHANGED;
    } else if (conflict.kind == SyncConflict::Kind::kFileAndDirectory) {
      kind = KELTOS3_CONFLICT_FILE_AND_DIRECTORY;
    }
    const std::wstring name = U16ToWide(conflict.name);
    const std::wstring copy = U16ToWide(conflict.copy_name);
    params_.on_conflict(params_.context, kind, name.c_str(), conflict.winner, copy.c_str());
  }

  bool StopRequested() override {
    if (params_.stop != nullptr && *params_.stop != 0) stopped_ = true;
    return stopped_;
  }

  // Fills the host's report.
  void Fill(const SyncRunFacts& facts) const {
    if (report_ == nullptr) return;
    report_->refused_deletions = facts.refused_side == SIDE_LOCAL ? facts.local_deletions
                                                                  : facts.remote_deletions;
    report_->recorded_files = facts.recorded_files;
    report_->max_delete_percent = facts.max_delete_percent;
    report_->refused_side = facts.refused_side;
    CopyText(facts.catalog_remote_root, report_->catalog_remote_root);
    CopyText(facts.run_remote_root, report_->run_remote_root);
    report_->stopped = stopped_ ? 1 : 0;
    report_->actions_planned = planned_;
    report_->actions_dropped = dropped_;
    report_->bytes_sent = bytes_sent_;
    report_->bytes_received = bytes_received_;
    for (int i = 0; i < KELTOS3_LEFT_OUT_SLOTS; ++i) {
      report_->left_out[i] = static_cast<unsigned int>(
          std::min<int64_t>(left_out_[i], 0xFFFFFFFFLL));
    }
    report_->capacity_reached = capacity_reached_ ? 1 : 0;
  }

 private:
  void OnBytes(std::uint64_t n) {
    action_bytes_ += n;
    if (action_bytes_ - last_progress_ >= kProgressStep) {
      last_progress_ = action_bytes_;
      Progress();
    }
  }

  void Progress() const {
    if (params_.on_progress == nullptr || current_key_.empty()) return;
    const std::wstring key = U16ToWide(current_key_);
    const std::wstring name = U16ToWide(current_.m_strName);
    KeltoS3SyncProgress progress{};
    progress.size = sizeof progress;
    progress.action_key = key.c_str();
    progress.name = name.c_str();
    progress.source = current_.m_iSource;
    progress.target = current_.m_iTarget;
    progress.transfers_total = transfers_total_;
    progress.transfers_done = transfers_done_;
    progress.bytes = bytes_sent_ + bytes_received_ + action_bytes_;
    params_.on_progress(params_.context, &progress);
  }

  // The side whose part of a failed action failed: the first that noted a
  // cause, else the target (the side that answered with the failure).  A
  // transfer between live sides that the local tree noted nothing about
  // failed on the remote side, whichever way it went.
  void FindFailure(const SyncAction& action, int* side, std::u16string* note) {
    for (int s : {SIDE_LOCAL, SIDE_REMOTE, SIDE_CATALOG}) {
      if (sides_[s] == nullptr) continue;
      std::u16string text = sides_[s]->TakeFailureNote();
      if (!text.empty() && note->empty()) {
        *side = s;
        *note = std::move(text);
      }
    }
    if (*side >= 0) return;
    *side = action.m_iTarget;
    if (action.m_iTarget == SIDE_LOCAL && action.m_iSource == SIDE_REMOTE) {
      *side = SIDE_REMOTE;  // the local tree would have noted its own part
    }
  }

  const KeltoS3SyncParams& params_;
  KeltoS3SyncReport* const report_;
  CQUEXFSManager* sides_[3] = {nullptr, nullptr, nullptr};
  std::u16string current_key_;
  SyncAction current_;
  std::uint64_t action_bytes_ = 0;
  std::uint64_t last_progress_ = 0;
  std::uint64_t bytes_sent_ = 0;
  std::uint64_t bytes_received_ = 0;
  int planned_ = 0;
  int dropped_ = 0;
  int transfers_total_ = 0;
  int transfers_done_ = 0;
  int64_t left_out_[KELTOS3_LEFT_OUT_SLOTS] = {};
  bool capacity_reached_ = false;
  bool stopped_ = false;
};

}  // namespace

extern "C" int KeltoS3SynchronizeEx(const wchar_t* local_root,
                                    const wchar_t* catalog_root,
                                    const wchar_t* s3_root,
                                    KeltoS3SyncParams* params) {
  if (local_root == nullptr || catalog_root == nullptr || s3_root == nullptr ||
      params == nullptr || params->size < kParamsFirstSize) {
    return KELTOS3_SYNC_ERROR;
  }
  KeltoS3SyncReport* report = params->report;
  if (report != nullptr) {
    if (report->size < kReportFirstSize) return KELTOS3_SYNC_ERROR;
    const unsigned int size = report->size;
    // Only the first version's fields are known to this library.
    *report = KeltoS3SyncReport{};
    report->size = size;
  }
  try {
    ReportingObserver observer(*params, report);
    SyncRunOptions options;
    options.dry_run = (params->flags & KELTOS3_SYNC_DRY_RUN) != 0;
    options.allow_empty = (params->flags & KELTOS3_SYNC_ALLOW_EMPTY) != 0;
    options.max_delete_percent = params->max_delete_percent < 0 ? -1 : params->max_delete_percent;
    SyncRunFacts facts;
    const int32_t result =
        RunSynchronization(WideToU16(local_root), WideToU16(catalog_root),
                           WideToU16(s3_root), &observer, options, &facts);
    observer.Fill(facts);
    return result;
  } catch (...) {
    return KELTOS3_SYNC_ERROR;
  }
}
