#include "sync/sync_engine.h"

#include <cstdio>

#include "common/wide_string.h"
#include "fs/quexfs_manager.h"
#include "support/event_reporter.h"
#include "common/layout_policy.h"
#include "sync/in_use_pass.h"

namespace {

// Digits the sequence numbers of an action table of `capacity` entries
// need: five, or more when the largest number that fits (the capacity less
// the headers) is longer.  Numbers made after the table is full are dropped
// with their actions, so they need no room.
int SequenceDigits(int capacity) {
  int digits = 1;
  for (int64_t n = static_cast<int64_t>(capacity) - 5; n >= 10; n /= 10) ++digits;
  return digits > 5 ? digits : 5;
}

// Lowers *bound to the highest key of `map` when the map is full.
void BoundByFullMap(const CSortedMap<std::u16string>& map, bool* bounded,
                    std::u16string* bound) {
  if (map.Count() == 0 || map.Count() < map.Capacity()) return;
  const std::u16string last = map.KeyAt(map.Count() - 1);
  if (!*bounded || last < *bound) *bound = last;
  *bounded = true;
}

// The change tables hold every change two maps of `capacity` keys can
// differ by.
int ChangeTableCapacity(int capacity) {
  constexpr int kLargest = 1 << 30;
  return capacity > kLargest / 2 ? kLargest : 2 * capacity;
}

// The time text one second after `text`, or `text` when it does not
// convert.
std::u16string NextSecond(const std::u16string& text) {
  const platform::FileTime time = CQUEXFSManager::ParseTimeText(text);
  if (time == 0) return text;
  const std::u16string next =
      CQUEXFSManager::FormatTimeText(time + platform::kFileTimeTicksPerSecond);
  return next.empty() ? text : next;
}

}  // namespace

SyncObserver::~SyncObserver() = default;

void SyncObserver::OnConflict(const SyncConflict&) {}
void SyncObserver::OnTreesLoaded(CQUEXFSManager*, CQUEXFSManager*, CQUEXFSManager*) {}
void SyncObserver::OnPlan(const SyncPlan&) {}
void SyncObserver::OnActionStart(const std::u16string&, const SyncAction&) {}
bool SyncObserver::StopRequested() { return false; }

CSyncEngine::CSyncEngine(int capacity)
    : m_localDirChanges(ChangeTableCapacity(capacity)),
      m_remoteDirChanges(ChangeTableCapacity(capacity)),
      m_localFileChanges(ChangeTableCapacity(capacity)),
      m_remoteFileChanges(ChangeTableCapacity(capacity)),
      m_actions(capacity),
      m_deferred(capacity),
      m_iSequenceDigits(SequenceDigits(capacity)),
      m_pInUsePass(CurrentLayout().InUseRetry()) {
  if (m_pInUsePass != nullptr) m_pInUsePass->EngineStarted();
}

CSyncEngine::~CSyncEngine() {
  if (m_pInUsePass != nullptr) m_pInUsePass->EngineEnded();
}

int32_t CSyncEngine::RunSync(CQUEXFSManager* local, CQUEXFSManager* remote,
                             CQUEXFSManager* catalog) {
  Plan(local, remote, catalog);
  ApplyActions(local, remote, catalog);
  return 0;
}

