// The fix-ups of a run's plan and its admission under the cap (see
// sync_engine.h, "Dependencies" and "Capacity").

#include <algorithm>
#include <cstdio>
#include <set>

#include "common/wide_string.h"
#include "sync/sync_engine.h"

namespace {

// The directories above `key`, outermost first ("\a\b\c" -> "\a", "\a\b").
std::vector<std::u16string> Ancestors(const std::u16string& key) {
  std::vector<std::u16string> out;
  for (size_t at = key.find(u'\\', 1); at != std::u16string::npos;
       at = key.find(u'\\', at + 1)) {
    out.push_back(key.substr(0, at));
  }
  return out;
}

// The index key of plan entries of `target`, `files` or directories, `key`.
std::u16string PathCode(int32_t target, bool files, const std::u16string& key) {
  std::u16string code(1, static_cast<char16_t>(u'0' + target));
  code += files ? u'F' : u'D';
  return code + key;
}

}  // namespace

bool CSyncEngine::Has(int32_t side, Phase phase, const std::u16string& key) const {
  const CQUEXFSManager* tree = Tree(side);
  if (tree == nullptr) return false;
  return (phase == Phase::kFile ? tree->fileMap : tree->dirMap).Find(key) >= 0;
}

std::vector<int> CSyncEngine::PlannedFor(int32_t target, Phase phase,
                                         const std::u16string& key) const {
  std::vector<int> out;
  const auto found = m_byPath.find(PathCode(target, phase == Phase::kFile, key));
  if (found == m_byPath.end()) return out;
  for (const int index : found->second) {
    if (!m_plan[index].cancelled) out.push_back(index);
  }
  return out;
}

bool CSyncEngine::EndsAsFile(int32_t side, const std::u16string& key) const {
  bool ends = Has(side, Phase::kFile, key);
  for (const int index : PlannedFor(side, Phase::kFile, key)) {
    ends = m_plan[index].kind != kChangeDelete;
  }
  return ends;
}

bool CSyncEngine::EndsAsDirectory(int32_t side, const std::u16string& key) const {
  bool ends = Has(side, Phase::kDir, key);
  for (const int index : PlannedFor(side, Phase::kDir, key)) {
    ends = m_plan[index].kind != kChangeDelete;
  }
  return ends;
}

bool CSyncEngine::NameTaken(const std::u16string& key) const {
  if (m_plannedNames.count(key) != 0) return true;
  for (int32_t side : {SIDE_CATALOG, SIDE_LOCAL, SIDE_REMOTE}) {
    if (Has(side, Phase::kFile, key) || Has(side, Phase::kDir, key)) return true;
  }
  return false;
}

void CSyncEngine::CancelUnit(int unit) {
  for (const int index : m_byUnit[unit]) m_plan[index].cancelled = true;
}

// ---- Directories the files need ---------------------------------------------

void CSyncEngine::EnsureDirectory(int32_t target, const std::u16string& dir,
                                  int32_t source, const std::u16string& time) {
  if (EndsAsDirectory(target, dir)) return;
  // The directory goes (one side removed it) while the other adds to it:
  // it stays wherever it is.
  for (int32_t side : {SIDE_CATALOG, SIDE_LOCAL, SIDE_REMOTE}) {
    for (const int index : PlannedFor(side, Phase::kDir, dir)) {
      if (m_plan[index].kind == kChangeDelete) CancelUnit(m_plan[index].unit);
    }
  }
  if (EndsAsDirectory(target, dir)) return;
  const int unit = NewUnit();
  int live = -1;
  if (target != SIDE_CATALOG) {
    live = PlanAction(Phase::kDir, kChangeAdd, dir, time, target, source, unit);
  }
  if (!EndsAsDirectory(SIDE_CATALOG, dir)) {
    const int record =
        PlanAction(Phase::kDir, kChangeAdd, dir, time, SIDE_CATALOG, source, unit);
    if (live >= 0) m_plan[record].needs.push_back(live);
  }
}

void CSyncEngine::ProvideDirectories() {
  // The plan grows while it is walked; entries are copied before use.
  for (size_t i = 0; i < m_plan.size(); ++i) {
    if (m_plan[i].cancelled || m_plan[i].kind == kChangeDelete) continue;
    const SyncAction a = m_plan[i].action;
    for (const std::u16string& dir : Ancestors(a.m_strName)) {
      EnsureDirectory(a.m_iTarget, dir, a.m_iSource, a.m_strTime);
    }
  }
}

// ---- A file on one side, a directory on the other ---------------------------

