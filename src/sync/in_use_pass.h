// The pass of a layout that retries transfers whose local file was in use
// (LayoutPolicy::InUseRetry).  ApplyActions sets such transfers aside in a
// deferred table and hands it to Run at its end; the snapshot-assisted
// layout's pass is snapshot/snapshot_pass.h.  The engine calls
// EngineStarted when it is made and EngineEnded when it is destroyed, on
// one thread.

#ifndef KELTOS3_SRC_SYNC_IN_USE_PASS_H_
#define KELTOS3_SRC_SYNC_IN_USE_PASS_H_

#include <cstdint>

#include "sync/sync_types.h"

class CQUEXFSManager;
class SyncObserver;

class InUsePass {
 public:
  virtual ~InUsePass() = default;

  // Empties `deferred` and inserts the five group headers.
  virtual void ResetDeferred(SyncActionTable* deferred) const = 0;
  // True when a FILEADD or FILEUPDATE transfer that returned `result` from
  // `source` is to be set aside for the pass.
  virtual bool ShouldDefer(int32_t result, int32_t source) const = 0;
  // Runs the transfers of `deferred` again with sides[SIDE_CATALOG],
  // sides[SIDE_LOCAL] and sides[SIDE_REMOTE].  `observer` may be null.
  virtual void Run(const SyncActionTable& deferred, CQUEXFSManager* const sides[3],
                   SyncObserver* observer) const = 0;
  virtual void EngineStarted() const = 0;
  virtual void EngineEnded() const = 0;
};

#endif  // KELTOS3_SRC_SYNC_IN_USE_PASS_H_
