#include "sync/sync_engine.h"

#include <cstdio>

#include "common/wide_string.h"
#include "fs/quexfs_manager.h"
#include "support/event_reporter.h"
#if defined(KELTOS3_SNAPSHOT_BUILD)
#include "snapshot/snapshot_pass.h"
#endif

namespace {

// Group headers of the action table, in the order Reconcile inserts them.
// Sorted, they fall into DIRADD, DIRDELETE, FILEADD, FILEDELETE, FILEUPDATE.
constexpr const char16_t* kGroupHeaders[] = {u"DIRADD", u"DIRDELETE", u"FILEADD",
                                             u"FILEDELETE", u"FILEUPDATE"};

bool IsGroupHeader(const std::u16string& key) {
  for (const char16_t* header : kGroupHeaders) {
    if (key == header) return true;
  }
  return false;
}

std::u16string Decimal(int32_t value) { return BytesToU16(std::to_string(value)); }

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

}  // namespace

SyncObserver::~SyncObserver() = default;
void SyncObserver::OnTreesLoaded(CQUEXFSManager*, CQUEXFSManager*, CQUEXFSManager*) {}
void SyncObserver::OnPlan(const SyncPlan&) {}
void SyncObserver::OnActionStart(const std::u16string&, const SyncAction&) {}
bool SyncObserver::StopRequested() { return false; }

void SyncObserver::OnConflict(const SyncConflict&) {}

CSyncEngine::CSyncEngine(int capacity)
    : m_localDirChanges(capacity),
      m_remoteDirChanges(capacity),
      m_localFileChanges(capacity),
      m_remoteFileChanges(capacity),
      m_actions(capacity),
#if defined(KELTOS3_SNAPSHOT_BUILD)
      m_deferred(capacity),
#endif
      m_iSequenceDigits(SequenceDigits(capacity)) {
#if defined(KELTOS3_SNAPSHOT_BUILD)
  InitializeEngineCom();
#endif
}

#if defined(KELTOS3_SNAPSHOT_BUILD)
CSyncEngine::~CSyncEngine() { UninitializeEngineCom(); }
#else
CSyncEngine::~CSyncEngine() = default;
#endif

