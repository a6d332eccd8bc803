// TransferLanes: the file systems on which a synchronisation carries up to
// N file transfers at once ("Transfers" N > 1).
//
// A file system has one current stream and keeps what it learns as it goes,
// so two transfers cannot run on one object.  Each lane is a pair of copies
// of the local and the remote file system (NewTransferLane: the roots, the
// loaded maps, what each knows of its tree) on which one transfer at a time
// runs, on a transfer thread of its own (support/transfer_job.h).  The
// engine's thread decides everything else: before a transfer starts, the
// lane's local copy takes the local tree's current stamps of the files it
// touches, and its remote copy the folders above the path whose markers
// were stored since the lanes were made; once it ended, the file systems
// the lanes were copied from take over what the transfer left (the stamp
// of a file written locally, the path and folders stored remotely and the
// time after the transfer, a failure note, the bytes it moved), before the
// engine records anything.
// The catalog is never written from a lane.
//
// Lanes exist only while the engine applies a run's actions; the threads
// only while their transfers run.  Thread safety: one object belongs to the
// engine's thread; only the transfers run elsewhere.

#ifndef KELTOS3_SRC_SYNC_TRANSFER_LANES_H_
#define KELTOS3_SRC_SYNC_TRANSFER_LANES_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fs/quexfs_manager.h"
#include "support/transfer_job.h"
#include "sync/sync_types.h"

class CLocalFileSystem;
class CS3FileSystem;

class TransferLanes {
 public:
  // What a transfer does on the file systems of its lane.
  using Operation = std::function<int32_t(CQUEXFSManager* target, CQUEXFSManager* source)>;

  // Up to `transfers` lanes between `local` and `remote`.  None (Enabled()
  // false) for fewer than 2 transfers, or when either side is not a local
  // or an S3 file system.
  TransferLanes(CQUEXFSManager* local, CQUEXFSManager* remote, int32_t transfers);
  TransferLanes(const TransferLanes&) = delete;
  TransferLanes& operator=(const TransferLanes&) = delete;
  // Waits for every transfer in flight; releases the lanes.
  ~TransferLanes();

  bool Enabled() const { return !m_lanes.empty(); }
  // True when `action` (a transfer between the live sides, or within one)
  // can run on a lane.
  bool Carries(const SyncAction& action) const;
  bool HasFreeLane() const { return !m_free.empty(); }
  bool Busy() const { return m_free.size() < m_lanes.size(); }

  // Starts `operation` for the action `key` on a free lane.  REQUIRES:
  // HasFreeLane() and Carries(action).
  void Start(const std::u16string& key, const SyncAction& action, Operation operation);

  // Waits until a transfer in flight ends (REQUIRES: Busy()) and gives its
  // action key and result; Hand over then finishes it.
  void WaitForOne(std::u16string* key, int32_t* result);
  // Hands what the transfer `key` left to the file systems the lanes were
  // copied from (see above) and frees its lane.
  void HandOver(const std::u16string& key);

 private:
  struct Lane {
    CLocalFileSystem* local = nullptr;
    CS3FileSystem* remote = nullptr;
    std::u16string key;
    SyncAction action;
    int32_t result = 0;
    std::uint64_t bytes = 0;  // moved by its local side, for the listener
    std::unique_ptr<TransferJob> job;
  };

  CQUEXFSManager* LaneSide(Lane& lane, int32_t side) const;
  // The local tree's keys `action` touches.
  static std::vector<std::u16string> LocalKeys(const SyncAction& action);

  CLocalFileSystem* m_pLocal = nullptr;
  CS3FileSystem* m_pRemote = nullptr;
  std::vector<std::unique_ptr<Lane>> m_lanes;
  std::vector<Lane*> m_free;
  // Lanes whose transfer ended, in the order they ended.
  std::mutex m_mu;
  std::condition_variable m_ended_cv;
  std::deque<Lane*> m_ended;
};

#endif  // KELTOS3_SRC_SYNC_TRANSFER_LANES_H_
