// CSyncEngine: one three-way synchronisation between the local tree, the
// remote tree and the catalog of the last synchronisation.
//
// The engine works only on the tree maps the three file systems filled in
// their last load.  RunSync detects the changes of each live tree against
// the catalog, reconciles them into one ordered action table (at most the
// capacity less its five group headers, 95 actions by default; a surplus is
// dropped and found again by the next run) and applies the actions group by
// group: directories added, files added, files updated, files deleted,
// directories removed (deepest first).  A change carried to a live side is
// recorded in the catalog right after it, and only when the live side
// succeeded: a failed transfer leaves the catalog as it was, so the next run
// proposes it again.
//
// Progress goes to the debug-trace channel only, as the lines
//   "UPDATEFILE : <key> from <tree root> to <catalog root> \r\n  the temp
//    datetime is <tree time> \r\n  the standard datetiem is <catalog time>\r\n"
//   "<action key> : <name> from <source> to <target> datetime is <time>\r\n"
// An optional SyncObserver sees every action as it is carried out.
//
// Capacity.  The change tables and the action table hold at most the
// capacity given at construction ("SyncCapacity", 100 by default).  Action
// keys are a group name and a sequence number of five digits, or of as many
// more as the largest number that fits the action table needs, so that
// within a group the keys sort in the order the actions were made.
//
// What detection considers.  A tree map holds at most its capacity of keys,
// the lowest of its tree (fs/quexfs_manager.h), so a full map knows nothing
// of the keys above its highest one: a file there would look deleted, or added, or its
// local copy would be hidden from a download.  RunSync therefore takes the
// lowest of the highest keys of every full map of the three trees
// (directories and files alike) as a bound, and detection considers only
// keys up to it; the entries above wait, untouched, until the trees fit.
//
// Snapshot-assisted build (KELTOS3_SNAPSHOT_BUILD): a FILEADD or FILEUPDATE
// transfer that fails because its local source file is in use is deferred,
// together with its catalog half, and retried at the end of ApplyActions
// from a snapshot copy (snapshot/snapshot_pass.h).  The engine object holds
// COM initialised for its lifetime.
//
// The engine holds no pointers to the file systems; they are passed to each
// operation.  Thread safety: none; one run on one thread.

#ifndef KELTOS3_SRC_SYNC_SYNC_ENGINE_H_
#define KELTOS3_SRC_SYNC_SYNC_ENGINE_H_

#include <cstdint>
#include <string>

#include "sync/sync_types.h"

class CQUEXFSManager;

// What a run is about to apply, handed to SyncObserver::OnPlan after
// reconciliation.
struct SyncPlan {
  const SyncActionTable* actions = nullptr;  // the action table
  // Actions reconciliation made that the table had no room for: they wait
  // for the next run, which finds their changes again.
  int32_t dropped = 0;
  // When `bounded`, detection considered only keys up to `bound` (full
  // tree maps; see "What detection considers" above).
  bool bounded = false;
  std::u16string bound;
};

// Sees the actions of a run.  OnAction is called once per action after it
// was carried out (or skipped, or, in a dry run, instead of carrying it
// out), in the order of application.  OnConflict is called once per path
// changed on both sides, when the run has settled it and before any action
// runs (in a dry run too); the actions that carry it out, conflict copies
// included, follow through OnAction.  Every call but OnAction has a default
// that does nothing.
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
  // Once per run, after reconciliation, before the first action.
  virtual void OnPlan(const SyncPlan& plan);
  // Right before an action's operation runs (not in a dry run).
  virtual void OnActionStart(const std::u16string& key, const SyncAction& action);
  // Asked before the actions of each path: true ends the application
  // there.  The actions of a path (a transfer and its catalog record) are
  // never parted, so what was carried is recorded; the actions not run are
  // found again by the next run.
  virtual bool StopRequested();
};

class CSyncEngine {
 public:
  // `capacity`: the capacity of the change tables and of the action table.
  explicit CSyncEngine(int capacity = kSyncTableCapacity);
  CSyncEngine(const CSyncEngine&) = delete;
  CSyncEngine& operator=(const CSyncEngine&) = delete;
  ~CSyncEngine();

  // The observer (may be null) must outlive the runs it sees.
  void SetObserver(SyncObserver* observer) { m_pObserver = observer; }
  // In a dry run ApplyActions changes nothing and reports every action it
  // would carry out as kPlanned.
  void SetDryRun(bool dry_run) { m_bDryRun = dry_run; }

  // Detection, reconciliation and application, in this order.  Returns 0.
  int32_t RunSync(CQUEXFSManager* local, CQUEXFSManager* remote,
                  CQUEXFSManager* catalog);

  // Compares tree->dirMap (or fileMap) with catalog's and fills `out` with
  // one change per differing key, in ascending key order, leaving out,
  // within RunSync, the keys above the bound of the full maps.  Returns 0.
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

  // The tables of the current run, for inspection.
  const SyncChangeTable& LocalDirChanges() const { return m_localDirChanges; }
  const SyncChangeTable& RemoteDirChanges() const { return m_remoteDirChanges; }
  const SyncChangeTable& LocalFileChanges() const { return m_localFileChanges; }
  const SyncChangeTable& RemoteFileChanges() const { return m_remoteFileChanges; }
  const SyncActionTable& Actions() const { return m_actions; }
  // True when the last ApplyActions ended early at the observer's request.
  bool Stopped() const { return m_bStopped; }
#if defined(KELTOS3_SNAPSHOT_BUILD)
  // The transfers the last ApplyActions deferred to its snapshot pass
  // (snapshot/snapshot_pass.h), with the five group headers.
  const SyncActionTable& DeferredActions() const { return m_deferred; }
#endif

 private:
  enum class Phase { kFile, kDir };

  // Shared merge of DetectDirChanges and DetectFileChanges.
  void DetectChanges(const CQUEXFSManager& tree, const CQUEXFSManager& catalog,
                     bool files, SyncChangeTable* out);
  // One phase of Reconcile over a pair of change tables.
  void ReconcilePhase(const SyncChangeTable& remote, const SyncChangeTable& local,
                      Phase phase);
  void Emit(Phase phase, const std::u16string& key, const SyncChange& change,
            int32_t target, int32_t source);
  // Carries a change of `side` to the other live side, then to the catalog.
  void Carry(Phase phase, const std::u16string& key, const SyncChange& change,
             int32_t side);
  void Notify(const std::u16string& key, const SyncAction& action,
              SyncObserver::Outcome outcome, int32_t result);

  SyncChangeTable m_localDirChanges;
  SyncChangeTable m_remoteDirChanges;
  SyncChangeTable m_localFileChanges;
  SyncChangeTable m_remoteFileChanges;
  SyncActionTable m_actions;
#if defined(KELTOS3_SNAPSHOT_BUILD)
  SyncActionTable m_deferred;
#endif
  int32_t m_iSequence = 0;
  // Digits of the sequence number in an action key.
  int m_iSequenceDigits = 5;
  // The highest key detection considers; none while m_bBounded is false.
  bool m_bBounded = false;
  std::u16string m_strBound;
  SyncObserver* m_pObserver = nullptr;
  bool m_bDryRun = false;
  bool m_bStopped = false;
};

#endif  // KELTOS3_SRC_SYNC_SYNC_ENGINE_H_