void CSyncEngine::SettleTypeConflicts() {
  // Paths that would end as a file and a directory on one live side.
  std::set<std::u16string> paths;
  for (int32_t side : {SIDE_LOCAL, SIDE_REMOTE}) {
    std::vector<std::u16string> files;
    const CSortedMap<std::u16string>& listed = Tree(side)->fileMap;
    for (int i = 0; i < listed.Count(); ++i) files.push_back(listed.KeyAt(i));
    for (const Planned& p : m_plan) {
      if (!p.cancelled && p.phase == Phase::kFile && p.action.m_iTarget == side) {
        files.push_back(p.action.m_strName);
      }
    }
    for (const std::u16string& key : files) {
      if (Considers(key) && EndsAsFile(side, key) && EndsAsDirectory(side, key)) {
        paths.insert(key);
      }
    }
  }

  for (const std::u16string& key : paths) {
    // The file's content: where a transfer of it would bring it from, or
    // the side that keeps it.
    int32_t holder = EndsAsFile(SIDE_LOCAL, key) && Has(SIDE_LOCAL, Phase::kFile, key)
                         ? SIDE_LOCAL
                         : SIDE_REMOTE;
    for (int32_t side : {SIDE_LOCAL, SIDE_REMOTE}) {
      for (const int index : PlannedFor(side, Phase::kFile, key)) {
        if (m_plan[index].kind != kChangeDelete) holder = m_plan[index].action.m_iSource;
      }
    }
    const int32_t other = holder == SIDE_LOCAL ? SIDE_REMOTE : SIDE_LOCAL;
    for (int32_t side : {SIDE_CATALOG, SIDE_LOCAL, SIDE_REMOTE}) {
      for (const int index : PlannedFor(side, Phase::kFile, key)) {
        CancelUnit(m_plan[index].unit);
      }
    }

    // The directory keeps the path; the file is kept under a conflict
    // copy's name, and under another one the other side's edit of it.
    SyncConflict conflict;
    conflict.kind = SyncConflict::Kind::kFileAndDirectory;
    conflict.name = key;
    conflict.winner = Has(SIDE_LOCAL, Phase::kDir, key) ? SIDE_LOCAL : SIDE_REMOTE;
    const int copy = KeepCopy(holder, key, Tree(holder)->fileMap.Lookup(key),
                              &conflict.copy_name);
    int other_copy = -1;
    const SyncChangeTable& other_changes =
        other == SIDE_LOCAL ? m_localFileChanges : m_remoteFileChanges;
    const int changed = other_changes.Find(key);
    if (m_bKeepConflicts && Has(other, Phase::kFile, key) && changed >= 0 &&
        other_changes.ValueAt(changed).m_strKind != kChangeDelete) {
      std::u16string name;
      other_copy = KeepCopy(other, key, Tree(other)->fileMap.Lookup(key), &name);
    }

    // The file goes from every side that has it, once its content is kept.
    std::vector<int> removals;
    for (int32_t side : {SIDE_LOCAL, SIDE_REMOTE}) {
      if (!Has(side, Phase::kFile, key)) continue;
      const int removal =
          PlanAction(Phase::kFile, kChangeDelete, key, Tree(side)->fileMap.Lookup(key),
                     side, side == SIDE_LOCAL ? SIDE_REMOTE : SIDE_LOCAL, NewUnit());
      if (side == holder) m_plan[removal].needs.push_back(copy);
      if (side == other && other_copy >= 0) m_plan[removal].needs.push_back(other_copy);
      removals.push_back(removal);
    }
    if (Has(SIDE_CATALOG, Phase::kFile, key)) {
      const int record = PlanAction(Phase::kFile, kChangeDelete, key,
                                    Tree(SIDE_CATALOG)->fileMap.Lookup(key),
                                    SIDE_CATALOG, holder, NewUnit());
      m_plan[record].needs = removals;
    }
    // And the directory is everywhere.
    const int32_t dir_side = conflict.winner;
    const std::u16string dir_time = Tree(dir_side)->dirMap.Lookup(key);
    for (int32_t side : {SIDE_LOCAL, SIDE_REMOTE, SIDE_CATALOG}) {
      EnsureDirectory(side, key, dir_side, dir_time);
    }

    bool noted = false;
    for (auto& [noted_conflict, index] : m_conflicts) {
      if (noted_conflict.name != key) continue;
      noted_conflict = conflict;
      index = copy;
      noted = true;
    }
    if (!noted) m_conflicts.emplace_back(conflict, copy);
  }
}

// ---- Dependencies -------------------------------------------------------------

