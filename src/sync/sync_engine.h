// CSyncEngine: one three-way synchronisation between the local tree, the
// remote tree and the catalog of the last synchronisation.
//
// The engine works only on the tree maps the three file systems filled in
// their last load.  RunSync plans the run (Plan: detection of the changes
// of each live tree against the catalog, reconciliation into one ordered
// action table) and applies the actions group by group: directories added,
// files added, files updated, files deleted, directories removed (deepest
// first).  A change carried to a live side is recorded in the catalog right
// after it, and only when the live side succeeded: a failed transfer leaves
// the catalog as it was, so the next run proposes it again.
//
// Progress goes to the debug-trace channel only, as the lines
//   "UPDATEFILE : <key> from <tree root> to <catalog root> \r\n  the temp
//    datetime is <tree time> \r\n  the standard datetiem is <catalog time>\r\n"
//   "<action key> : <name> from <source> to <target> datetime is <time>\r\n"
// An optional SyncObserver sees every action as it is carried out, and
// every conflict.
//
// Changes.  A live file whose time differs from the catalog's, earlier or
// later, is changed: a file replaced by an older copy, or saved by a
// machine whose clock runs behind, is an edit like any other.  The local
// tree is compared at full precision where the time sources (SyncTimeSources)
// give the load's and the catalog's file times; a catalog time of whole
// seconds that the local time falls within is a record of a build that
// kept seconds only, and counts as equal.  A local edit whose time text is
// the recorded one (a second save within the same second) carries the next
// second, and the local tree's map gives that time for the run, so that the
// stored version it makes gets a name of its own (standard build).  The
// snapshot-assisted build compares the remote tree with the catalog's
// record of the remote side, to the millisecond where the server gives
// them, where it holds one (and a remote time later than the catalog's
// where it does not: a record of an earlier release).
//
// Reconciliation.  Changes of one side only are carried to the other; a
// path changed on both sides is a conflict, settled by fixed rules: both
// deleted, only the catalog learns of it; deleted on one side and changed
// on the other, the deletion wins; changed on both, the later time wins
// (equal times go to the local side).  With keep (SetKeepConflicts,
// "SyncConflicts=keep") a change wins over a deletion, and of a file
// changed on both sides the losing content is first copied beside it, on
// both sides and in the catalog, under its conflict-copy name
// (sync/conflict_names.h).  A path that would end up a file on one side
// and a directory on the other keeps the directory; the file's content goes
// to a conflict copy, under either policy.
//
// Dependencies.  The plan never carries a file into a directory that does
// not exist on its target and is not created by the same run (it creates a
// directory that the target lacks, and keeps one that the other side
// removed while this one adds to it).  An action runs only once what it
// needs succeeded: the directory it goes into, the removal that makes way
// for it (a file where a directory goes, a directory where a file goes),
// the conflict copy that must exist before the file is replaced, the
// entries below a directory to remove, the live half of a catalog record.
// The groups are walked in their fixed order, and an action whose
// prerequisite comes later runs right after it; one whose prerequisite did
// not succeed is skipped and reported so.
//
// Capacity.  The action table holds at most the capacity given at
// construction ("SyncCapacity", 100 by default) less its five group
// headers.  Actions that do not fit wait for the next run; a transfer and
// its catalog record, a conflict copy and its three halves, and an action
// and everything it needs are admitted together or not at all.  The change
// tables hold every change of the loaded maps (twice the capacity).  Action
// keys are a group name and a sequence number of five digits, or of as many
// more as the largest number that fits the action table needs.
//
// What detection considers.  A tree map holds at most its capacity of keys,
// the lowest of its tree (fs/quexfs_manager.h), so a full map knows nothing
// of the keys above its highest one.  Plan therefore takes the lowest of
// the highest keys of every full map of the three trees as a bound, and
// detection considers only keys up to it; the entries above wait, untouched,
// until the trees fit.
//
// Deletions.  Plan counts, before any cap, the files the changes would
// delete on each live side, against the files the catalog records (both
// within the bound); the driver refuses a run that would delete too many.
//
// Snapshot-assisted layout (common/layout_policy.h): a FILEADD or FILEUPDATE
// transfer that fails because its local source file is in use is deferred,
// together with its catalog half, and retried at the end of ApplyActions
// from a snapshot copy (snapshot/snapshot_pass.h).  The engine object holds
// COM initialised for its lifetime.
//
// Transfers side by side ("Transfers" N > 1): ApplyActions carries up to N
// file transfers of a group at once on transfer lanes (copies of the local
// and remote file systems, sync/transfer_lanes.h) when both live sides are
// a local and an S3 file system.  Every other action, the catalog records
// among them, and every call of the observer stay on the calling thread,
// in the order of the walk; a transfer is finished there (reported,
// recorded, its dependents run or skipped) when it ended, and the walk
// waits for every transfer of a group before it enters the next.
//
// The engine holds no pointers to the file systems; they are passed to each
// operation.  Thread safety: none; one run on one thread (which alone
// starts and waits for the transfer threads of the run).

