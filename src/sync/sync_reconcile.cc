// Reconciliation: the merges of the change tables into the run's plan, and
// the conflicts they settle (see sync_engine.h, "Reconciliation").

#include "sync/conflict_names.h"
#include "sync/sync_engine.h"

int32_t CSyncEngine::Reconcile(CQUEXFSManager* local, CQUEXFSManager* remote,
                               CQUEXFSManager* catalog) {
  m_trees[SIDE_CATALOG] = catalog;
  m_trees[SIDE_LOCAL] = local;
  m_trees[SIDE_REMOTE] = remote;
  m_plan.clear();
  m_byPath.clear();
  m_byUnit.clear();
  m_plannedNames.clear();
  m_conflicts.clear();
  m_iUnits = 0;
  ReconcilePhase(m_remoteFileChanges, m_localFileChanges, Phase::kFile);
  ReconcilePhase(m_remoteDirChanges, m_localDirChanges, Phase::kDir);
  ProvideDirectories();
  SettleTypeConflicts();
  ProvideDirectories();
  LinkDependencies();
  Admit();
  NotifyConflicts();
  return 0;
}

int CSyncEngine::PlanAction(Phase phase, const std::u16string& kind,
                            const std::u16string& key, const std::u16string& time,
                            int32_t target, int32_t source, int unit,
                            const std::u16string& source_name) {
  Planned p;
  p.phase = phase;
  p.kind = kind;
  p.action = SyncAction{target, source, key, time, source_name};
  p.unit = unit;
  const int index = static_cast<int>(m_plan.size());
  m_plan.push_back(std::move(p));
  std::u16string path(1, static_cast<char16_t>(u'0' + target));
  path += phase == Phase::kFile ? u'F' : u'D';
  m_byPath[path + key].push_back(index);
  m_byUnit[unit].push_back(index);
  m_plannedNames.insert(key);
  return index;
}

int CSyncEngine::Carry(Phase phase, const std::u16string& key,
                       const SyncChange& change, int32_t side) {
  const int32_t other = side == SIDE_LOCAL ? SIDE_REMOTE : SIDE_LOCAL;
  const int unit = NewUnit();
  const int live = PlanAction(phase, change.m_strKind, key, change.m_strTime,
                              other, side, unit);
  const int record = PlanAction(phase, change.m_strKind, key, change.m_strTime,
                                SIDE_CATALOG, side, unit);
  // The catalog records what reached the live side.  A local directory
  // that could not be removed (it holds what no tree lists) is forgotten
  // all the same: the next run brings it back to the other side.
  const bool local_dir_removal = phase == Phase::kDir &&
                                 change.m_strKind == kChangeDelete &&
                                 other == SIDE_LOCAL;
  if (!local_dir_removal) m_plan[record].needs.push_back(live);
  return live;
}

int CSyncEngine::KeepCopy(int32_t side, const std::u16string& key,
                          const std::u16string& time, std::u16string* copy_name) {
  const int32_t other = side == SIDE_LOCAL ? SIDE_REMOTE : SIDE_LOCAL;
  const std::u16string name = ConflictCopyName(
      key, time, [this](const std::u16string& n) { return NameTaken(n); });
  const int unit = NewUnit();
  const int here = PlanAction(Phase::kFile, kChangeAdd, name, time, side, side, unit, key);
  const int there = PlanAction(Phase::kFile, kChangeAdd, name, time, other, side, unit, key);
  const int record =
      PlanAction(Phase::kFile, kChangeAdd, name, time, SIDE_CATALOG, side, unit, key);
  m_plan[record].needs = {here, there};
  *copy_name = name;
  return here;
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
    if (phase == Phase::kFile) {
      SettleFileConflict(r_key, l, r);
    } else if (l.m_strKind == kChangeDelete && r.m_strKind == kChangeDelete) {
      PlanAction(phase, kChangeDelete, r_key, r.m_strTime, SIDE_CATALOG,
                 SIDE_REMOTE, NewUnit());
    } else if (l.m_strKind == kChangeDelete) {
      Carry(phase, l_key, l, SIDE_LOCAL);
    } else if (r.m_strKind == kChangeDelete) {
      Carry(phase, r_key, r, SIDE_REMOTE);
    } else {
      // Added on both sides: only the catalog needs to learn of it.
      PlanAction(phase, kChangeAdd, r_key, r.m_strTime, SIDE_CATALOG, SIDE_REMOTE,
                 NewUnit());
    }
    ++i;
    ++j;
  }
  for (; j < l_count; ++j) Carry(phase, local.KeyAt(j), local.ValueAt(j), SIDE_LOCAL);
}

void CSyncEngine::SettleFileConflict(const std::u16string& key, const SyncChange& l,
                                     const SyncChange& r) {
  const bool local_deleted = l.m_strKind == kChangeDelete;
  const bool remote_deleted = r.m_strKind == kChangeDelete;
  if (local_deleted && remote_deleted) {
    PlanAction(Phase::kFile, kChangeDelete, key, r.m_strTime, SIDE_CATALOG,
               SIDE_REMOTE, NewUnit());
    return;
  }
  SyncConflict conflict;
  conflict.name = key;
  if (local_deleted || remote_deleted) {
    conflict.kind = SyncConflict::Kind::kDeletedAndChanged;
    const int32_t deleter = local_deleted ? SIDE_LOCAL : SIDE_REMOTE;
    const int32_t changer = local_deleted ? SIDE_REMOTE : SIDE_LOCAL;
    int carried;
    if (m_bKeepConflicts) {
      // The change wins: the file comes back, as an added one, where it
      // was deleted.
      const SyncChange& change = local_deleted ? r : l;
      carried = Carry(Phase::kFile, key, SyncChange{kChangeAdd, change.m_strTime}, changer);
      conflict.winner = changer;
    } else {
      carried = Carry(Phase::kFile, key, local_deleted ? l : r, deleter);
      conflict.winner = deleter;
    }
    m_conflicts.emplace_back(conflict, carried);
    return;
  }
  // Changed on both sides: the later time wins, equal times the local side.
  const int32_t winner = l.m_strTime < r.m_strTime ? SIDE_REMOTE : SIDE_LOCAL;
  const int32_t loser = winner == SIDE_LOCAL ? SIDE_REMOTE : SIDE_LOCAL;
  const SyncChange& won = winner == SIDE_LOCAL ? l : r;
  const SyncChange& lost = winner == SIDE_LOCAL ? r : l;
  // Added on both sides with one time: the same file, most likely (a tree
  // restored on both machines, a new catalog); no conflict.
  const bool same = l.m_strKind == kChangeAdd && r.m_strKind == kChangeAdd &&
                    l.m_strTime == r.m_strTime;
  conflict.kind = SyncConflict::Kind::kBothChanged;
  conflict.winner = winner;
  if (m_bKeepConflicts && !same) {
    const int copy = KeepCopy(loser, key, lost.m_strTime, &conflict.copy_name);
    const int carried = Carry(Phase::kFile, key, won, winner);
    m_plan[carried].needs.push_back(copy);
    m_conflicts.emplace_back(conflict, carried);
    return;
  }
  const int carried = Carry(Phase::kFile, key, won, winner);
  if (!same) m_conflicts.emplace_back(conflict, carried);
}

