#include "sync_tally.h"

#include <unistd.h>

#include <cstdio>

#include "progress.h"
#include "wide_text.h"

namespace cli {
namespace {

const char* SideName(int side) {
  switch (side) {
    case 0: return "catalog";
    case 1: return "local";
    case 2: return "remote";
  }
  return "?";
}

const char* LeftOutName(int reason) {
  switch (reason) {
    case KELTOS3_LEFT_OUT_DOT_DIRECTORY: return "dot-directory";
    case KELTOS3_LEFT_OUT_LINK: return "symbolic-link";
    case KELTOS3_LEFT_OUT_NAME_BACKSLASH: return "name-holds-backslash";
    case KELTOS3_LEFT_OUT_NAME_NOT_TEXT: return "name-not-utf8";
    case KELTOS3_LEFT_OUT_WORK_FILE_NAME: return "work-file-name";
    case KELTOS3_LEFT_OUT_CAPACITY: return "beyond-capacity";
  }
  return "other";
}

// Plain words for each reason, with the plural: "1 dot-directory".
std::string CountOf(int64_t n, int reason) {
  const bool one = n == 1;
  std::string words;
  switch (reason) {
    case KELTOS3_LEFT_OUT_DOT_DIRECTORY: words = one ? "dot-directory" : "dot-directories"; break;
    case KELTOS3_LEFT_OUT_LINK: words = one ? "symbolic link" : "symbolic links"; break;
    case KELTOS3_LEFT_OUT_NAME_BACKSLASH: words = one ? "name holding \\" : "names holding \\"; break;
    case KELTOS3_LEFT_OUT_NAME_NOT_TEXT: words = one ? "name that is not UTF-8" : "names that are not UTF-8"; break;
    case KELTOS3_LEFT_OUT_WORK_FILE_NAME: words = one ? "file named like a work file" : "files named like work files"; break;
    case KELTOS3_LEFT_OUT_CAPACITY: words = one ? "entry beyond SyncCapacity" : "entries beyond SyncCapacity"; break;
    default: words = "other"; break;
  }
  return std::to_string(n) + " " + words;
}

const char* ConflictKind(int kind) {
  switch (kind) {
    case KELTOS3_CONFLICT_BOTH_CHANGED: return "changed on both sides";
    case KELTOS3_CONFLICT_DELETED_AND_CHANGED: return "deleted on one side and changed on the other";
    case KELTOS3_CONFLICT_FILE_AND_DIRECTORY: return "a file on one side and a directory on the other";
  }
  return "changed on both sides";
}

// "FILEADD00001" -> "FILEADD".
std::string Group(const std::string& key) {
  size_t end = key.size();
  while (end > 0 && key[end - 1] >= '0' && key[end - 1] <= '9') --end;
  return key.substr(0, end);
}

// The plain words for one action.
std::string Describe(const std::string& group, const std::string& name,
                     const std::string& source_name, int source, int target) {
  if (group == "FILEADD" && source_name != name) {
    return std::string("keep conflict copy ") + name + " of " + source_name + " (" +
           SideName(target) + (source == target ? ", beside the file" : "") + ")";
  }
  if (target == 0) {
    if (group == "FILEADD" || group == "DIRADD") return "record in catalog: added " + name;
    if (group == "FILEUPDATE") return "record in catalog: updated " + name;
    return "record in catalog: removed " + name;
  }
  const bool to_remote = target == 2;
  if (group == "DIRADD") {
    return std::string(to_remote ? "create remote directory " : "create local directory ") + name;
  }
  if (group == "DIRDELETE") {
    return std::string(to_remote ? "remove remote directory " : "remove local directory ") + name;
  }
  if (group == "FILEDELETE") {
    return std::string(to_remote ? "delete remote " : "delete local ") + name;
  }
  std::string line = std::string(to_remote ? "upload " : "download ") + name;
  if (group == "FILEUPDATE") line += " (changed)";
  return line;
}

std::string Seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", seconds);
  return text;
}

}  // namespace

SyncTally::SyncTally(bool dry_run, bool json, bool progress)
    : dry_run_(dry_run),
      json_(json),
      progress_(progress && isatty(STDERR_FILENO) == 1),
      start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {}