int32_t CSyncEngine::RunSync(CQUEXFSManager* local, CQUEXFSManager* remote,
                             CQUEXFSManager* catalog) {
  // One bound for the six maps: a directory above it has its files above it
  // too, so nothing is copied into a directory the run does not create.
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
  SyncPlan plan;
  plan.bounded = m_bBounded;
  plan.bound = m_strBound;
  m_bBounded = false;
  Reconcile(local, remote, catalog);
  if (m_pObserver != nullptr) {
    plan.actions = &m_actions;
    plan.dropped = m_iSequence - (m_actions.Count() - 5);
    m_pObserver->OnPlan(plan);
  }
  ApplyActions(local, remote, catalog);
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

void CSyncEngine::DetectChanges(const CQUEXFSManager& tree,
                                const CQUEXFSManager& catalog, bool files,
                                SyncChangeTable* out) {
  const CSortedMap<std::u16string>& c = files ? catalog.fileMap : catalog.dirMap;
  const CSortedMap<std::u16string>& t = files ? tree.fileMap : tree.dirMap;
  out->RemoveAll();

  // Keys above the bound are skipped on both sides alike, so the merge
  // stays in step.
  auto considered = [this](const std::u16string& key) {
    return !(m_bBounded && m_strBound < key);
  };
  const int n = c.Count();
  const int m = t.Count();
  int i = 0;
  int j = 0;
  auto record = [out](const std::u16string& key, const char16_t* kind,
                      const std::u16string& time) {
    out->Set(key, SyncChange{kind, time});
  };
  while (i < n) {
    const std::u16string catalog_key = c.KeyAt(i);
    if (!considered(catalog_key)) {
      ++i;
      continue;
    }
    if (j >= m) {
      record(catalog_key, kChangeDelete, c.ValueAt(i));
      ++i;
      continue;
    }
    const std::u16string tree_key = t.KeyAt(j);
    if (!considered(tree_key)) {
      ++j;
      continue;
    }
    if (catalog_key < tree_key) {
      record(catalog_key, kChangeDelete, c.ValueAt(i));
      ++i;
    } else if (catalog_key == tree_key) {
      if (files) {
        const std::u16string tree_time = t.ValueAt(j);
        const std::u16string catalog_time = c.ValueAt(i);
        if (catalog_time < tree_time) {
          record(tree_key, kChangeUpdate, tree_time);
          Trace(u"UPDATEFILE : " + tree_key + u" from " + tree.GetRoot() +
                u" to " + catalog.GetRoot() + u" \r\n  the temp datetime is " +
                tree_time + u" \r\n  the standard datetiem is " + catalog_time +
                u"\r\n");
        }
      }
      ++i;
      ++j;
    } else {
      record(tree_key, kChangeAdd, t.ValueAt(j));
      ++j;
    }
  }
  for (; j < m; ++j) {
    if (considered(t.KeyAt(j))) record(t.KeyAt(j), kChangeAdd, t.ValueAt(j));
  }
}

// ---- Reconciliation ------------------------------------------------------

int32_t CSyncEngine::Reconcile(CQUEXFSManager*, CQUEXFSManager*, CQUEXFSManager*) {
  m_actions.RemoveAll();
  for (const char16_t* header : kGroupHeaders) m_actions.Set(header, SyncAction());
  m_iSequence = 0;
  ReconcilePhase(m_remoteFileChanges, m_localFileChanges, Phase::kFile);
  ReconcilePhase(m_remoteDirChanges, m_localDirChanges, Phase::kDir);
  return 0;
}

void CSyncEngine::Emit(Phase phase, const std::u16string& key,
                       const SyncChange& change, int32_t target, int32_t source) {
  ++m_iSequence;
  char number[24];
  std::snprintf(number, sizeof number, "%0*d", m_iSequenceDigits,
                static_cast<int>(m_iSequence));
  const std::u16string action_key =
      (phase == Phase::kFile ? u"FILE" : u"DIR") + change.m_strKind +
      BytesToU16(number);
  m_actions.Set(action_key, SyncAction{target, source, key, change.m_strTime, {}});
}

void CSyncEngine::Carry(Phase phase, const std::u16string& key,
                        const SyncChange& change, int32_t side) {
  const int32_t other = side == SIDE_LOCAL ? SIDE_REMOTE : SIDE_LOCAL;
  Emit(phase, key, change, other, side);
  Emit(phase, key, change, SIDE_CATALOG, side);
}

void CSyncEngine::ReconcilePhase(const SyncChangeTable& remote,
                                 const SyncChangeTable& local, Phase phase) {
  const int r_count = remote.Count();
  const int l_count = local.Count();
  int i = 0;
  int j = 0;
  while (i < r_count) {
    const std::u16string r_key = remote.KeyAt(i);
    const SyncChange r = remote.ValueAt(i);
    if (j >= l_count || r_key < local.KeyAt(j)) {
      Carry(phase, r_key, r, SIDE_REMOTE);
      ++i;
      continue;
    }
    const std::u16string l_key = local.KeyAt(j);
    if (r_key != l_key) {  // the remote key sorts after the local one
      Carry(phase, l_key, local.ValueAt(j), SIDE_LOCAL);
      ++j;
      continue;
    }
    // The same entry changed on both sides since the last run.
    const SyncChange l = local.ValueAt(j);
    const bool local_deleted = l.m_strKind == kChangeDelete;
    const bool remote_deleted = r.m_strKind == kChangeDelete;
    if (local_deleted && remote_deleted) {
      Emit(phase, r_key, r, SIDE_CATALOG, SIDE_REMOTE);
    } else if (local_deleted) {
      Carry(phase, l_key, l, SIDE_LOCAL);
    } else if (remote_deleted) {
      Carry(phase, r_key, r, SIDE_REMOTE);
    } else if (phase == Phase::kDir) {
      // Added on both sides: only the catalog needs to learn of it.
      Emit(phase, r_key, r, SIDE_CATALOG, SIDE_REMOTE);
    } else if (l.m_strTime < r.m_strTime) {
      Carry(phase, r_key, r, SIDE_REMOTE);
    } else {
      Carry(phase, l_key, l, SIDE_LOCAL);  // equal times go to the local side
    }
    ++i;
    ++j;
  }
  for (; j < l_count; ++j) Carry(phase, local.KeyAt(j), local.ValueAt(j), SIDE_LOCAL);
}

// ---- Application -----------------------------------------------------------

void CSyncEngine::Notify(const std::u16string& key, const SyncAction& action,
                         SyncObserver::Outcome outcome, int32_t result) {
  if (m_pObserver != nullptr) m_pObserver->OnAction(key, action, outcome, result);
}

int32_t CSyncEngine::ApplyActions(CQUEXFSManager* local, CQUEXFSManager* remote,
                                  CQUEXFSManager* catalog) {
  CQUEXFSManager* const sides[3] = {catalog, local, remote};
  auto side = [&sides](int32_t index) -> CQUEXFSManager* {
    return (index >= 0 && index < 3) ? sides[index] : nullptr;
  };
  const int count = m_actions.Count();
  m_bStopped = false;
#if defined(KELTOS3_SNAPSHOT_BUILD)
  ResetDeferredTable(&m_deferred);
#endif

  // [begin, end) of the group under `header`: the entries strictly between
  // it and the next header.
  auto group = [this, count](const char16_t* header, int* begin, int* end) {
    const int h = m_actions.Find(header);
    *begin = *end = 0;
    if (h < 0) return;
    *begin = h + 1;
    int e = *begin;
    while (e < count && !IsGroupHeader(m_actions.KeyAt(e))) ++e;
    *end = e;
  };

  auto trace = [](const std::u16string& key, const SyncAction& a) {
    Trace(key + u" : " + a.m_strName + u" from " + Decimal(a.m_iSource) +
          u" to " + Decimal(a.m_iTarget) + u" datetime is " + a.m_strTime + u"\r\n");
  };

  enum class Op { kCreateDir, kCopy, kUpdate, kRemoveFile, kRemoveDir };
  auto run = [&](Op op, const SyncAction& a) -> int32_t {
    CQUEXFSManager* target = side(a.m_iTarget);
    CQUEXFSManager* source = side(a.m_iSource);
    if (target == nullptr || source == nullptr) return 1;
    switch (op) {
      case Op::kCreateDir:
        return target->CreateDir(a.m_strName);
      case Op::kCopy:
        return target->CopyFileFrom(target->GetRoot(), a.m_strName, source,
                                    source->GetRoot(), a.m_strName);
      case Op::kUpdate:
        return target->UpdateFileFrom(target->GetRoot(), a.m_strName,
                                      a.m_strTime, source, 0);
      case Op::kRemoveFile:
        return target->RemoveFile(target->GetRoot(), a.m_strName);
      case Op::kRemoveDir:
        return target->RemoveDir(target->GetRoot(), a.m_strName);
    }
    return 1;
  };

  // Walks one group.  With the skip rule, a failed operation skips the next
  // entry when it names the same path: the catalog half of a failed
  // transfer.  A directory that could not be created (2; 1 means it exists)
  // is not recorded either, or the next run would take its absence for a
  // deletion and remove it on the other side.
  auto walk = [&](const char16_t* header, Op op, bool backwards, bool skip_rule) {
    if (m_bStopped) return;
    int begin, end;
    group(header, &begin, &end);
#if defined(KELTOS3_SNAPSHOT_BUILD)
    const std::u16string group_name = header;
    const bool defer = group_name == u"FILEADD" || group_name == u"FILEUPDATE";
#endif
    const int step = backwards ? -1 : 1;
    int k = backwards ? end - 1 : begin;
    while (backwards ? k >= begin : k < end) {
      const std::u16string key = m_actions.KeyAt(k);
      const SyncAction a = m_actions.ValueAt(k);
      // A stop request ends the walk only between paths, never between a
      // transfer and its catalog record.
      const bool same_path = k != (backwards ? end - 1 : begin) &&
                             m_actions.ValueAt(k - step).m_strName == a.m_strName;
      if (!m_bDryRun && !same_path && m_pObserver != nullptr &&
          m_pObserver->StopRequested()) {
        m_bStopped = true;
        return;
      }
      trace(key, a);
      int32_t r = 0;
      if (m_bDryRun) {
        Notify(key, a, SyncObserver::Outcome::kPlanned, 0);
      } else {
        if (m_pObserver != nullptr) m_pObserver->OnActionStart(key, a);
        r = run(op, a);
        Notify(key, a, SyncObserver::Outcome::kDone, r);
      }
#if defined(KELTOS3_SNAPSHOT_BUILD)
      if (defer && ShouldDefer(r, a.m_iSource)) m_deferred.Set(key, a);
#endif
      const int next = k + step;
      const bool failed = op == Op::kCreateDir ? r >= 2 : r != 0;
      if (skip_rule && failed && next >= begin && next < end &&
          m_actions.ValueAt(next).m_strName == a.m_strName) {
#if defined(KELTOS3_SNAPSHOT_BUILD)
        if (defer && ShouldDefer(r, m_actions.ValueAt(next).m_iSource)) {
          m_deferred.Set(m_actions.KeyAt(next), m_actions.ValueAt(next));
        }
#endif
        Notify(m_actions.KeyAt(next), m_actions.ValueAt(next),
               SyncObserver::Outcome::kSkipped, 0);
        k = next + step;
        continue;
      }
      k = next;
    }
  };

  walk(u"DIRADD", Op::kCreateDir, false, true);
  walk(u"FILEADD", Op::kCopy, false, true);
  walk(u"FILEUPDATE", Op::kUpdate, false, true);
  walk(u"FILEDELETE", Op::kRemoveFile, false, true);
  walk(u"DIRDELETE", Op::kRemoveDir, true, false);
#if defined(KELTOS3_SNAPSHOT_BUILD)
  if (!m_bStopped) RunSnapshotPass(m_deferred, sides, m_pObserver);
#endif
  return 0;
}
