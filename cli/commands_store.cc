// keltos3 ls, du and rm: the remote-store functions.

#include <cstdio>
#include <string>
#include <vector>

#include "KeltoS3.h"
#include "command.h"
#include "endpoint_check.h"
#include "options.h"
#include "progress.h"
#include "stored_names.h"
#include "wide_text.h"

namespace cli {
namespace {

bool NoArguments(const Command& command, const std::vector<std::string>& args, int* exit_code) {
  ParsedOptions options;
  std::string error;
  if (!ParseOptions(args, {}, &options, &error)) {
    *exit_code = UsageError(command, error);
    return false;
  }
  if (!options.positional().empty()) {
    *exit_code = UsageError(command, "takes no arguments");
    return false;
  }
  return true;
}

bool IsListed(const std::wstring& entry) {
  for (const std::wstring& listed : SplitDirList(GetDirList())) {
    if (listed == entry) return true;
  }
  return false;
}

int RunLs(const std::vector<std::string>& args);
int RunDu(const std::vector<std::string>& args);
int RunRm(const std::vector<std::string>& args);

const Command kLs = {
    "ls", "ls", "lists every folder and stored version of the backup bucket",
    "One entry per line, as GetDirList gives them: folders as \\docs\\2009,\n"
    "stored versions as $file$\\docs\\a.txt_<stamp>_Info.\n"
    "Exit status 1 when nothing could be listed (an endpoint that does not answer\n"
    "or refuses the listing), 0 for an empty bucket.",
    RunLs};
const Command kDu = {"du", "du", "shows the space the stored data takes",
                     "The sum of the sizes of every object in the data bucket.\n"
                     "Exit status 1 when the bucket could not be listed.",
                     RunDu};
const Command kRm = {
    "rm", "rm STOREDNAME", "deletes one stored version with all its chunks",
    "STOREDNAME is what `put` printed (or an index entry as `ls` lists it).", RunRm};

int RunLs(const std::vector<std::string>& args) {
  int exit_code = kExitOk;
  if (!NoArguments(kLs, args, &exit_code)) return exit_code;
  const std::vector<std::wstring> entries = SplitDirList(GetDirList());
  std::string why;
  if (entries.empty() && !EmptyResultIsGenuine(&why)) {
    return Failure(kLs, "nothing could be listed: " + why);
  }
  for (const std::wstring& entry : entries) {
    std::printf("%s\n", WideToUtf8(entry).c_str());
  }
  return kExitOk;
}

int RunDu(const std::vector<std::string>& args) {
  int exit_code = kExitOk;
  if (!NoArguments(kDu, args, &exit_code)) return exit_code;
  const unsigned long long used = GetUsedSpace();
  std::string why;
  if (used == 0 && !EmptyResultIsGenuine(&why)) {
    return Failure(kDu, "the data bucket could not be measured: " + why);
  }
  if (used < 1024) {
    std::printf("%llu bytes\n", used);
  } else {
    std::printf("%llu bytes (%s)\n", used, HumanBytes(used).c_str());
  }
  return kExitOk;
}

int RunRm(const std::vector<std::string>& args) {
  ParsedOptions options;
  std::string error;
  if (!ParseOptions(args, {}, &options, &error)) return UsageError(kRm, error);
  if (options.positional().size() != 1) return UsageError(kRm, "expected STOREDNAME");
  const std::wstring name = StoredNameArgument(options.positional()[0]);
  // DeleteS3File reports nothing, so the listing tells what happened.
  if (!IsListed(IndexEntryOf(name))) {
    return Failure(kRm, "no stored version named " + WideToUtf8(name));
  }
  DeleteS3File(name.c_str());
  if (IsListed(IndexEntryOf(name))) {
    return Failure(kRm, "the version is still listed: deleting it failed");
  }
  return kExitOk;
}

const bool kRegisteredLs = RegisterCommand(kLs);
const bool kRegisteredDu = RegisterCommand(kDu);
const bool kRegisteredRm = RegisterCommand(kRm);

}  // namespace
}  // namespace cli