KeltoS3SyncParams SyncTally::Params(int flags, int max_delete_percent, volatile int* stop) {
  KeltoS3SyncParams params{};
  params.size = sizeof params;
  params.flags = flags;
  params.max_delete_percent = max_delete_percent;
  params.context = this;
  params.on_action = &SyncTally::OnAction;
  params.on_left_out = &SyncTally::OnLeftOut;
  params.on_conflict = &SyncTally::OnConflict;
  params.on_progress = &SyncTally::OnProgress;
  params.stop = stop;
  return params;
}

void SyncTally::StartRun(int run) {
  run_ = run;
  done_in_run_ = 0;
  planned_in_run_ = 0;
  left_out_.clear();
}

void SyncTally::EndRun(const KeltoS3SyncReport& report) {
  ClearProgress();
  bytes_sent_ += report.bytes_sent;
  bytes_received_ += report.bytes_received;
  pending_ = report.actions_dropped;
  planned_in_run_ = report.actions_planned;
  for (int i = 0; i < KELTOS3_LEFT_OUT_SLOTS; ++i) left_out_counts_[i] = report.left_out[i];
  capacity_reached_ = report.capacity_reached != 0;
}

int SyncTally::Failures() const { return static_cast<int>(failed_.size()); }

int64_t SyncTally::LeftOutToSeeTo() const {
  int64_t n = 0;
  for (int i = 0; i < KELTOS3_LEFT_OUT_SLOTS; ++i) {
    if (i != KELTOS3_LEFT_OUT_DOT_DIRECTORY && i != KELTOS3_LEFT_OUT_LINK) n += left_out_counts_[i];
  }
  return n;
}

void KELTOS3_CDECL SyncTally::OnAction(void* context, const KeltoS3SyncActionInfo* action) {
  static_cast<SyncTally*>(context)->Action(*action);
}

void SyncTally::Action(const KeltoS3SyncActionInfo& action) {
  const std::string key = WideToUtf8(action.action_key);
  const std::string name = WideToUtf8(action.name);
  const std::string source_name = WideToUtf8(action.source_name);
  const std::string failure = WideToUtf8(action.failure);
  const std::string group = Group(key);
  const std::string what = Describe(group, name, source_name, action.source, action.target);
  const std::string id = group + " " + name;
  const bool directory = group == "DIRADD" || group == "DIRDELETE";
  const bool retried = !keys_in_run_.insert(key).second;

  std::string outcome;
  std::string line;
  if (action.outcome == KELTOS3_SYNC_PLANNED) {
    outcome = "planned";
    line = "would " + what;
    ++planned_;
  } else if (action.outcome == KELTOS3_SYNC_SKIPPED) {
    outcome = "skipped";
    line = action.target == 0
               ? "not recorded in catalog: " + name +
                     " (the transfer failed; the next run tries again)"
               : "not carried: " + what + " (an action it needs failed; the next run tries again)";
    failed_[id] = line;
  } else if (action.result == 0 || (group == "DIRADD" && action.result == 1)) {
    outcome = "done";
    line = retried ? what + " (retried from a snapshot copy)" : what;
    failed_.erase(id);
    ++done_in_run_;
    if (action.target == 0) {
      ++recorded_;
    } else {
      if (directory) {
        ++directories_;
      } else if (group == "FILEDELETE") {
        (action.target == 1 ? deleted_local_ : deleted_remote_).insert(name);
      } else {
        (action.target == 2 ? uploaded_ : downloaded_).insert(name);
      }
    }
  } else if (group == "DIRDELETE") {
    // A directory that still holds entries the run does not synchronise
    // (a dot-directory, a link) stays; that is no failure of the run.
    outcome = "left";
    line = what + " (left as it is: not empty)";
  } else {
    outcome = "failed";
    const int side = action.failed_side >= 0 ? action.failed_side : action.target;
    line = std::string(retried ? "FAILED again from a snapshot copy: " : "FAILED: ") + what +
           " (" + SideName(side) + " side" +
           (failure.empty() ? " answered " + std::to_string(action.result) : ": " + failure) +
           ")";
    failed_[id] = line;
  }

  if (json_) {
    nlohmann::json entry = {{"run", run_},
                            {"key", key},
                            {"action", what},
                            {"path", name},
                            {"source", SideName(action.source)},
                            {"target", SideName(action.target)},
                            {"outcome", outcome},
                            {"result", action.result},
                            {"bytes", action.bytes}};
    if (source_name != name) entry["copy_of"] = source_name;
    if (outcome == "failed") {
      entry["failed_side"] = SideName(action.failed_side >= 0 ? action.failed_side : action.target);
      entry["failure"] = failure;
    }
    actions_json_.push_back(std::move(entry));
    return;
  }
  Line(line);
}

