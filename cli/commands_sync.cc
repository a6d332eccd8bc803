// keltos3 sync: one three-way synchronisation of a local tree, its catalog
// and a remote tree, with one readable line per action.

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "KeltoS3.h"
#include "command.h"
#include "options.h"
#include "wide_text.h"

namespace cli {
namespace {

extern const Command kSync;

const char* SideName(int side) {
  switch (side) {
    case 0: return "catalog";
    case 1: return "local";
    case 2: return "remote";
  }
  return "?";
}

// "FILEADD00001" -> "FILEADD".
std::string Group(const std::string& key) {
  size_t end = key.size();
  while (end > 0 && key[end - 1] >= '0' && key[end - 1] <= '9') --end;
  return key.substr(0, end);
}

// The plain words for one action.
std::string Describe(const std::string& key, const std::string& name, int source,
                     int target) {
  const std::string group = Group(key);
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
  const char* verb = to_remote ? "upload " : "download ";
  std::string line = verb + name;
  if (group == "FILEUPDATE") line += " (changed)";
  (void)source;
  return line;
}

struct Tally {
  bool dry_run = false;
  int done = 0;
  int failed = 0;
  int not_recorded = 0;
  // How each action key was counted.  The snapshot-assisted library reports
  // an action again, under the same key, when it retried it from a snapshot
  // copy; a retry that succeeded turns its first count into a done one.
  enum Counted { kDone, kFailed, kNotRecorded };
  std::map<std::string, Counted> counted;
};

void OnAction(void* context, const wchar_t* action_key, const wchar_t* name,
              int source, int target, const wchar_t*, int outcome, int result) {
  Tally* tally = static_cast<Tally*>(context);
  const std::string key = WideToUtf8(action_key);
  const std::string path = WideToUtf8(name);
  const std::string what = Describe(key, path, source, target);
  const auto seen = tally->counted.find(key);
  if (seen != tally->counted.end()) {
    if (outcome == KELTOS3_SYNC_DONE && result == 0 && seen->second != Tally::kDone) {
      std::printf("%s (retried from a snapshot copy)\n", what.c_str());
      --(seen->second == Tally::kFailed ? tally->failed : tally->not_recorded);
      ++tally->done;
      seen->second = Tally::kDone;
    } else if (outcome == KELTOS3_SYNC_DONE) {
      std::printf("FAILED again from a snapshot copy: %s (%s side answered %d)\n",
                  what.c_str(), SideName(target), result);
    }
    std::fflush(stdout);
    return;
  }
  if (outcome == KELTOS3_SYNC_PLANNED) {
    std::printf("would %s\n", what.c_str());
    ++tally->done;
  } else if (outcome == KELTOS3_SYNC_SKIPPED) {
    std::printf("not recorded in catalog: %s (the transfer failed; the next run tries again)\n",
                path.c_str());
    ++tally->not_recorded;
    tally->counted[key] = Tally::kNotRecorded;
  } else if (result == 0) {
    std::printf("%s\n", what.c_str());
    ++tally->done;
    tally->counted[key] = Tally::kDone;
  } else if (Group(key) == "DIRADD" || Group(key) == "DIRDELETE") {
    // Directory results are advisory: an existing directory, or one that
    // still holds files, is not an error of the run.
    std::printf("%s (left as it is, code %d)\n", what.c_str(), result);
    ++tally->done;
  } else {
    std::printf("FAILED: %s (%s side answered %d)\n", what.c_str(), SideName(target), result);
    ++tally->failed;
    tally->counted[key] = Tally::kFailed;
  }
  std::fflush(stdout);
}

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
int ReportNotRun(int result) {
  const char* const unchanged = "; nothing was changed";
  const char* const allow =
      "; nothing was changed (if every file was removed on purpose, run again with "
      "--allow-empty)";
  switch (result) {
    case KELTOS3_SYNC_REMOTE_FAILED:
      return Failure(kSync,
                     std::string("the remote tree could not be loaded (the server did not "
                                 "answer, refused the credentials, or its listings did not "
                                 "agree)") + unchanged);
    case KELTOS3_SYNC_LOCAL_FAILED:
      return Failure(kSync,
                     std::string("the local tree could not be read whole (its root is "
                                 "missing, a directory or an entry in it cannot be read, or "
                                 "a directory the catalog records is now a symbolic link)") +
                         unchanged);
    case KELTOS3_SYNC_REMOTE_EMPTY:
      Failure(kSync, std::string("the remote tree is empty while the catalog records files "
                                 "(a wrong bucket, path or endpoint, or an emptied bucket)") +
                         allow);
      return kExitRefused;
    case KELTOS3_SYNC_LOCAL_EMPTY:
      Failure(kSync, std::string("the local tree is empty while the catalog records files "
                                 "(a disk that is not mounted, a wrong directory)") +
                         allow);
      return kExitRefused;
    case KELTOS3_SYNC_OTHER_LAYOUT:
      Failure(kSync, std::string("the bucket holds the other build's layout (index objects "
                                 "with or without version stamps), which this library cannot "
                                 "read") + unchanged);
      return kExitRefused;
    case KELTOS3_SYNC_CATALOG_OVERLAP:
      Failure(kSync, std::string("the catalog root must lie outside the local root and the "
                                 "local root outside the catalog root") + unchanged);
      return kExitRefused;
    default:
      return Failure(kSync, "the synchronisation could not run");
  }
}

int RunSync(const std::vector<std::string>& args) {
  ParsedOptions options;
  std::string error;
  if (!ParseOptions(args, {{"dry-run", false}, {"allow-empty", false}}, &options, &error)) {
    return UsageError(kSync, error);
  }
  if (options.positional().size() != 3) {
    return UsageError(kSync, "give LOCALROOT, CATALOGROOT and REMOTEROOT");
  }
  Tally tally;
  tally.dry_run = options.Flag("dry-run");
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
      tally.dry_run ? std::vector<std::filesystem::path>() : MakeDirectories(catalog_path);
  int flags = tally.dry_run ? KELTOS3_SYNC_DRY_RUN : 0;
  if (options.Flag("allow-empty")) flags |= KELTOS3_SYNC_ALLOW_EMPTY;
  const int r =
      KeltoS3Synchronize(local.c_str(), catalog.c_str(), remote.c_str(), flags, OnAction, &tally);
  if (r != KELTOS3_SYNC_OK) {
    std::error_code ec;
    for (const std::filesystem::path& dir : made) std::filesystem::remove(dir, ec);
    return ReportNotRun(r);
  }
  if (tally.dry_run) {
    std::printf("dry run: %d action%s would be carried out; nothing was changed\n",
                tally.done, tally.done == 1 ? "" : "s");
    return kExitOk;
  }
  std::printf("%d action%s carried out, %d failed, %d not recorded in the catalog\n",
              tally.done, tally.done == 1 ? "" : "s", tally.failed, tally.not_recorded);
  return tally.failed == 0 ? kExitOk : kExitPartial;
}

const Command kSync = {
    "sync", "sync [--dry-run] [--allow-empty] LOCALROOT CATALOGROOT REMOTEROOT",
    "Synchronise a local tree and a remote tree through a local catalog.",
    "LOCALROOT is the directory to keep in step, CATALOGROOT a directory outside it\n"
    "where the library records the state of the last run (created when missing),\n"
    "and REMOTEROOT a bucket name, optionally followed by a path inside it\n"
    "(backups or backups/docs).  One line is printed per action.  With --dry-run\n"
    "the actions are only printed.  A run is refused when the remote or the local\n"
    "tree is empty while the catalog records files; --allow-empty carries such a\n"
    "deliberate emptying to the other side.  Exit status: 0 done, 1 nothing could\n"
    "be done (the remote or the local tree could not be loaded), 2 misuse, 3 the\n"
    "run completed but some transfers failed (the next run tries them again),\n"
    "4 refused as unsafe (an empty side, the catalog inside the local tree or\n"
    "around it, a bucket in the other build's layout); nothing was changed.",
    RunSync};

const bool kRegistered = RegisterCommand(kSync);

}  // namespace
}  // namespace cli