#ifndef KELTOS3_SRC_SYNC_SYNC_ENGINE_H_
#define KELTOS3_SRC_SYNC_SYNC_ENGINE_H_

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fs/name_rules.h"
#include "fs/quexfs_manager.h"
#include "sync/sync_types.h"

class InUsePass;

// Sees the actions of a run.  OnAction is called once per action after it
// was carried out (or skipped, or, in a dry run, instead of carrying it
// out), in the order of application.  OnConflict is called once per path
// changed on both sides, when the run has settled it and before any action
// runs (in a dry run too); the actions that carry it out, conflict copies
// included, follow through OnAction.
// What a run is about to apply, handed to SyncObserver::OnPlan before the
// first action.
struct SyncPlan {
  const SyncActionTable* actions = nullptr;  // the action table
  // Actions reconciliation planned that the table had no room for: they
  // wait for the next run, which finds their changes again.
  int32_t dropped = 0;
  // When `bounded`, detection considered only keys up to `bound` (full
  // tree maps; see "What detection considers" above).
  bool bounded = false;
  std::u16string bound;
};

class SyncObserver {
 public:
  enum class Outcome {
    kDone,     // the operation ran; `result` is what it returned
    kSkipped,  // not run: the transfer it records, or an action it needs
               // (the directory it goes into, the conflict copy that must
               // exist first), did not succeed
    kPlanned,  // dry run: the operation would run
  };
  virtual ~SyncObserver();
  virtual void OnAction(const std::u16string& key, const SyncAction& action,
                        Outcome outcome, int32_t result) = 0;
  virtual void OnConflict(const SyncConflict& conflict);
  // Once per run, after the driver loaded the three trees and before any
  // change is detected (a run the driver refuses never gets here).  The
  // file systems live until the run ends.
  virtual void OnTreesLoaded(CQUEXFSManager* local, CQUEXFSManager* remote,
                             CQUEXFSManager* catalog);
  // Once per applied run, before the first action.
  virtual void OnPlan(const SyncPlan& plan);
  // Right before an action's operation runs (not in a dry run).
  virtual void OnActionStart(const std::u16string& key, const SyncAction& action);
  // Asked before the actions of each path: true ends the application
  // there.  The actions of a path (a transfer and its catalog record) are
  // never parted, so what was carried is recorded; the actions not run are
  // found again by the next run.
  virtual bool StopRequested();
};

// Full-precision times the engine compares where it has them.  Every
// pointer may be null; the maps must outlive the runs that use them.
struct SyncTimeSources {
  // The local tree's files as its load saw them, kept up to date by its
  // own changes (CLocalFileSystem::LoadedStamps).
  const FileStampMap* local = nullptr;
  // The catalog's placeholders as its load saw them.
  const FileStampMap* catalog = nullptr;
  // The catalog may hold records of an earlier release, which kept whole
  // seconds: a record of a whole second that the live time falls within is
  // then taken for the same time.  Off once the catalog was run with this
  // release (it then holds its remote-root record), whose records are
  // exact: a file given a whole second by a download and saved again within
  // that second is changed.
  bool whole_second_records = false;
  // Snapshot-assisted layout: the catalog's record of the time the remote
  // side held after each transfer (CVirtualFileSystem::RemoteTimes), and
  // the remote load's own times to the millisecond
  // (CS3FileSystem::ListedTimes).
  const CSortedMap<std::u16string>* remote_records = nullptr;
  const std::map<std::u16string, std::u16string>* remote_listed = nullptr;
};

class CSyncEngine {
 public:
  // `capacity`: the capacity of the action table (the change tables hold
  // twice as many).
  explicit CSyncEngine(int capacity = kSyncTableCapacity);
  CSyncEngine(const CSyncEngine&) = delete;
  CSyncEngine& operator=(const CSyncEngine&) = delete;
  ~CSyncEngine();