void CSyncEngine::LinkDependencies() {
  // Adds the entries of `needed` that add (or, `removals`, remove).
  auto need_all = [this](int index, const std::vector<int>& needed, bool removals) {
    for (const int n : needed) {
      if (n != index && (m_plan[n].kind == kChangeDelete) == removals) {
        m_plan[index].needs.push_back(n);
      }
    }
  };
  for (size_t i = 0; i < m_plan.size(); ++i) {
    if (m_plan[i].cancelled) continue;
    const int index = static_cast<int>(i);
    const Planned p = m_plan[i];
    const int32_t target = p.action.m_iTarget;
    const std::u16string& name = p.action.m_strName;
    if (p.kind != kChangeDelete) {
      // Into the directories above, once they exist.
      for (const std::u16string& dir : Ancestors(name)) {
        need_all(index, PlannedFor(target, Phase::kDir, dir), false);
      }
      // A file where a directory goes, or a directory where a file goes,
      // is removed first.
      const Phase in_the_way = p.phase == Phase::kFile ? Phase::kDir : Phase::kFile;
      if (Has(target, in_the_way, name)) {
        need_all(index, PlannedFor(target, in_the_way, name), true);
      }
    } else if (p.phase == Phase::kDir) {
      // A directory is removed after everything below it.
      const std::u16string below = name + u"\\";
      for (const bool files : {true, false}) {
        std::u16string code(1, static_cast<char16_t>(u'0' + target));
        code += files ? u'F' : u'D';
        code += below;
        for (auto it = m_byPath.lower_bound(code);
             it != m_byPath.end() && it->first.compare(0, code.size(), code) == 0; ++it) {
          for (const int n : it->second) {
            if (!m_plan[n].cancelled && m_plan[n].kind == kChangeDelete) {
              m_plan[index].needs.push_back(n);
            }
          }
        }
      }
    }
  }
  // Needs of cancelled entries are dropped: nothing will run them.
  for (Planned& p : m_plan) {
    p.needs.erase(std::remove_if(p.needs.begin(), p.needs.end(),
                                 [this](int n) { return m_plan[n].cancelled; }),
                  p.needs.end());
  }
}

// ---- Admission ------------------------------------------------------------------

void CSyncEngine::Admit() {
  m_actions.RemoveAll();
  for (const char16_t* header : {u"DIRADD", u"DIRDELETE", u"FILEADD", u"FILEDELETE",
                                 u"FILEUPDATE"}) {
    m_actions.Set(header, SyncAction());
  }
  m_admitted.clear();
  m_needs.clear();

  std::map<int, std::vector<int>> units;
  for (const auto& [unit, members] : m_byUnit) {
    for (const int member : members) {
      if (!m_plan[member].cancelled) units[unit].push_back(member);
    }
  }
  const size_t room = m_actions.Capacity() > 5 ? m_actions.Capacity() - 5 : 0;
  std::vector<bool> admitted(m_plan.size(), false);
  std::set<int> decided;
  size_t used = 0;
  m_iDropped = 0;
  for (size_t i = 0; i < m_plan.size(); ++i) {
    if (m_plan[i].cancelled || decided.count(m_plan[i].unit) != 0) continue;
    decided.insert(m_plan[i].unit);
    // The unit with everything it needs, and the units of those.
    std::set<int> closure;
    std::vector<int> units_to_visit{m_plan[i].unit};
    std::set<int> seen_units{m_plan[i].unit};
    while (!units_to_visit.empty()) {
      const int unit = units_to_visit.back();
      units_to_visit.pop_back();
      for (const int member : units[unit]) {
        if (admitted[member]) continue;
        closure.insert(member);
        for (const int n : m_plan[member].needs) {
          if (!admitted[n] && seen_units.insert(m_plan[n].unit).second) {
            units_to_visit.push_back(m_plan[n].unit);
          }
        }
      }
    }
    if (used + closure.size() > room) {  // waits for a later run
      for (const int member : units[m_plan[i].unit]) m_iDropped += admitted[member] ? 0 : 1;
      continue;
    }
    used += closure.size();
    for (const int member : closure) admitted[member] = true;
  }

  // Numbered in the order of the plan, so that within a group the actions
  // keep the order in which they were planned.
  int sequence = 0;
  for (size_t i = 0; i < m_plan.size(); ++i) {
    if (!admitted[i]) continue;
    const Planned& p = m_plan[i];
    char number[24];
    std::snprintf(number, sizeof number, "%0*d", m_iSequenceDigits, ++sequence);
    const std::u16string key =
        (p.phase == Phase::kFile ? u"FILE" : u"DIR") + p.kind + BytesToU16(number);
    m_actions.Set(key, p.action);
    m_admitted[static_cast<int>(i)] = key;
  }
  for (const auto& [index, key] : m_admitted) {
    std::vector<std::u16string>& needs = m_needs[key];
    for (const int n : m_plan[index].needs) needs.push_back(m_admitted[n]);
  }
}
