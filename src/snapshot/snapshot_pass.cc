#include "snapshot/snapshot_pass.h"

#include <SnapKeeper.h>

#include <memory>
#include <vector>

#include "common/wide_string.h"
#include "fs/quexfs_manager.h"
#include "platform/com.h"

static_assert(kSnapshotPathBufferLength == kSnapKeeperPathMax,
              "the agent writes paths of up to kSnapKeeperPathMax characters");

namespace {

// The group headers of the action table, in the order they are inserted.
constexpr const char16_t* kGroupHeaders[] = {u"DIRADD", u"DIRDELETE", u"FILEADD",
                                             u"FILEDELETE", u"FILEUPDATE"};

bool IsGroupHeader(const std::u16string& key) {
  for (const char16_t* header : kGroupHeaders) {
    if (key == header) return true;
  }
  return false;
}

// One deferred action and the snapshot path its source is read from.
struct Retry {
  std::u16string key;
  SyncAction action;
  bool update = false;  // FILEUPDATE (else FILEADD)
};

// Appends the actions of the group under `header` in ascending key order.
void CollectGroup(const SyncActionTable& deferred, const char16_t* header,
                  bool update, std::vector<Retry>* out) {
  const int h = deferred.Find(header);
  if (h < 0) return;
  for (int k = h + 1; k < deferred.Count(); ++k) {
    const std::u16string key = deferred.KeyAt(k);
    if (IsGroupHeader(key)) break;
    out->push_back(Retry{key, deferred.ValueAt(k), update});
  }
}

CQUEXFSManager* Side(CQUEXFSManager* const sides[3], int32_t index) {
  return (index >= 0 && index < 3) ? sides[index] : nullptr;
}

// The text of an output buffer: up to its first NUL, never beyond its end.
std::u16string BufferText(const wchar_t* buffer) {
  size_t length = 0;
  while (length < static_cast<size_t>(kSnapshotPathBufferLength) &&
         buffer[length] != L'\0') {
    ++length;
  }
  return WideToU16(std::wstring_view(buffer, length));
}

}  // namespace

void ResetDeferredTable(SyncActionTable* deferred) {
  deferred->RemoveAll();
  for (const char16_t* header : kGroupHeaders) deferred->Set(header, SyncAction());
}

bool ShouldDefer(int32_t result, int32_t source) {
  return result == 2 && source == SIDE_LOCAL;
}

void RunSnapshotPass(const SyncActionTable& deferred,
                     CQUEXFSManager* const sides[3], SyncObserver* observer) {
  std::vector<Retry> retries;
  CollectGroup(deferred, u"FILEADD", /*update=*/false, &retries);
  CollectGroup(deferred, u"FILEUPDATE", /*update=*/true, &retries);
  if (retries.empty()) return;  // no file was in use: no agent

  const size_t n = retries.size();
  std::vector<std::wstring> source_paths;
  source_paths.reserve(n);
  for (const Retry& r : retries) {
    CQUEXFSManager* source = Side(sides, r.action.m_iSource);
    const std::u16string root = source != nullptr ? source->GetRoot() : std::u16string();
    source_paths.push_back(U16ToWide(root + r.action.m_strName));
  }
  std::vector<wchar_t*> source_pointers;
  for (std::wstring& path : source_paths) source_pointers.push_back(path.data());
  // Zeroed, so that a buffer the agent left alone reads as the empty text.
  std::unique_ptr<wchar_t[]> buffers(
      new wchar_t[n * static_cast<size_t>(kSnapshotPathBufferLength)]());
  std::vector<wchar_t*> output_pointers;
  for (size_t i = 0; i < n; ++i) {
    output_pointers.push_back(buffers.get() + i * kSnapshotPathBufferLength);
  }

  CSnapKeeper agent;
  const int started = agent.VssStartBackup2(source_pointers.data(),
                                            output_pointers.data(),
                                            static_cast<int>(n));
  if (started == 0) {
    size_t i = 0;
    while (i < n) {
      const Retry& r = retries[i];
      const std::u16string snap = BufferText(output_pointers[i]);
      CQUEXFSManager* target = Side(sides, r.action.m_iTarget);
      CQUEXFSManager* source = Side(sides, r.action.m_iSource);
      int32_t result = 1;
      if (target != nullptr && source != nullptr && !snap.empty()) {
        result = r.update ? target->ReplaceFileFrom(target->GetRoot(), r.action.m_strName,
                                                    r.action.m_strTime, source, u"", snap)
                          : target->CopyFileFrom(target->GetRoot(), r.action.m_strName,
                                                 source, u"", snap);
      }
      if (observer != nullptr) {
        observer->OnAction(r.key, r.action, SyncObserver::Outcome::kDone, result);
      }
      // A live side that still failed keeps the catalog as it was for the
      // path: recording it would make the next run take the missing copy
      // for a deletion on that side.
      const size_t next = i + 1;
      if (result != 0 && r.action.m_iTarget != SIDE_CATALOG && next < n &&
          retries[next].update == r.update &&
          retries[next].action.m_strName == r.action.m_strName) {
        if (observer != nullptr) {
          observer->OnAction(retries[next].key, retries[next].action,
                             SyncObserver::Outcome::kSkipped, 0);
        }
        i = next + 1;
        continue;
      }
      i = next;
    }
  }
  agent.VssBackupComplete();
}

namespace {
// Engines of this thread whose CoInitializeEx succeeded and that have not
// uninitialised yet.  A host thread that set COM up in another model makes
// CoInitializeEx fail; that engine then must not call CoUninitialize, which
// would take away the host's own initialisation.
thread_local int t_engine_com_initialisations = 0;
}  // namespace

void InitializeEngineCom() {
  // Success includes S_FALSE (COM already set up in this model), which
  // needs its CoUninitialize as well.
  if (platform::CoInitializeEx(nullptr, platform::kComMultithreaded) >= 0) {
    ++t_engine_com_initialisations;
  }
  platform::CoInitializeSecurity(nullptr, -1, nullptr, nullptr,
                                 platform::kComAuthnLevelPacketPrivacy,
                                 platform::kComImpLevelIdentify, nullptr,
                                 platform::kComCapabilitiesNone, nullptr);
}

void UninitializeEngineCom() {
  if (t_engine_com_initialisations == 0) return;
  --t_engine_com_initialisations;
  platform::CoUninitialize();
}