  // The observer (may be null) must outlive the runs it sees.
  void SetObserver(SyncObserver* observer) { m_pObserver = observer; }
  // In a dry run ApplyActions changes nothing and reports every action it
  // would carry out as kPlanned.
  void SetDryRun(bool dry_run) { m_bDryRun = dry_run; }
  // Keep both contents of a conflict (see above); off by default.
  void SetKeepConflicts(bool keep) { m_bKeepConflicts = keep; }
  void SetTimeSources(const SyncTimeSources& sources) { m_times = sources; }
  // Whether the last ApplyActions ended at the observer's stop request.
  bool Stopped() const { return m_bStopped; }

  // Plan, then ApplyActions.  Returns 0.
  int32_t RunSync(CQUEXFSManager* local, CQUEXFSManager* remote,
                  CQUEXFSManager* catalog);

  // Detection, the deletion counts, reconciliation, in this order; reports
  // the conflicts of the actions that fit.  Changes nothing.  Returns 0.
  int32_t Plan(CQUEXFSManager* local, CQUEXFSManager* remote,
               CQUEXFSManager* catalog);

  // Compares tree->dirMap (or fileMap) with catalog's and fills `out` with
  // one change per differing key, in ascending key order, leaving out,
  // within Plan, the keys above the bound of the full maps.  Returns 0.
  int32_t DetectDirChanges(CQUEXFSManager* tree, CQUEXFSManager* catalog,
                           SyncChangeTable* out);
  int32_t DetectFileChanges(CQUEXFSManager* tree, CQUEXFSManager* catalog,
                            SyncChangeTable* out);

  // Change tables to action table.  Returns 0.
  int32_t Reconcile(CQUEXFSManager* local, CQUEXFSManager* remote,
                    CQUEXFSManager* catalog);

  // Action table to file-system operations.  Returns 0.
  int32_t ApplyActions(CQUEXFSManager* local, CQUEXFSManager* remote,
                       CQUEXFSManager* catalog);

  // Of the last Plan: the files its changes would delete on `side`
  // (SIDE_LOCAL or SIDE_REMOTE), and the files the catalog records, both
  // counted within the bound and before any cap.
  int64_t DeletionsOn(int32_t side) const {
    return side == SIDE_LOCAL ? m_iLocalDeletions : m_iRemoteDeletions;
  }
  int64_t RecordedFiles() const { return m_iRecordedFiles; }
  // Keys the local tree cannot hold (fs/name_rules.h): they and every key
  // below them are not considered, in any tree, so that no change of them
  // is carried, on either side.
  void SetLeftOut(std::set<std::u16string> keys) { m_leftOut = std::move(keys); }
  // True when the last Plan considered `key` (it is not above the bound,
  // nor left out).
  bool Considers(const std::u16string& key) const {
    return !(m_bBounded && m_strBound < key) && !IsExcludedKey(m_leftOut, key);
  }

  // The tables of the current run, for inspection.
  const SyncChangeTable& LocalDirChanges() const { return m_localDirChanges; }
  const SyncChangeTable& RemoteDirChanges() const { return m_remoteDirChanges; }
  const SyncChangeTable& LocalFileChanges() const { return m_localFileChanges; }
  const SyncChangeTable& RemoteFileChanges() const { return m_remoteFileChanges; }
  const SyncActionTable& Actions() const { return m_actions; }
  // The transfers the last ApplyActions deferred to the layout's in-use
  // pass (sync/in_use_pass.h), with the five group headers; empty when the
  // layout has none.
  const SyncActionTable& DeferredActions() const { return m_deferred; }

 private:
  enum class Phase { kFile, kDir };

  // One action of the plan, before the cap.
  struct Planned {
    Phase phase = Phase::kFile;
    std::u16string kind;  // kChangeAdd, kChangeDelete or kChangeUpdate
    SyncAction action;
    int unit = 0;             // admitted together with the rest of its unit
    std::vector<int> needs;   // plan indexes that must succeed first
    bool cancelled = false;
  };

  // ---- Detection (sync_engine.cc) ----
  void DetectChanges(const CQUEXFSManager& tree, const CQUEXFSManager& catalog,
                     bool files, SyncChangeTable* out);
  // True when the live time of `key` on `side` differs from the catalog's.
  bool FileChanged(int32_t side, const std::u16string& key,
                   const std::u16string& tree_time,
                   const std::u16string& catalog_time) const;
  void CountDeletions(const CQUEXFSManager& local, const CQUEXFSManager& remote,
                      const CQUEXFSManager& catalog);

