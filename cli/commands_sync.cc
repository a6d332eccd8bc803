// keltos3 sync: carries a local tree and a remote tree into step through a
// local catalog, repeating the library's capped runs until nothing is left,
// with one readable line per action (or one JSON document) and a summary
// that counts what was carried, what failed and what was left out.

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <type_traits>
#include <vector>

#include "KeltoS3.h"
#include "command.h"
#include "interrupt.h"
#include "options.h"
#include "remote.h"
#include "sync_tally.h"
#include "wide_text.h"

namespace cli {
namespace {

extern const Command kSync;

// A local directory path in the library's form, without a trailing
// separator.  *posix receives the same path in POSIX form.
std::wstring LocalRoot(const std::string& path, std::filesystem::path* posix,
                       std::string* error) {
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  if (ec) {
    *error = "cannot resolve " + path;
    return std::wstring();
  }
  std::string text = absolute.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  *posix = text;
  for (char& c : text) {
    if (c == '/') c = '\\';
  }
  return Utf8ToWide(text);
}

// Creates `dir` with its missing parents.  Returns the directories it made,
// deepest first, so that a run that changed nothing can take them back.
std::vector<std::filesystem::path> MakeDirectories(const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> made;
  std::error_code ec;
  for (std::filesystem::path p = dir; !p.empty() && !std::filesystem::exists(p, ec);
       p = p.parent_path()) {
    made.push_back(p);
    if (p == p.parent_path()) break;
  }
  std::filesystem::create_directories(dir, ec);
  return made;
}

// What a refused or failed run tells the user.  Every one of them changed
// nothing.
std::string NotRunMessage(int result, const KeltoS3SyncReport& report) {
  const std::string unchanged = "; nothing was changed";
  const std::string allow =
      "; nothing was changed (if every file was removed on purpose, run again with "
      "--allow-empty)";
  switch (result) {
    case KELTOS3_SYNC_REMOTE_FAILED:
      return "the remote tree could not be loaded (the server did not answer, refused the "
             "credentials, or its listings did not agree)" + unchanged;
    case KELTOS3_SYNC_LOCAL_FAILED:
      return "the local tree could not be read whole (its root is missing, a directory or an "
             "entry in it cannot be read, or a directory the catalog records is now a "
             "symbolic link)" + unchanged;
    case KELTOS3_SYNC_REMOTE_EMPTY:
      return "the remote tree is empty while the catalog records files (a wrong bucket, path "
             "or endpoint, or an emptied bucket)" + allow;
    case KELTOS3_SYNC_LOCAL_EMPTY:
      return "the local tree is empty while the catalog records files (a disk that is not "
             "mounted, a wrong directory)" + allow;
    case KELTOS3_SYNC_OTHER_LAYOUT:
      return "the bucket holds the other build's layout (index objects with or without "
             "version stamps), which this library cannot read" + unchanged;
    case KELTOS3_SYNC_CATALOG_OVERLAP:
      return "the catalog root must lie outside the local root and the local root outside "
             "the catalog root" + unchanged;
    case KELTOS3_SYNC_TOO_MANY_DELETIONS:
      return "the run would delete " + std::to_string(report.refused_deletions) + " of the " +
             std::to_string(report.recorded_files) + " files the catalog records on the " +
             (report.refused_side == 1 ? "local" : "remote") + " side (more than " +
             std::to_string(report.max_delete_percent) + "%)" + unchanged +
             " (if these deletions are meant, run again with --max-delete 100)";
    case KELTOS3_SYNC_OTHER_REMOTE_ROOT:
      return "this catalog belongs to the remote root " +
             WideToUtf8(report.catalog_remote_root) + ", not " +
             WideToUtf8(report.run_remote_root) + unchanged +
             " (use a new catalog folder to pair this tree with another remote root)";
    default:
      return "the synchronisation could not run";
  }
}

// Why the remote tree could not be loaded, as far as keltos3 can tell: a
// bucket the account does not have, or the library's words for the last
// failure.  The bucket is looked up only after the failure, so that an
// account without the right to list its buckets still synchronises.
std::string RemoteFailedMessage(const std::string& remote_text) {
  const std::string cause = LastFailure("");
  const size_t begin = remote_text.find_first_not_of('\\');
  const std::string bucket =
      begin == std::string::npos
          ? ""
          : remote_text.substr(begin, remote_text.find('\\', begin) - begin);
  if (!bucket.empty() && BucketState(bucket) == 0) {
    return "the remote tree could not be loaded: the bucket '" + bucket +
           "' does not exist; create it with 'keltos3 mb " + bucket + "'; nothing was changed";
  }
  if (cause.empty()) return NotRunMessage(KELTOS3_SYNC_REMOTE_FAILED, KeltoS3SyncReport{});
  return "the remote tree could not be loaded: " + cause + "; nothing was changed";
}

// Trees that could not be loaded are failures (1); refusals, which need the
// user's decision, are 4.
int NotRunExitCode(int result) {
  switch (result) {
    case KELTOS3_SYNC_REMOTE_EMPTY:
    case KELTOS3_SYNC_LOCAL_EMPTY:
    case KELTOS3_SYNC_OTHER_LAYOUT:
    case KELTOS3_SYNC_CATALOG_OVERLAP:
    case KELTOS3_SYNC_TOO_MANY_DELETIONS:
    case KELTOS3_SYNC_OTHER_REMOTE_ROOT:
      return kExitRefused;
    default:
      return kExitFailure;
  }
}

// Exit code of sync beyond the common ones (command.h).
constexpr int kSyncExitLeftOut = 5;  // entries were left out (names, capacity)

// A command never repeats runs for ever: a tree's work takes a few runs of
// SyncCapacity actions each (every change is at most a transfer and a
// catalog record, and a run considers at most SyncCapacity entries of each
// kind per tree).
constexpr int kMaxRuns = 32;

// The library reads the stop request between paths as a plain int.
static_assert(std::is_same_v<sig_atomic_t, int>, "the interrupt flag is the stop request");

bool ParsePercent(const std::string& text, int* percent) {
  if (text.empty() || text.size() > 3) return false;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value > 100) return false;
  *percent = value;
  return true;
}

int RunSync(const std::vector<std::string>& args) {
  ParsedOptions options;
  std::string error;
  if (!ParseOptions(args,
                    {{"dry-run", false}, {"allow-empty", false}, {"json", false},
                     {"max-delete", true}},
                    &options, &error)) {
    return UsageError(kSync, error);
  }
  if (options.positional().size() != 3) {
    return UsageError(kSync, "give LOCALROOT, CATALOGROOT and REMOTEROOT");
  }
  RemoteSettings settings;
  int exit_code = kExitOk;
  if (!PrepareRemote(kSync, &settings, &exit_code)) return exit_code;
  int max_delete = -1;
  if (const auto text = options.Value("max-delete")) {
    if (!ParsePercent(*text, &max_delete)) {
      return UsageError(kSync, "--max-delete needs a percentage from 0 to 100, not '" + *text + "'");
    }
  }
  const bool dry_run = options.Flag("dry-run");
  const bool json = options.Flag("json");
  std::filesystem::path local_path;
  std::filesystem::path catalog_path;
  const std::wstring local = LocalRoot(options.positional()[0], &local_path, &error);
  if (local.empty()) return Failure(kSync, error);
  const std::wstring catalog = LocalRoot(options.positional()[1], &catalog_path, &error);
  if (catalog.empty()) return Failure(kSync, error);
  std::string remote_text = options.positional()[2];
  for (char& c : remote_text) {
    if (c == '/') c = '\\';
  }
  while (remote_text.size() > 1 && remote_text.back() == '\\') remote_text.pop_back();
  if (remote_text.empty() || remote_text == "\\") {
    return UsageError(kSync, "REMOTEROOT must name a bucket");
  }
  const std::wstring remote = Utf8ToWide(remote_text);

  // The catalog root is the host's to create; without it the run could
  // record nothing and would start over every time.
  const std::vector<std::filesystem::path> made =
      dry_run ? std::vector<std::filesystem::path>() : MakeDirectories(catalog_path);
  int flags = dry_run ? KELTOS3_SYNC_DRY_RUN : 0;
  if (options.Flag("allow-empty")) flags |= KELTOS3_SYNC_ALLOW_EMPTY;

  SyncTally tally(dry_run, json, /*progress=*/true);
  // The first Ctrl-C stops the run before its next path; the second ends
  // the program at once.
  CatchInterrupt();
  int runs = 0;
  int result = KELTOS3_SYNC_OK;
  bool stopped = false;
  bool pending = false;
  KeltoS3SyncReport report{};
  // A dry run changes nothing, so a second one would show the same.
  const int max_runs = dry_run ? 1 : kMaxRuns;
  while (runs < max_runs) {
    if (runs > 0 && Interrupted()) {  // between two runs
      stopped = true;
      break;
    }
    ++runs;
    tally.StartRun(runs);
    report = KeltoS3SyncReport{};
    report.size = sizeof report;
    KeltoS3SyncParams params = tally.Params(flags, max_delete, InterruptFlag());
    params.report = &report;
    result = KeltoS3SynchronizeEx(local.c_str(), catalog.c_str(), remote.c_str(), &params);
    if (result != KELTOS3_SYNC_OK) break;
    tally.EndRun(report);
    stopped = report.stopped != 0;
    pending = report.actions_dropped > 0;
    // Another run only when this one had more work than room and got some
    // of it done: what failed would only fail again.
    if (stopped || !pending || tally.DoneInRun() == 0) break;
  }

  if (result != KELTOS3_SYNC_OK) {
    if (runs == 1) {
      std::error_code ec;
      for (const std::filesystem::path& dir : made) std::filesystem::remove(dir, ec);
    }
    const std::string message = result == KELTOS3_SYNC_REMOTE_FAILED
                                    ? RemoteFailedMessage(remote_text)
                                    : NotRunMessage(result, report);
    const int code = NotRunExitCode(result);
    std::fprintf(stderr, "keltos3 sync: %s\n", message.c_str());
    if (json || runs > 1) tally.Finish(code == kExitRefused ? "refused" : "failed", code, message, false, runs);
    return code;
  }
  int code = kExitOk;
  std::string status = "done";
  if (stopped) {
    code = kExitInterrupted;
    status = "interrupted";
  } else if (!dry_run && tally.Failures() > 0) {
    code = kExitPartial;
    status = "partial";
  } else if (tally.LeftOutToSeeTo() > 0 || tally.CapacityReached() || (!dry_run && pending)) {
    code = kSyncExitLeftOut;
    status = "left-out";
  }
  tally.Finish(status, code, "", pending, runs);
  return code;
}

const Command kSync = {
    "sync",
    "sync [--dry-run] [--json] [--allow-empty] [--max-delete PCT]\n"
    "                    LOCALROOT CATALOGROOT REMOTEROOT",
    "Synchronise a local tree and a remote tree through a local catalog.",
    "LOCALROOT is the directory to keep in step, CATALOGROOT a directory outside it\n"
    "where the library records the state of the last run (created when missing),\n"
    "and REMOTEROOT a bucket name, optionally followed by a path inside it\n"
    "(backups or backups/docs).  The library's runs are repeated until one has\n"
    "nothing left that fits (at most 32).  One line is printed per action, then a\n"
    "summary; on a terminal a progress line is drawn on stderr.\n"
    "  --dry-run         print what one run would do; change nothing\n"
    "  --json            print one JSON document instead of lines\n"
    "  --allow-empty     carry a deliberate emptying of one side to the other\n"
    "  --max-delete PCT  let this run delete up to PCT percent of the files the\n"
    "                    catalog records on one side (default: SyncMaxDelete)\n"
    "Ctrl-C stops after the action in progress (recorded, summary printed);\n"
    "a second Ctrl-C ends at once.\n"
    "Exit status: 0 every change found was carried and recorded; 1 a tree could\n"
    "not be loaded (nothing changed); 2 misuse; 3 some actions failed (the next\n"
    "run tries them again); 4 refused as unsafe (nothing changed); 5 entries were\n"
    "left out (names that cannot be keys, entries beyond SyncCapacity); 130\n"
    "interrupted.",
    RunSync};

const bool kRegistered = RegisterCommand(kSync);

}  // namespace
}  // namespace cli
