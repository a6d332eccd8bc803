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
// separator.
std::wstring LocalRoot(const std::string& path, bool create, std::string* error) {
  std::error_code ec;
  std::filesystem::path p(path);
  if (create) std::filesystem::create_directories(p, ec);
  ec.clear();
  std::filesystem::path absolute = std::filesystem::absolute(p, ec);
  if (ec) {
    *error = "cannot resolve " + path;
    return std::wstring();
  }
  std::string text = absolute.lexically_normal().string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  for (char& c : text) {
    if (c == '/') c = '\\';
  }
  return Utf8ToWide(text);
}

int RunSync(const std::vector<std::string>& args) {
  ParsedOptions options;
  std::string error;
  if (!ParseOptions(args, {{"dry-run", false}}, &options, &error)) {
    return UsageError(kSync, error);
  }
  if (options.positional().size() != 3) {
    return UsageError(kSync, "give LOCALROOT, CATALOGROOT and REMOTEROOT");
  }
  Tally tally;
  tally.dry_run = options.Flag("dry-run");
  const std::wstring local = LocalRoot(options.positional()[0], false, &error);
  if (local.empty()) return Failure(kSync, error);
  // The catalog root is the host's to create; without it the run could
  // record nothing and would start over every time.
  const std::wstring catalog = LocalRoot(options.positional()[1], !tally.dry_run, &error);
  if (catalog.empty()) return Failure(kSync, error);
  std::string remote_text = options.positional()[2];
  for (char& c : remote_text) {
    if (c == '/') c = '\\';
  }
  if (remote_text.empty() || remote_text == "\\") {
    return UsageError(kSync, "REMOTEROOT must name a bucket");
  }
  const std::wstring remote = Utf8ToWide(remote_text);

  const int r = KeltoS3Synchronize(local.c_str(), catalog.c_str(), remote.c_str(),
                                   tally.dry_run ? KELTOS3_SYNC_DRY_RUN : 0, OnAction,
                                   &tally);
  switch (r) {
    case KELTOS3_SYNC_OK:
      break;
    case KELTOS3_SYNC_REMOTE_FAILED:
      return Failure(kSync,
                     "the remote tree could not be loaded (the server did not answer, "
                     "refused the credentials, or its listings did not agree); nothing "
                     "was changed");
    case KELTOS3_SYNC_LOCAL_FAILED:
      return Failure(kSync,
                     "the local tree could not be read whole (its root is missing or a "
                     "directory in it cannot be listed); nothing was changed");
    default:
      return Failure(kSync, "the synchronisation could not run");
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
    "sync", "sync [--dry-run] LOCALROOT CATALOGROOT REMOTEROOT",
    "Synchronise a local tree and a remote tree through a local catalog.",
    "LOCALROOT is the directory to keep in step, CATALOGROOT a directory where the\n"
    "library records the state of the last run (created when missing), and\n"
    "REMOTEROOT a bucket name, optionally followed by a path inside it\n"
    "(backups or backups/docs).  One line is printed per action.  With --dry-run\n"
    "the actions are only printed.  Exit status: 0 done, 1 nothing could be done\n"
    "(the remote or the local tree could not be loaded), 2 misuse, 3 the run\n"
    "completed but some transfers failed (the next run tries them again).",
    RunSync};

const bool kRegistered = RegisterCommand(kSync);

}  // namespace
}  // namespace cli
