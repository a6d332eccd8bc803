// What `keltos3 sync` tells the user: one line per action, a progress line
// on a terminal, and the summary of all the runs of one command, as text
// or as one JSON document.

#ifndef KELTOS3_CLI_SYNC_TALLY_H_
#define KELTOS3_CLI_SYNC_TALLY_H_

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "KeltoS3.h"

namespace cli {

class SyncTally {
 public:
  // `json`: collect everything for one document instead of printing lines.
  // `progress`: draw a progress line on stderr (only on a terminal).
  SyncTally(bool dry_run, bool json, bool progress);
  SyncTally(const SyncTally&) = delete;
  SyncTally& operator=(const SyncTally&) = delete;

  // The params of the next run, with this tally as the callbacks' context.
  // `stop` is the command's stop request.
  KeltoS3SyncParams Params(int flags, int max_delete_percent, volatile int* stop);

  // Before and after each run.
  void StartRun(int run);
  void EndRun(const KeltoS3SyncReport& report);

  // The failures that are still failures: actions that failed and were not
  // carried by a later run of the same command.
  int Failures() const;
  // Entries left out that the user must see to: names that cannot be keys
  // and entries beyond the capacity (dot-directories and links are left out
  // by design and do not count).
  int64_t LeftOutToSeeTo() const;
  bool CapacityReached() const { return capacity_reached_; }
  // Actions of the last run that succeeded (catalog records included).
  int DoneInRun() const { return done_in_run_; }
  int PlannedInRun() const { return planned_in_run_; }

  // Ends the output: the summary lines, or the JSON document with `status`
  // ("done", "partial", "left-out", "refused", "failed", "interrupted"),
  // the exit code and the error text of a run that could not be carried
  // out (empty when none).
  void Finish(const std::string& status, int exit_code, const std::string& error,
              bool pending, int runs);

 private:
  static void KELTOS3_CDECL OnAction(void* context, const KeltoS3SyncActionInfo* action);
  static void KELTOS3_CDECL OnLeftOut(void* context, int reason, const wchar_t* name);
  static void KELTOS3_CDECL OnConflict(void* context, int kind, const wchar_t* name,
                                       int winner, const wchar_t* copy_name);
  static void KELTOS3_CDECL OnProgress(void* context, const KeltoS3SyncProgress* progress);

  void Action(const KeltoS3SyncActionInfo& action);
  void Line(const std::string& text);
  void ClearProgress();

  const bool dry_run_;
  const bool json_;
  const bool progress_;
  const std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
  bool progress_drawn_ = false;
  int run_ = 0;

  // Counts over every run of the command: the files uploaded, downloaded
  // and deleted (each path once, however many runs carried it), and the
  // directories created or removed.
  std::set<std::string> uploaded_;
  std::set<std::string> downloaded_;
  std::set<std::string> deleted_local_;
  std::set<std::string> deleted_remote_;
  int directories_ = 0;
  int recorded_ = 0;
  int planned_ = 0;
  uint64_t bytes_sent_ = 0;
  uint64_t bytes_received_ = 0;
  // Failed actions by group, path and target; a later success of the same
  // action removes its entry.
  std::map<std::string, std::string> failed_;
  int done_in_run_ = 0;
  // Action keys this run reported: the snapshot-assisted library reports an
  // action again, under the same key, when it retried it from a snapshot
  // copy.
  std::set<std::string> keys_in_run_;
  int planned_in_run_ = 0;
  int pending_ = 0;
  // The left-out entries of the last run (every run scans again).
  std::vector<std::pair<int, std::string>> left_out_;
  int64_t left_out_counts_[KELTOS3_LEFT_OUT_SLOTS] = {};
  bool capacity_reached_ = false;
  // One document's worth of events (with --json).
  nlohmann::json actions_json_ = nlohmann::json::array();
  nlohmann::json conflicts_json_ = nlohmann::json::array();
};

}  // namespace cli

#endif  // KELTOS3_CLI_SYNC_TALLY_H_
