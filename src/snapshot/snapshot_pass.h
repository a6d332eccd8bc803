// The snapshot pass of the snapshot-assisted build: transfers that could
// not read a local file because another process held it in use are set
// aside by ApplyActions and retried, at its end, from snapshot copies that
// the SnapKeeper agent takes.
//
// Deferred table.  A CSortedMap like the action table, holding the five
// group headers and, under their own action keys, the FILEADD and
// FILEUPDATE actions whose transfer returned 2 (source in use) with the
// local tree as source.  The catalog half of such a transfer, skipped by
// the walk, is deferred with it, so both halves are retried.
//
// The pass (RunSnapshotPass), once per ApplyActions after the DIRDELETE
// group:
//   1. n = deferred actions.  None: return at once; no agent is created.
//   2. Source paths: source root + name of every deferred FILEADD action in
//      ascending key order, then of every deferred FILEUPDATE action; one
//      output buffer of kSnapshotPathBufferLength wide characters each.
//   3. A CSnapKeeper takes the snapshot: VssStartBackup2(sources, outputs, n).
//   4. Only when it returned 0, the deferred actions run again in the same
//      order, reading from snapshot path i (output buffer i):
//        FILEADD     target->CopyFileFrom(target root, name, source, "", snap)
//        FILEUPDATE  target->ReplaceFileFrom(target root, name, time, source,
//                                            "", snap)
//      The source joins "" and snap, so it reads exactly the snapshot copy.
//      When a live-side retry fails, its catalog half (the next deferred
//      entry of the group, same name) is not run, so the catalog is only
//      written for a file that reached the other side and the next run
//      finds the change again.
//   5. Whatever VssStartBackup2 returned: VssBackupComplete, once; the
//      agent is destroyed.
// No trace line is written by the pass.  An observer sees each retried
// action (kDone with its result, or kSkipped for a catalog half not run).

#ifndef KELTOS3_SRC_SNAPSHOT_SNAPSHOT_PASS_H_
#define KELTOS3_SRC_SNAPSHOT_SNAPSHOT_PASS_H_

#include <cstdint>
#include <string>

#include "common/layout_policy.h"
#include "sync/sync_engine.h"
#include "sync/sync_types.h"

class CQUEXFSManager;

// The snapshot-assisted layout (common/layout_policy.h), whose in-use pass
// is the one below.
const LayoutPolicy& SnapshotLayout();

// Wide characters in each output buffer handed to the agent.
constexpr int kSnapshotPathBufferLength = 260;

// Empties `deferred` and inserts the five group headers.
void ResetDeferredTable(SyncActionTable* deferred);

// True when a transfer of the FILEADD or FILEUPDATE group that returned
// `result` from `source` is to be deferred: result 2 from the local tree.
bool ShouldDefer(int32_t result, int32_t source);

// Runs the pass over `deferred` with the file systems sides[SIDE_CATALOG],
// sides[SIDE_LOCAL], sides[SIDE_REMOTE].  `observer` may be null.
void RunSnapshotPass(const SyncActionTable& deferred,
                     CQUEXFSManager* const sides[3], SyncObserver* observer);

// The COM calls of the engine's lifetime: initialisation in the
// multithreaded model with packet-privacy, identify-level security (after
// the engine's tables are built), and uninitialisation (before they are
// released).  A failure does not stop the engine; an engine whose
// initialisation failed (the calling thread uses COM in another model) does
// not uninitialise.  Call both on the same thread.
void InitializeEngineCom();
void UninitializeEngineCom();

#endif  // KELTOS3_SRC_SNAPSHOT_SNAPSHOT_PASS_H_
