#include "sync/transfer_lanes.h"

#include <utility>

#include "fs/local_file_system.h"
#include "fs/s3_file_system.h"
#include "settings/s3_config.h"

TransferLanes::TransferLanes(CQUEXFSManager* local, CQUEXFSManager* remote,
                             int32_t transfers) {
  m_pLocal = dynamic_cast<CLocalFileSystem*>(local);
  m_pRemote = dynamic_cast<CS3FileSystem*>(remote);
  if (transfers < 2 || m_pLocal == nullptr || m_pRemote == nullptr) return;
  for (int32_t i = 0; i < transfers; ++i) {
    auto lane = std::make_unique<Lane>();
    lane->local = m_pLocal->NewTransferLane();
    lane->remote = m_pRemote->NewTransferLane();
    Lane* const counted = lane.get();
    lane->local->SetByteListener([counted](std::uint64_t n) { counted->bytes += n; });
    m_free.push_back(lane.get());
    m_lanes.push_back(std::move(lane));
  }
}

TransferLanes::~TransferLanes() {
  for (const std::unique_ptr<Lane>& lane : m_lanes) {
    lane->job.reset();  // waits for its transfer
    lane->local->Release();
    lane->remote->Release();
  }
}

bool TransferLanes::Carries(const SyncAction& action) const {
  const auto live = [](int32_t side) { return side == SIDE_LOCAL || side == SIDE_REMOTE; };
  return Enabled() && live(action.m_iTarget) && live(action.m_iSource);
}

CQUEXFSManager* TransferLanes::LaneSide(Lane& lane, int32_t side) const {
  if (side == SIDE_LOCAL) return lane.local;
  if (side == SIDE_REMOTE) return lane.remote;
  return nullptr;
}

std::vector<std::u16string> TransferLanes::LocalKeys(const SyncAction& action) {
  std::vector<std::u16string> keys;
  if (action.m_iTarget == SIDE_LOCAL) keys.push_back(action.m_strName);
  if (action.m_iSource == SIDE_LOCAL) {
    keys.push_back(action.m_strSourceName.empty() ? action.m_strName : action.m_strSourceName);
  }
  return keys;
}

void TransferLanes::Start(const std::u16string& key, const SyncAction& action,
                          Operation operation) {
  Lane* const lane = m_free.back();
  m_free.pop_back();
  lane->key = key;
  lane->action = action;
  lane->result = 0;
  lane->bytes = 0;
  for (const std::u16string& touched : LocalKeys(action)) {
    m_pLocal->LendStamp(lane->local, touched);
  }
  m_pRemote->LendFolders(lane->remote, action.m_strName);
  CQUEXFSManager* const target = LaneSide(*lane, action.m_iTarget);
  CQUEXFSManager* const source = LaneSide(*lane, action.m_iSource);
  lane->job = std::make_unique<TransferJob>(
      CS3Config(), [this, lane, target, source, operation = std::move(operation)] {
        lane->result = operation(target, source);
        {
          const std::lock_guard<std::mutex> lock(m_mu);
          m_ended.push_back(lane);
        }
        m_ended_cv.notify_one();
        return lane->result == 0;
      });
}

void TransferLanes::WaitForOne(std::u16string* key, int32_t* result) {
  Lane* lane = nullptr;
  {
    std::unique_lock<std::mutex> lock(m_mu);
    m_ended_cv.wait(lock, [this] { return !m_ended.empty(); });
    lane = m_ended.front();
    m_ended.pop_front();
  }
  lane->job->Wait();  // its thread ends; its last error becomes this thread's
  *key = lane->key;
  *result = lane->result;
}

void TransferLanes::HandOver(const std::u16string& key) {
  for (const std::unique_ptr<Lane>& owned : m_lanes) {
    Lane& lane = *owned;
    if (lane.job == nullptr || lane.key != key) continue;
    lane.job.reset();
    for (const std::u16string& touched : LocalKeys(lane.action)) {
      m_pLocal->TakeStamp(*lane.local, touched);
    }
    if (lane.action.m_iTarget == SIDE_REMOTE) m_pRemote->TakeTransfer(*lane.remote, lane.action.m_strName);
    m_pLocal->TakeLaneFailureNote(lane.local);
    m_pRemote->TakeLaneFailureNote(lane.remote);
    m_pLocal->CountLaneBytes(lane.bytes);
    m_free.push_back(&lane);
    return;
  }
}
