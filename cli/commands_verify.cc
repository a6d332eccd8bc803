// keltos3 verify and prune: checking what is stored.

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "KeltoS3.h"
#include "command.h"
#include "options.h"
#include "progress.h"
#include "remote.h"
#include "stored_names.h"
#include "wide_text.h"

namespace cli {
namespace {

int RunVerify(const std::vector<std::string>& args);
int RunPrune(const std::vector<std::string>& args);

const Command kVerify = {
    "verify", "verify [--bucket BUCKET] [NAME...]",
    "reads stored versions in full and names every damaged one",
    "Reads every stored version (or the NAMEs given, as `put` printed them or\n"
    "`ls` lists them) as a restore would: the whole index object, then every\n"
    "chunk, checked by its length and its CRC-32C, or by the MD5 its ETag names\n"
    "when it was stored without a checksum.  Prints one line per version that\n"
    "is DAMAGED (a chunk or the index object is wrong or missing), UNREADABLE\n"
    "(a request failed) or MISSING (no such version), saying which chunk and\n"
    "why, then a summary.  A progress line is shown on a terminal.\n"
    "--bucket BUCKET checks the versions a synchronisation stored in BUCKET\n"
    "(index objects and chunks both there) instead of QuexBucket and\n"
    "QuexDataBucket.\n"
    "Exit status 0 when every version is intact, 1 otherwise.",
    RunVerify};

const Command kPrune = {
    "prune", "prune [--dry-run] [--bucket BUCKET] [--min-age HOURS]",
    "removes chunk objects that no stored version names",
    "Lists every chunk of the data bucket and reads every index object whole;\n"
    "the chunks none of them names (left by an interrupted store, a crash, or\n"
    "the shared chunk keys of earlier builds) are removed, each printed with\n"
    "its size.  When an index object cannot be read whole, nothing is removed\n"
    "and it is named.  Chunks of a version whose newest chunk was stored less\n"
    "than HOURS ago (default 24) are kept and counted: a store may still be\n"
    "writing them.\n"
    "--dry-run lists what would be removed and the bytes it holds.\n"
    "--bucket BUCKET prunes the bucket of a synchronised tree (index objects\n"
    "and chunks both there) instead of QuexDataBucket.  Index objects are\n"
    "looked for in QuexBucket and the data bucket only: do not prune a data\n"
    "bucket that another backup bucket's versions also use.\n"
    "Exit status 0 when done, 1 when nothing could be removed (a listing or\n"
    "an index object could not be read), 3 when some removals failed.",
    RunPrune};

// ---- verify -------------------------------------------------------------------

struct VerifyRun {
  bool progress = false;
  bool drawn = false;
  int intact = 0;
  int bad = 0;
};

const char* OutcomeWord(int outcome) {
  switch (outcome) {
    case KELTOS3_VERIFY_DAMAGED:
      return "DAMAGED";
    case KELTOS3_VERIFY_UNREADABLE:
      return "UNREADABLE";
    case KELTOS3_VERIFY_MISSING:
      return "MISSING";
    default:
      return "INTACT";
  }
}

void KELTOS3_CDECL OnVersion(void* context, const wchar_t* name, int outcome,
                             const wchar_t* detail, int number, int total) {
  auto* run = static_cast<VerifyRun*>(context);
  if (run->drawn) {
    std::fputs("\r\x1b[K", stderr);
    run->drawn = false;
  }
  if (outcome == KELTOS3_VERIFY_INTACT) {
    ++run->intact;
  } else {
    ++run->bad;
    std::printf("%s %s: %s\n", OutcomeWord(outcome), WideToUtf8(name).c_str(),
                WideToUtf8(detail).c_str());
    std::fflush(stdout);
  }
  if (run->progress && number < total) {
    std::fprintf(stderr, "\rverify: %d of %d versions read", number, total);
    std::fflush(stderr);
    run->drawn = true;
  }
}

int RunVerify(const std::vector<std::string>& args) {
  ParsedOptions options;
  std::string error;
  if (!ParseOptions(args, {{"bucket", true}}, &options, &error)) return UsageError(kVerify, error);
  RemoteSettings settings;
  int exit_code = kExitOk;
  if (!PrepareRemote(kVerify, &settings, &exit_code)) return exit_code;
  std::vector<std::wstring> names;
  for (const std::string& argument : options.positional()) {
    names.push_back(StoredNameArgument(argument));
  }
  std::vector<const wchar_t*> pointers;
  for (const std::wstring& name : names) pointers.push_back(name.c_str());
  const std::wstring bucket = Utf8ToWide(options.Value("bucket").value_or(""));

  VerifyRun run;
  run.progress = isatty(STDERR_FILENO) == 1;
  const int result = KeltoS3Verify(pointers.empty() ? nullptr : pointers.data(),
                                   static_cast<int>(pointers.size()), bucket.c_str(),
                                   &OnVersion, &run);
  if (run.drawn) std::fputs("\r\x1b[K", stderr);
  if (result == KELTOS3_VERIFY_FAILED) {
    return Failure(kVerify, "the stored versions could not be listed; nothing was checked");
  }
  const int total = run.intact + run.bad;
  std::printf("%d version%s read: %d intact, %d damaged or unreadable\n", total,
              total == 1 ? "" : "s", run.intact, run.bad);
  return result == KELTOS3_VERIFY_OK ? kExitOk : kExitFailure;
}

// ---- prune --------------------------------------------------------------------

struct PruneRun {
  bool dry_run = false;
  long long hours = 24;
  uint64_t orphans = 0;
  uint64_t orphan_bytes = 0;
  uint64_t failed = 0;
  uint64_t recent = 0;
  uint64_t recent_bytes = 0;
};

void KELTOS3_CDECL OnChunk(void* context, const wchar_t* key, unsigned long long size,
                           int outcome) {
  auto* run = static_cast<PruneRun*>(context);
  const std::string name = WideToUtf8(key);
  switch (outcome) {
    case KELTOS3_PRUNE_UNREADABLE:
      std::printf("cannot read index object %s whole\n", name.c_str());
      break;
    case KELTOS3_PRUNE_RECENT:
      ++run->recent;
      run->recent_bytes += size;
      break;
    case KELTOS3_PRUNE_NOT_REMOVED:
      ++run->failed;
      std::printf("FAILED to remove %s (%llu bytes)\n", name.c_str(), size);
      break;
    default:
      ++run->orphans;
      run->orphan_bytes += size;
      std::printf("%s %s (%llu bytes)\n", run->dry_run ? "would remove" : "removed",
                  name.c_str(), size);
      break;
  }
  std::fflush(stdout);
}

int RunPrune(const std::vector<std::string>& args) {
  ParsedOptions options;
  std::string error;
  if (!ParseOptions(args, {{"dry-run", false}, {"bucket", true}, {"min-age", true}}, &options,
                    &error)) {
    return UsageError(kPrune, error);
  }
  if (!options.positional().empty()) return UsageError(kPrune, "takes no NAME");
  RemoteSettings settings;
  int exit_code = kExitOk;
  if (!PrepareRemote(kPrune, &settings, &exit_code)) return exit_code;
  PruneRun run;
  run.dry_run = options.Flag("dry-run");
  if (const auto text = options.Value("min-age")) {
    char* end = nullptr;
    errno = 0;
    run.hours = std::strtoll(text->c_str(), &end, 10);
    if (text->empty() || *end != '\0' || errno != 0 || run.hours < 0 || run.hours > 1000000) {
      return UsageError(kPrune, "--min-age needs a number of hours (0 or more)");
    }
  }
  const std::wstring bucket = Utf8ToWide(options.Value("bucket").value_or(""));
  const int result = KeltoS3Prune(bucket.c_str(), run.hours * 3600,
                                  run.dry_run ? KELTOS3_PRUNE_DRY_RUN : 0, &OnChunk, &run);
  if (result == KELTOS3_PRUNE_FAILED) {
    return Failure(kPrune, "the buckets could not be listed; nothing was removed");
  }
  if (result == KELTOS3_PRUNE_REFUSED) {
    return Failure(kPrune, "nothing was removed: the index objects above could not be read "
                           "whole, so the chunks they name are unknown");
  }
  if (run.recent > 0) {
    std::printf("kept %llu unnamed chunks (%s) stored less than %lld hours ago\n",
                static_cast<unsigned long long>(run.recent), HumanBytes(run.recent_bytes).c_str(),
                run.hours);
  }
  const std::string failed =
      run.failed > 0 ? ", " + std::to_string(run.failed) + " could not be removed" : "";
  std::printf("%s %llu unnamed chunks (%s)%s\n", run.dry_run ? "would remove" : "removed",
              static_cast<unsigned long long>(run.orphans), HumanBytes(run.orphan_bytes).c_str(),
              failed.c_str());
  return result == KELTOS3_PRUNE_PARTIAL ? kExitPartial : kExitOk;
}

const bool kRegisteredVerify = RegisterCommand(kVerify);
const bool kRegisteredPrune = RegisterCommand(kPrune);

}  // namespace
}  // namespace cli