int32_t CSyncEngine::Plan(CQUEXFSManager* local, CQUEXFSManager* remote,
                          CQUEXFSManager* catalog) {
  // One bound for the six maps: a directory above it has its files above it
  // too, so nothing is copied into a directory the run does not create.
  m_trees[SIDE_CATALOG] = catalog;
  m_trees[SIDE_LOCAL] = local;
  m_trees[SIDE_REMOTE] = remote;
  m_bBounded = false;
  m_strBound.clear();
  for (const CQUEXFSManager* tree : {local, remote, catalog}) {
    BoundByFullMap(tree->dirMap, &m_bBounded, &m_strBound);
    BoundByFullMap(tree->fileMap, &m_bBounded, &m_strBound);
  }
  DetectDirChanges(local, catalog, &m_localDirChanges);
  DetectDirChanges(remote, catalog, &m_remoteDirChanges);
  DetectFileChanges(local, catalog, &m_localFileChanges);
  DetectFileChanges(remote, catalog, &m_remoteFileChanges);
  // An edit saved within the second of the recorded version carries the
  // next second (DetectChanges); the local tree gives that time for it, so
  // that its upload names the new version with it.
  for (int i = 0; CurrentLayout().CarriesFileTimes() && i < m_localFileChanges.Count(); ++i) {
    const SyncChange change = m_localFileChanges.ValueAt(i);
    const std::u16string key = m_localFileChanges.KeyAt(i);
    if (change.m_strKind == kChangeUpdate && local->fileMap.Lookup(key) != change.m_strTime) {
      local->fileMap.Set(key, change.m_strTime);
    }
  }
  CountDeletions(*local, *remote, *catalog);
  Reconcile(local, remote, catalog);
  return 0;
}

// ---- Change detection ----------------------------------------------------

int32_t CSyncEngine::DetectDirChanges(CQUEXFSManager* tree,
                                      CQUEXFSManager* catalog,
                                      SyncChangeTable* out) {
  DetectChanges(*tree, *catalog, /*files=*/false, out);
  return 0;
}

int32_t CSyncEngine::DetectFileChanges(CQUEXFSManager* tree,
                                       CQUEXFSManager* catalog,
                                       SyncChangeTable* out) {
  DetectChanges(*tree, *catalog, /*files=*/true, out);
  return 0;
}

bool CSyncEngine::FileChanged(int32_t side, const std::u16string& key,
                              const std::u16string& tree_time,
                              const std::u16string& catalog_time) const {
  // Snapshot-assisted layout: the catalog's own time is the local side's;
  // the remote side's is kept beside it.  A record without the remote
  // side's time was written by an earlier release, whose records hold the
  // time of writing: only a later time is a change there.
  const CSortedMap<std::u16string>* records = m_times.remote_records;
  if (CurrentLayout().CarriesFileTimes()) {
    if (side == SIDE_REMOTE) return tree_time != catalog_time;
  } else if (records != nullptr) {
    if (records->Find(key) < 0) return catalog_time < tree_time;
    if (side == SIDE_REMOTE) {
      // To the millisecond where the server gives them.
      std::u16string listed_time = tree_time;
      if (m_times.remote_listed != nullptr) {
        const auto exact = m_times.remote_listed->find(key);
        if (exact != m_times.remote_listed->end()) listed_time = exact->second;
      }
      return listed_time != records->Lookup(key);
    }
  } else if (side == SIDE_REMOTE) {
    return tree_time != catalog_time;
  }
  if (m_times.local != nullptr && m_times.catalog != nullptr) {
    const auto live = m_times.local->find(key);
    const auto recorded = m_times.catalog->find(key);
    if (live != m_times.local->end() && recorded != m_times.catalog->end()) {
      const platform::FileTime l = live->second.time;
      const platform::FileTime c = recorded->second.time;
      if (l == c) return false;
      // A record of whole seconds that the live time falls within may have
      // been written by a release that kept seconds only.
      constexpr platform::FileTime kSecond = platform::kFileTimeTicksPerSecond;
      return !(m_times.whole_second_records && c % kSecond == 0 && l - l % kSecond == c);
    }
  }
  return tree_time != catalog_time;
}

