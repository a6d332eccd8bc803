// The application of a run's action table (see sync_engine.h).

#include <deque>
#include <functional>
#include <map>
#include <set>
#include <vector>

#include "common/wide_string.h"
#include "fs/quexfs_manager.h"
#include "settings/s3_config.h"
#include "support/event_reporter.h"
#include "sync/in_use_pass.h"
#include "sync/sync_engine.h"
#include "sync/transfer_lanes.h"

namespace {

// Group headers of the action table, in their sorted order.
constexpr const char16_t* kGroupHeaders[] = {u"DIRADD", u"DIRDELETE", u"FILEADD",
                                             u"FILEDELETE", u"FILEUPDATE"};

bool IsGroupHeader(const std::u16string& key) {
  for (const char16_t* header : kGroupHeaders) {
    if (key == header) return true;
  }
  return false;
}

std::u16string Decimal(int32_t value) { return BytesToU16(std::to_string(value)); }

// "FILEADD00001" -> "FILEADD".
std::u16string GroupOf(const std::u16string& key) {
  size_t end = key.size();
  while (end > 0 && key[end - 1] >= u'0' && key[end - 1] <= u'9') --end;
  return key.substr(0, end);
}

}  // namespace

int32_t CSyncEngine::ApplyActions(CQUEXFSManager* local, CQUEXFSManager* remote,
                                  CQUEXFSManager* catalog) {
  CQUEXFSManager* const sides[3] = {catalog, local, remote};
  auto side = [&sides](int32_t index) -> CQUEXFSManager* {
    return (index >= 0 && index < 3) ? sides[index] : nullptr;
  };
  m_bStopped = false;
  if (m_pObserver != nullptr) {
    SyncPlan plan;
    plan.actions = &m_actions;
    plan.dropped = m_iDropped;
    plan.bounded = m_bBounded;
    plan.bound = m_strBound;
    m_pObserver->OnPlan(plan);
  }
  if (m_pInUsePass != nullptr) m_pInUsePass->ResetDeferred(&m_deferred);
  std::set<std::u16string> deferred;

  // The walk: the groups in their fixed order, each ascending, except the
  // directory removals, deepest first.
  std::vector<std::u16string> walk;
  auto add_group = [this, &walk](const char16_t* header, bool backwards) {
    const int h = m_actions.Find(header);
    if (h < 0) return;
    int end = h + 1;
    while (end < m_actions.Count() && !IsGroupHeader(m_actions.KeyAt(end))) ++end;
    if (backwards) {
      for (int k = end - 1; k > h; --k) walk.push_back(m_actions.KeyAt(k));
    } else {
      for (int k = h + 1; k < end; ++k) walk.push_back(m_actions.KeyAt(k));
    }
  };
  add_group(u"DIRADD", false);
  add_group(u"FILEADD", false);
  add_group(u"FILEUPDATE", false);
  add_group(u"FILEDELETE", false);
  add_group(u"DIRDELETE", true);

  // The operation of one action between `target` and `source`: the run's
  // file systems, or those of a transfer lane.
  auto operate_on = [](const std::u16string& group, const SyncAction& a,
                       CQUEXFSManager* target, CQUEXFSManager* source) -> int32_t {
    if (target == nullptr || source == nullptr) return 1;
    if (group == u"DIRADD") return target->CreateDir(a.m_strName);
    if (group == u"FILEADD") {
      const std::u16string& from =
          a.m_strSourceName.empty() ? a.m_strName : a.m_strSourceName;
      return target->CopyFileFrom(target->GetRoot(), a.m_strName, source,
                                  source->GetRoot(), from);
    }
    if (group == u"FILEUPDATE") {
      return target->UpdateFileFrom(target->GetRoot(), a.m_strName, a.m_strTime,
                                    source, 0);
    }
    if (group == u"FILEDELETE") return target->RemoveFile(target->GetRoot(), a.m_strName);
    if (group == u"DIRDELETE") return target->RemoveDir(target->GetRoot(), a.m_strName);
    return 1;
  };
  auto operate = [&](const std::u16string& group, const SyncAction& a) -> int32_t {
    return operate_on(group, a, side(a.m_iTarget), side(a.m_iSource));
  };

  // With "Transfers" N > 1 the file transfers of a group run up to N at a
  // time on transfer lanes (sync/transfer_lanes.h); everything else, the
  // catalog records among it, runs here, in the order of the walk, once
  // what it needs ended.  A transfer is started when the walk reaches it
  // and finished (reported, recorded as succeeded or failed, its dependents
  // run or skipped) on this thread when it ended, so the observer is only
  // ever called from here; its OnActionStart comes when the transfer is
  // finished, right before its bytes and its OnAction.  The walk waits for
  // every transfer of a group before it enters the next.
  TransferLanes lanes(local, remote, m_bDryRun ? 1 : CS3Config().GetTransfers());
  std::deque<std::u16string> ready;  // transfers waiting for a lane

  enum class Status { kNotReached, kWaiting, kRunning, kSucceeded, kFailed, kSkipped, kNotRun };
  std::map<std::u16string, Status> status;
  for (const std::u16string& key : walk) status[key] = Status::kNotReached;
  std::map<std::u16string, std::vector<std::u16string>> waiting_on;
  std::map<std::u16string, int> unresolved;

  std::function<void(const std::u16string&)> process;
  std::function<void(const std::u16string&)> resolve;
  auto skip = [&](const std::u16string& key) {
    const SyncAction a = m_actions.Lookup(key);
    // The catalog half of a transfer set aside for the in-use pass goes
    // with it.
    const std::u16string group = GroupOf(key);
    if (m_pInUsePass != nullptr && a.m_iTarget == SIDE_CATALOG &&
        (group == u"FILEADD" || group == u"FILEUPDATE")) {
      for (const std::u16string& need : m_needs[key]) {
        if (deferred.count(need) != 0 && m_actions.Lookup(need).m_strName == a.m_strName) {
          m_deferred.Set(key, a);
        }
      }
    }
    Notify(key, a, SyncObserver::Outcome::kSkipped, 0);
    status[key] = Status::kSkipped;
    resolve(key);
  };
  // The end of an action that ran (r: its result): reported, recorded,
  // its dependents run or skipped.
  auto finish = [&](const std::u16string& key, int32_t r) {
    const SyncAction a = m_actions.Lookup(key);
    const std::u16string group = GroupOf(key);
    if (!m_bDryRun) Notify(key, a, SyncObserver::Outcome::kDone, r);
    if (m_pInUsePass != nullptr && (group == u"FILEADD" || group == u"FILEUPDATE") &&
        a.m_strSourceName.empty() && m_pInUsePass->ShouldDefer(r, a.m_iSource)) {
      m_deferred.Set(key, a);
      deferred.insert(key);
    }
    // A directory that exists already (1) is as good as a new one.
    const bool ok = group == u"DIRADD" ? (r == 0 || r == 1) : r == 0;
    status[key] = ok ? Status::kSucceeded : Status::kFailed;
    resolve(key);
  };
  auto run = [&](const std::u16string& key) {
    const SyncAction a = m_actions.Lookup(key);
    const std::u16string group = GroupOf(key);
    Trace(key + u" : " + a.m_strName + u" from " + Decimal(a.m_iSource) + u" to " +
          Decimal(a.m_iTarget) + u" datetime is " + a.m_strTime + u"\r\n");
    if (m_bDryRun) {
      Notify(key, a, SyncObserver::Outcome::kPlanned, 0);
      finish(key, 0);
      return;
    }
    if ((group == u"FILEADD" || group == u"FILEUPDATE") && lanes.Carries(a)) {
      status[key] = Status::kRunning;
      ready.push_back(key);
      return;
    }
    if (m_pObserver != nullptr) m_pObserver->OnActionStart(key, a);
    finish(key, operate(group, a));
  };
  // Starts the transfers that are ready while lanes are free.
  auto start_ready = [&]() {
    while (!ready.empty() && lanes.HasFreeLane()) {
      const std::u16string key = ready.front();
      ready.pop_front();
      const std::u16string group = GroupOf(key);
      lanes.Start(key, m_actions.Lookup(key),
                  [group, a = m_actions.Lookup(key), operate_on](CQUEXFSManager* target,
                                                                  CQUEXFSManager* source) {
                    return operate_on(group, a, target, source);
                  });
    }
  };
  // Waits for the transfer that ends first and finishes it.
  auto finish_one = [&]() {
    std::u16string key;
    int32_t r = 0;
    lanes.WaitForOne(&key, &r);
    if (m_pObserver != nullptr) m_pObserver->OnActionStart(key, m_actions.Lookup(key));
    lanes.HandOver(key);
    finish(key, r);
  };
  // Starts what is ready, waiting for lanes as they free, so that the walk
  // goes on with at most N transfers in flight.
  auto keep_going = [&]() {
    start_ready();
    while (!ready.empty()) {
      finish_one();
      start_ready();
    }
  };
  // Finishes every transfer, and whatever their ends made ready.
  auto drain = [&]() {
    keep_going();
    while (lanes.Busy()) {
      finish_one();
      keep_going();
    }
  };
  // A stop request ends the application between paths: once it came, only
  // the rest of a path already carried runs (the catalog record of a
  // transfer that succeeded); everything else is left for the next run.
  auto stopping = [&](const std::u16string& key) {
    if (m_bDryRun) return false;
    if (!m_bStopped) {
      if (m_pObserver == nullptr || !m_pObserver->StopRequested()) return false;
      m_bStopped = true;
    }
    const std::u16string& name = m_actions.Lookup(key).m_strName;
    for (const std::u16string& need : m_needs[key]) {
      if (status.count(need) != 0 && status[need] == Status::kSucceeded &&
          m_actions.Lookup(need).m_strName == name) {
        return false;
      }
    }
    return true;
  };
  process = [&](const std::u16string& key) {
    if (stopping(key)) {
      status[key] = Status::kNotRun;
      return;
    }
    int pending = 0;
    for (const std::u16string& need : m_needs[key]) {
      const Status s = status.count(need) != 0 ? status[need] : Status::kSkipped;
      if (s == Status::kFailed || s == Status::kSkipped) {
        skip(key);
        return;
      }
      if (s != Status::kSucceeded) {
        waiting_on[need].push_back(key);
        ++pending;
      }
    }
    if (pending > 0) {
      status[key] = Status::kWaiting;
      unresolved[key] = pending;
      return;
    }
    run(key);
  };
  resolve = [&](const std::u16string& key) {
    const auto found = waiting_on.find(key);
    if (found == waiting_on.end()) return;
    const std::vector<std::u16string> waiting = std::move(found->second);
    waiting_on.erase(found);
    for (const std::u16string& dependent : waiting) {
      if (status[dependent] != Status::kWaiting) continue;
      if (status[key] != Status::kSucceeded) {
        skip(dependent);
      } else if (--unresolved[dependent] == 0) {
        status[dependent] = Status::kNotReached;
        process(dependent);
      }
    }
  };

  std::u16string walking;
  for (const std::u16string& key : walk) {
    if (GroupOf(key) != walking) {
      drain();  // the groups keep their order
      walking = GroupOf(key);
    }
    if (status[key] == Status::kNotReached) process(key);
    keep_going();
  }
  drain();
  if (m_bStopped) return 0;  // what waits was not run: the next run finds it
  // What still waits needs something that waits for it in turn.
  for (const std::u16string& key : walk) {
    if (status[key] == Status::kWaiting) skip(key);
  }
  if (m_pInUsePass != nullptr) m_pInUsePass->Run(m_deferred, sides, m_pObserver);
  return 0;
}