  // ---- Reconciliation (sync_reconcile.cc, sync_plan.cc) ----
  void ReconcilePhase(const SyncChangeTable& remote, const SyncChangeTable& local,
                      Phase phase);
  void SettleFileConflict(const std::u16string& key, const SyncChange& l,
                          const SyncChange& r);
  int PlanAction(Phase phase, const std::u16string& kind, const std::u16string& key,
                 const std::u16string& time, int32_t target, int32_t source,
                 int unit, const std::u16string& source_name = std::u16string());
  int NewUnit() { return ++m_iUnits; }
  // Plans a change of `side` carried to the other live side, then to the
  // catalog.  Returns the plan index of the live half.
  int Carry(Phase phase, const std::u16string& key, const SyncChange& change,
            int32_t side);
  // Plans a conflict copy of `side`'s file `key` (of time `time`): beside
  // it on `side`, on the other side, in the catalog.  Returns the index of
  // the copy on `side`; *copy_name receives its name.
  int KeepCopy(int32_t side, const std::u16string& key,
               const std::u16string& time, std::u16string* copy_name);
  void CancelUnit(int unit);
  // The sides' maps, and what the plan leaves on a side.
  const CQUEXFSManager* Tree(int32_t side) const { return m_trees[side]; }
  bool Has(int32_t side, Phase phase, const std::u16string& key) const;
  // The active planned actions of `phase` on `target` for `key`.
  std::vector<int> PlannedFor(int32_t target, Phase phase,
                              const std::u16string& key) const;
  bool EndsAsFile(int32_t side, const std::u16string& key) const;
  bool EndsAsDirectory(int32_t side, const std::u16string& key) const;
  bool NameTaken(const std::u16string& key) const;
  // The fix-ups of a plan: directories the files need, paths that would be
  // a file and a directory at once, removals that make way, dependencies.
  void ProvideDirectories();
  void EnsureDirectory(int32_t target, const std::u16string& dir, int32_t source,
                       const std::u16string& time);
  void SettleTypeConflicts();
  void LinkDependencies();
  // The plan into the action table, under the cap.
  void Admit();
  void NotifyConflicts();

  // ---- Application (sync_apply.cc) ----
  void Notify(const std::u16string& key, const SyncAction& action,
              SyncObserver::Outcome outcome, int32_t result);

  SyncChangeTable m_localDirChanges;
  SyncChangeTable m_remoteDirChanges;
  SyncChangeTable m_localFileChanges;
  SyncChangeTable m_remoteFileChanges;
  SyncActionTable m_actions;
  SyncActionTable m_deferred;
  // Digits of the sequence number in an action key.
  int m_iSequenceDigits = 5;
  // The highest key detection considers; none while m_bBounded is false.
  bool m_bBounded = false;
  std::u16string m_strBound;
  SyncObserver* m_pObserver = nullptr;
  bool m_bDryRun = false;
  std::set<std::u16string> m_leftOut;
  bool m_bKeepConflicts = false;
  bool m_bStopped = false;
  // The layout's pass for transfers of files in use, or null.
  const InUsePass* m_pInUsePass = nullptr;
  // Planned actions the action table had no room for (Admit).
  int32_t m_iDropped = 0;
  SyncTimeSources m_times;

  // The plan of the current run and what Reconcile derived from it.
  const CQUEXFSManager* m_trees[3] = {nullptr, nullptr, nullptr};
  std::vector<Planned> m_plan;
  int m_iUnits = 0;
  // Plan index by (target, phase, key), active or not, and by unit.
  std::map<std::u16string, std::vector<int>> m_byPath;
  std::map<int, std::vector<int>> m_byUnit;
  std::set<std::u16string> m_plannedNames;
  // Conflicts, with the plan index of an action that carries each out.
  std::vector<std::pair<SyncConflict, int>> m_conflicts;
  // Admitted plan index -> action key; action key -> keys it needs.
  std::map<int, std::u16string> m_admitted;
  std::map<std::u16string, std::vector<std::u16string>> m_needs;

  int64_t m_iLocalDeletions = 0;
  int64_t m_iRemoteDeletions = 0;
  int64_t m_iRecordedFiles = 0;
};

#endif  // KELTOS3_SRC_SYNC_SYNC_ENGINE_H_
