// keltos3 ls, du and rm: the remote-store functions.

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "KeltoS3.h"
#include "command.h"
#include "progress.h"
#include "remote.h"
#include "stored_names.h"
#include "wide_text.h"

namespace cli {
namespace {

extern const Command kLs;
extern const Command kDu;
extern const Command kRm;

// Stored versions are looked up by this many threads at once: each lookup
// is two requests, each followed by the RequestPause.
constexpr size_t kLookupThreads = 8;

struct Entry {
  bool folder = false;
  std::string path;         // \docs\a.txt, or \docs for a folder
  std::wstring stored_name;  // versions only
  int found = 0;             // KeltoS3GetStoredInfo's result
  long long size = 0;
  long long stored_time = 0;
  std::string error;
};

struct LsOptions {
  bool long_form = false;
  bool json = false;
} g_ls;
bool g_du_json = false;
std::string g_rm_name;

bool IsListed(const std::wstring& entry) {
  for (const std::wstring& listed : SplitDirList(GetDirList())) {
    if (listed == entry) return true;
  }
  return false;
}

// Size and time of every version, looked up by a few threads at once.
void LookUp(std::vector<Entry>* entries) {
  std::atomic<size_t> next{0};
  const auto work = [&]() {
    for (size_t i = next++; i < entries->size(); i = next++) {
      Entry& e = (*entries)[i];
      if (e.folder) continue;
      e.found = KeltoS3GetStoredInfo(e.stored_name.c_str(), &e.size, &e.stored_time);
      if (e.found == 1) e.error = "no longer listed";
      if (e.found == 2) e.error = LastFailure("its index object could not be read");
    }
  };
  std::vector<std::thread> threads;
  for (size_t i = 0; i < std::min(kLookupThreads, entries->size()); ++i) threads.emplace_back(work);
  for (std::thread& t : threads) t.join();
}

void DefineLs(CLI::App* app) {
  app->add_flag("-l,--long", g_ls.long_form, "add the stored name that get and rm take")
      ->disable_flag_override();
  app->add_flag("--json", g_ls.json, "print one JSON document")->disable_flag_override();
}

int RunLs() {
  RemoteSettings settings;
  int exit_code = kExitOk;
  if (!PrepareRemote(kLs, &settings, &exit_code)) return exit_code;
  if (!RequireBuckets(kLs, settings, true, false, &exit_code)) return exit_code;
  const std::vector<std::wstring> listed = SplitDirList(GetDirList());
  if (listed.empty() && !WideToUtf8(KeltoS3GetLastErrorText()).empty()) {
    return Failure(kLs, "the backup bucket could not be listed: " + LastFailure());
  }
  std::vector<Entry> entries;
  for (const std::wstring& item : listed) {
    Entry e;
    if (item.rfind(L"$file$", 0) == 0) {
      e.stored_name = StoredNameArgument(WideToUtf8(item));
      e.path = WideToUtf8(PathOfStoredName(e.stored_name));
    } else {
      e.folder = true;
      e.path = WideToUtf8(item);
    }
    entries.push_back(e);
  }
  LookUp(&entries);

  int failed = 0;
  for (const Entry& e : entries) failed += !e.folder && e.found != 0;
  if (g_ls.json) {
    nlohmann::json list = nlohmann::json::array();
    for (const Entry& e : entries) {
      nlohmann::json item = {{"type", e.folder ? "folder" : "file"}, {"path", e.path}};
      if (!e.folder) {
        item["stored_name"] = WideToUtf8(e.stored_name);
        if (e.found == 0) {
          item["size"] = e.size;
          item["stored"] = FormatUtc(e.stored_time, true);
        } else {
          item["error"] = e.error;
        }
      }
      list.push_back(item);
    }
    std::printf("%s\n", nlohmann::json({{"entries", list}}).dump(2).c_str());
  } else {
    size_t width = 0;
    for (const Entry& e : entries) width = std::max(width, e.path.size() + (e.folder ? 1 : 0));
    for (const Entry& e : entries) {
      std::string time = "-";
      std::string size = "-";
      if (!e.folder) {
        time = e.found == 0 ? FormatUtc(e.stored_time, false) : "?";
        size = e.found == 0 ? std::to_string(e.size) : "?";
      }
      const std::string path = e.folder ? e.path + "\\" : e.path;
      std::printf("%-*s  %-19s  %12s", static_cast<int>(width), path.c_str(), time.c_str(),
                  size.c_str());
      if (g_ls.long_form && !e.folder) std::printf("  %s", WideToUtf8(e.stored_name).c_str());
      std::printf("\n");
    }
  }
  std::fflush(stdout);
  for (const Entry& e : entries) {
    if (!e.folder && e.found != 0) {
      std::fprintf(stderr, "keltos3 ls: %s: %s\n", WideToUtf8(e.stored_name).c_str(), e.error.c_str());
    }
  }
  return failed == 0 ? kExitOk : kExitFailure;
}

void DefineDu(CLI::App* app) {
  app->add_flag("--json", g_du_json, "print one JSON document")->disable_flag_override();
}

int RunDu() {
  RemoteSettings settings;
  int exit_code = kExitOk;
  if (!PrepareRemote(kDu, &settings, &exit_code)) return exit_code;
  if (!RequireBuckets(kDu, settings, false, true, &exit_code)) return exit_code;
  const unsigned long long used = GetUsedSpace();
  if (used == 0 && !WideToUtf8(KeltoS3GetLastErrorText()).empty()) {
    return Failure(kDu, "the data bucket could not be measured: " + LastFailure());
  }
  if (g_du_json) {
    std::printf("%s\n",
                nlohmann::json({{"bucket", settings.data_bucket}, {"bytes", used}}).dump(2).c_str());
  } else if (used < 1024) {
    std::printf("%llu bytes\n", used);
  } else {
    std::printf("%llu bytes (%s)\n", used, HumanBytes(used).c_str());
  }
  return kExitOk;
}

void DefineRm(CLI::App* app) {
  app->add_option("STOREDNAME", g_rm_name, "as put printed it, or as ls --long shows it")
      ->required();
}

int RunRm() {
  RemoteSettings settings;
  int exit_code = kExitOk;
  if (!PrepareRemote(kRm, &settings, &exit_code)) return exit_code;
  const std::wstring name = StoredNameArgument(g_rm_name);
  // DeleteS3File reports nothing, so the listing tells what happened.
  if (!IsListed(IndexEntryOf(name))) {
    const std::string why = LastFailure("");
    return Failure(kRm, why.empty() ? "no stored version named " + WideToUtf8(name)
                                    : "the backup bucket could not be listed: " + why);
  }
  DeleteS3File(name.c_str());
  if (IsListed(IndexEntryOf(name))) {
    return Failure(kRm, "the version is still listed: deleting it failed: " +
                            LastFailure("a chunk or another version of the path could not be read"));
  }
  return kExitOk;
}

const Command kLs = {
    "ls", "ls [--long] [--json]", "List folders and stored versions with time and size.",
    "One line per folder (path ending in \\) and per stored version: its path, the\n"
    "time it was stored (UTC) and its size in bytes; --long adds the stored name\n"
    "that get and rm take.  --json prints one document: {\"entries\": [{\"type\":\n"
    "\"folder\"|\"file\", \"path\", \"stored_name\", \"stored\", \"size\"}]}.\n"
    "Exit status 1 when the backup bucket is missing or cannot be listed, or a\n"
    "version's index object cannot be read (it is shown with '?').",
    nullptr, DefineLs, RunLs};
const Command kDu = {"du", "du [--json]", "Show the space the stored data takes.",
                     "The sum of the sizes of every object in the data bucket.\n"
                     "--json prints {\"bucket\": NAME, \"bytes\": N}.  Exit status 1 when\n"
                     "the data bucket is missing or could not be listed.",
                     nullptr, DefineDu, RunDu};
const Command kRm = {"rm", "rm STOREDNAME", "Delete one stored version with all its chunks.",
                     "STOREDNAME is what put printed (or as ls --long shows it).", nullptr,
                     DefineRm, RunRm};

const bool kRegisteredLs = RegisterCommand(kLs);
const bool kRegisteredDu = RegisterCommand(kDu);
const bool kRegisteredRm = RegisterCommand(kRm);

}  // namespace
}  // namespace cli
