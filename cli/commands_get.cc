// keltos3 get STOREDNAME LOCAL [--offset N] [--force]: reads a stored
// version back.

#include <CLI/CLI.hpp>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "KeltoS3.h"
#include "command.h"
#include "interrupt.h"
#include "progress.h"
#include "remote.h"
#include "stored_names.h"
#include "wide_text.h"
#include "work_file.h"

namespace cli {
namespace {

extern const Command kGet;

constexpr unsigned kPiece = 256 * 1024;

struct GetOptions {
  std::string name;
  std::string local;
  long long offset = 0;
  bool force = false;
} g_get;

struct FileObject {
  KS3File* file = nullptr;
  ~FileObject() { DestroyS3FileObject(&file); }
};

void DefineGet(CLI::App* app) {
  app->add_option("STOREDNAME", g_get.name, "as put printed it, or as ls --long shows it")
      ->required();
  app->add_option("LOCAL", g_get.local, "the file to write, or a directory to write it into")
      ->required();
  app->add_option("--offset", g_get.offset, "start reading at this byte of the version")
      ->check(CLI::NonNegativeNumber);
  app->add_flag("--force", g_get.force, "replace an existing file")->disable_flag_override();
}

int RunGet() {
  const std::wstring name = StoredNameArgument(g_get.name);
  std::string local = g_get.local;
  struct stat st;
  if (::stat(local.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    // Into the directory, under the stored path's last part.
    const std::wstring path = PathOfStoredName(name);
    const std::string file = WideToUtf8(path.substr(path.rfind(L'\\') + 1));
    if (file.empty() || file == "." || file == "..") {
      return UsageError(kGet, "the stored name has no file name to write into " + local);
    }
    local += (local.back() == '/' ? "" : "/") + file;
  }
  const bool replacing = ::lstat(local.c_str(), &st) == 0;
  if (replacing && S_ISDIR(st.st_mode)) return Failure(kGet, local + " is a directory");
  if (replacing && !g_get.force) {
    Failure(kGet, local + " exists; pass --force to replace it");
    return kExitRefused;
  }
  RemoteSettings settings;
  int exit_code = kExitOk;
  if (!PrepareRemote(kGet, &settings, &exit_code)) return exit_code;

  CatchInterrupt();
  FileObject object;
  if (CreateS3FileObject(&object.file) != 0) return Failure(kGet, "cannot create a file object");
  // The buckets are looked up only when the version could not be opened:
  // a read that succeeds needs no listing of the account's buckets (two
  // round trips before the first byte).
  const int opened = object.file->Open(name.c_str());
  if (opened != 1) {
    const std::string why = LastFailure(opened == 0 ? "" : "its bytes do not match its index");
    const std::string missing = MissingBucketMessage(settings);
    if (!missing.empty()) return Failure(kGet, missing);
    if (opened != 0) {
      return Failure(kGet, "the version was found but its first chunk could not be read: " + why);
    }
    return Failure(kGet, why.empty() ? "no stored version named " + WideToUtf8(name)
                                    : "the version could not be looked up: " + why);
  }
  const long long size = object.file->GetSize();
  if (g_get.offset > 0) {
    const int sought = object.file->Seek(g_get.offset, 0);
    if (sought == 1) {
      return Failure(kGet, "offset " + std::to_string(g_get.offset) +
                               " is not inside the version (" + std::to_string(size) + " bytes)");
    }
    if (sought != 0) return Failure(kGet, "reading the chunk at the offset failed: " + LastFailure());
  }

  WorkFile work;
  std::string error;
  if (!work.Create(local, &error)) return Failure(kGet, error);
  std::vector<char> buffer(kPiece);
  Progress progress("get", static_cast<uint64_t>(size - g_get.offset));
  while (true) {
    if (Interrupted()) {
      work.Discard();
      Failure(kGet, "interrupted; " + local + " was not written");
      return kExitInterrupted;
    }
    const int n = object.file->Read(buffer.data(), kPiece);
    if (n < 0) {
      return Failure(kGet, "reading a chunk failed: " +
                               LastFailure("its bytes do not match its index"));
    }
    if (n == 0) break;
    if (!work.Write(buffer.data(), static_cast<size_t>(n), &error)) return Failure(kGet, error);
    progress.Advance(static_cast<uint64_t>(n));
  }
  if (!work.Commit(local, &error)) return Failure(kGet, error);
  progress.Finish();
  if (replacing) std::fprintf(stderr, "keltos3 get: replaced %s\n", local.c_str());
  return kExitOk;
}

const Command kGet = {
    "get", "get STOREDNAME LOCAL [--offset N] [--force]",
    "Read a stored version back into a local file.",
    "STOREDNAME is what put printed (or as ls --long shows it).  LOCAL is the file\n"
    "to write, or an existing directory to write it into under its stored file\n"
    "name.  An existing file is replaced only with --force (exit status 4\n"
    "without it).  The bytes go to a private work file beside LOCAL, renamed onto it\n"
    "only when the whole read succeeded (the new file is readable by its owner\n"
    "alone).  --offset N starts reading at byte N.  Ctrl-C removes the work file;\n"
    "exit status 130.",
    nullptr, DefineGet, RunGet};

const bool kRegistered = RegisterCommand(kGet);

}  // namespace
}  // namespace cli