void KELTOS3_CDECL SyncTally::OnLeftOut(void* context, int reason, const wchar_t* name) {
  SyncTally* tally = static_cast<SyncTally*>(context);
  const std::string path = WideToUtf8(name);
  tally->left_out_.emplace_back(reason, path);
  // Left out by design: counted in the summary, never listed one by one.
  if (reason == KELTOS3_LEFT_OUT_DOT_DIRECTORY || reason == KELTOS3_LEFT_OUT_LINK) return;
  if (tally->json_ || tally->run_ > 1) return;  // every run finds them again
  std::string why;
  switch (reason) {
    case KELTOS3_LEFT_OUT_NAME_BACKSLASH: why = "its name holds \\, which cannot be stored as a key"; break;
    case KELTOS3_LEFT_OUT_NAME_NOT_TEXT: why = "its name is not valid UTF-8"; break;
    case KELTOS3_LEFT_OUT_WORK_FILE_NAME:
      why = "named like keltos3's work files (left by an interrupted copy, or rename it)";
      break;
    default: why = "cannot be synchronised"; break;
  }
  tally->Line("LEFT OUT: " + path + " (" + why + ")");
}

void KELTOS3_CDECL SyncTally::OnConflict(void* context, int kind, const wchar_t* name, int winner,
                                         const wchar_t* copy_name) {
  SyncTally* tally = static_cast<SyncTally*>(context);
  const std::string path = WideToUtf8(name);
  const std::string copy = WideToUtf8(copy_name);
  if (tally->json_) {
    nlohmann::json entry = {{"run", tally->run_},
                            {"path", path},
                            {"kind", ConflictKind(kind)},
                            {"kept", SideName(winner)}};
    if (!copy.empty()) entry["copy"] = copy;
    tally->conflicts_json_.push_back(std::move(entry));
    return;
  }
  std::string line = "CONFLICT: " + path + " was " + ConflictKind(kind) + "; the " +
                     SideName(winner) + " version is kept";
  line += copy.empty() ? "" : ", the other is kept as " + copy;
  tally->Line(line);
}

void KELTOS3_CDECL SyncTally::OnProgress(void* context, const KeltoS3SyncProgress* progress) {
  SyncTally* tally = static_cast<SyncTally*>(context);
  if (!tally->progress_) return;
  const auto now = std::chrono::steady_clock::now();
  if (tally->progress_drawn_ && now - tally->last_draw_ < std::chrono::milliseconds(100)) return;
  tally->last_draw_ = now;
  const int shown = progress->transfers_done < progress->transfers_total
                        ? progress->transfers_done + 1
                        : progress->transfers_total;
  std::fprintf(stderr, "\rsync: %d/%d, %s  %s\x1b[K", shown, progress->transfers_total,
               HumanBytes(progress->bytes).c_str(), WideToUtf8(progress->name).c_str());
  std::fflush(stderr);
  tally->progress_drawn_ = true;
}

void SyncTally::ClearProgress() {
  if (!progress_drawn_) return;
  std::fputs("\r\x1b[K", stderr);
  std::fflush(stderr);
  progress_drawn_ = false;
}