void CSyncEngine::DetectChanges(const CQUEXFSManager& tree,
                                const CQUEXFSManager& catalog, bool files,
                                SyncChangeTable* out) {
  const CSortedMap<std::u16string>& c = files ? catalog.fileMap : catalog.dirMap;
  const CSortedMap<std::u16string>& t = files ? tree.fileMap : tree.dirMap;
  const int32_t side = &tree == m_trees[SIDE_REMOTE] ? SIDE_REMOTE : SIDE_LOCAL;
  out->RemoveAll();

  const int n = c.Count();
  const int m = t.Count();
  int i = 0;
  int j = 0;
  auto record = [out](const std::u16string& key, const char16_t* kind,
                      const std::u16string& time) {
    out->Set(key, SyncChange{kind, time});
  };
  // Keys above the bound are skipped on both sides alike, so the merge
  // stays in step.
  while (i < n) {
    const std::u16string catalog_key = c.KeyAt(i);
    if (!Considers(catalog_key)) {
      ++i;
      continue;
    }
    if (j >= m) {
      record(catalog_key, kChangeDelete, c.ValueAt(i));
      ++i;
      continue;
    }
    const std::u16string tree_key = t.KeyAt(j);
    if (!Considers(tree_key)) {
      ++j;
      continue;
    }
    if (catalog_key < tree_key) {
      record(catalog_key, kChangeDelete, c.ValueAt(i));
      ++i;
    } else if (catalog_key == tree_key) {
      const std::u16string tree_time = t.ValueAt(j);
      const std::u16string catalog_time = c.ValueAt(i);
      if (files && FileChanged(side, tree_key, tree_time, catalog_time)) {
        std::u16string time = tree_time;
        // Saved again within the second of the recorded version: its time
        // text, which names the stored version, is the recorded one.  The
        // change carries the next second, so that the new version gets a
        // name of its own that other machines see as a change.
        if (CurrentLayout().CarriesFileTimes() && time == catalog_time) {
          time = NextSecond(catalog_time);
        }
        record(tree_key, kChangeUpdate, time);
        Trace(u"UPDATEFILE : " + tree_key + u" from " + tree.GetRoot() +
              u" to " + catalog.GetRoot() + u" \r\n  the temp datetime is " +
              tree_time + u" \r\n  the standard datetiem is " + catalog_time +
              u"\r\n");
      }
      ++i;
      ++j;
    } else {
      record(tree_key, kChangeAdd, t.ValueAt(j));
      ++j;
    }
  }
  for (; j < m; ++j) {
    if (Considers(t.KeyAt(j))) record(t.KeyAt(j), kChangeAdd, t.ValueAt(j));
  }
}

void CSyncEngine::CountDeletions(const CQUEXFSManager& local,
                                 const CQUEXFSManager& remote,
                                 const CQUEXFSManager& catalog) {
  m_iLocalDeletions = 0;
  m_iRemoteDeletions = 0;
  m_iRecordedFiles = 0;
  // A file the catalog records that one side no longer lists is deleted on
  // the other, unless that side changed it and a change wins.
  const CSortedMap<std::u16string>& recorded = catalog.fileMap;
  for (int i = 0; i < recorded.Count(); ++i) {
    const std::u16string key = recorded.KeyAt(i);
    if (!Considers(key)) continue;
    ++m_iRecordedFiles;
    const int in_local = local.fileMap.Find(key);
    const int in_remote = remote.fileMap.Find(key);
    if ((in_local < 0) == (in_remote < 0)) continue;
    const int32_t keeper = in_local >= 0 ? SIDE_LOCAL : SIDE_REMOTE;
    const CQUEXFSManager& kept = in_local >= 0 ? local : remote;
    if (m_bKeepConflicts &&
        FileChanged(keeper, key, kept.fileMap.ValueAt(in_local >= 0 ? in_local : in_remote),
                    recorded.ValueAt(i))) {
      continue;
    }
    ++(keeper == SIDE_LOCAL ? m_iLocalDeletions : m_iRemoteDeletions);
  }
}

// ---- Observer --------------------------------------------------------------

void CSyncEngine::NotifyConflicts() {
  if (m_pObserver == nullptr) return;
  for (const auto& [conflict, index] : m_conflicts) {
    if (m_admitted.count(index) != 0) m_pObserver->OnConflict(conflict);
  }
}

void CSyncEngine::Notify(const std::u16string& key, const SyncAction& action,
                         SyncObserver::Outcome outcome, int32_t result) {
  if (m_pObserver != nullptr) m_pObserver->OnAction(key, action, outcome, result);
}