void SyncTally::Line(const std::string& text) {
  ClearProgress();
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

void SyncTally::Finish(const std::string& status, int exit_code, const std::string& error,
                       bool pending, int runs) {
  ClearProgress();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  if (json_) {
    nlohmann::json not_synchronised = nlohmann::json::object();
    for (int i = 0; i <= KELTOS3_LEFT_OUT_CAPACITY; ++i) {
      not_synchronised[LeftOutName(i)] = left_out_counts_[i];
    }
    nlohmann::json left_out = nlohmann::json::array();
    for (const auto& [reason, path] : left_out_) {
      left_out.push_back({{"path", path}, {"reason", LeftOutName(reason)}});
    }
    nlohmann::json document = {
        {"command", "sync"},
        {"status", status},
        {"exit_code", exit_code},
        {"dry_run", dry_run_},
        {"runs", runs},
        {"actions", actions_json_},
        {"conflicts", conflicts_json_},
        {"left_out", left_out},
        {"summary",
         {{"uploaded", uploaded_.size()},
          {"downloaded", downloaded_.size()},
          {"deleted_local", deleted_local_.size()},
          {"deleted_remote", deleted_remote_.size()},
          {"directories", directories_},
          {"catalog_records", recorded_},
          {"planned", planned_},
          {"bytes_sent", bytes_sent_},
          {"bytes_received", bytes_received_},
          {"failed", Failures()},
          {"not_synchronised", not_synchronised},
          {"capacity_reached", capacity_reached_},
          {"more_work_waiting", pending},
          {"actions_waiting", pending_},
          {"seconds", seconds}}}};
    if (!error.empty()) document["error"] = error;
    std::printf("%s\n",
                document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    std::fflush(stdout);
    return;
  }

  if (dry_run_) {
    std::printf("dry run: %d action%s would be carried out; nothing was changed\n", planned_,
                planned_ == 1 ? "" : "s");
    if (pending) {
      std::printf("more than one run's worth of work is waiting: %d more action%s do%s not fit "
                  "into this run (SyncCapacity); keltos3 sync repeats runs until they are done\n",
                  pending_, pending_ == 1 ? "" : "s", pending_ == 1 ? "es" : "");
    }
  } else {
    std::printf("summary: %zu uploaded (%s), %zu downloaded (%s), %zu deleted locally, "
                "%zu deleted remotely, %d director%s created or removed, %d failed; "
                "%d run%s in %s\n",
                uploaded_.size(), HumanBytes(bytes_sent_).c_str(), downloaded_.size(),
                HumanBytes(bytes_received_).c_str(), deleted_local_.size(),
                deleted_remote_.size(),
                directories_, directories_ == 1 ? "y" : "ies", Failures(), runs,
                runs == 1 ? "" : "s", Seconds(seconds).c_str());
  }
  std::string by_design;
  for (int reason : {KELTOS3_LEFT_OUT_DOT_DIRECTORY, KELTOS3_LEFT_OUT_LINK}) {
    if (left_out_counts_[reason] == 0) continue;
    by_design += (by_design.empty() ? "" : ", ") + CountOf(left_out_counts_[reason], reason);
  }
  if (!by_design.empty()) {
    std::printf("not synchronised by design: %s\n", by_design.c_str());
  }
  std::string left;
  for (int reason : {KELTOS3_LEFT_OUT_NAME_BACKSLASH, KELTOS3_LEFT_OUT_NAME_NOT_TEXT,
                     KELTOS3_LEFT_OUT_WORK_FILE_NAME, KELTOS3_LEFT_OUT_CAPACITY}) {
    if (left_out_counts_[reason] == 0) continue;
    left += (left.empty() ? "" : ", ") + CountOf(left_out_counts_[reason], reason);
  }
  if (capacity_reached_ && left_out_counts_[KELTOS3_LEFT_OUT_CAPACITY] == 0) {
    left += std::string(left.empty() ? "" : ", ") +
            "the remote tree fills SyncCapacity (entries beyond it are not synchronised)";
  }
  if (!left.empty()) std::printf("LEFT OUT, not synchronised: %s\n", left.c_str());
  if (!dry_run_ && pending) {
    std::printf("more work is waiting: %d action%s did not fit into the last run; run "
                "keltos3 sync again\n",
                pending_, pending_ == 1 ? "" : "s");
  }
  if (status == "interrupted") {
    std::printf("interrupted: stopped after the action in progress; what was carried is "
                "recorded, the rest is found again by the next run\n");
  }
  std::fflush(stdout);
}

}  // namespace cli
