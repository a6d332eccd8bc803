// keltos3 put LOCALFILE PATH: stores one version of a local file.

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
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

extern const Command kPut;

// Small pieces, so that Ctrl-C is noticed soon whatever the chunk size.
constexpr size_t kPiece = 64 * 1024;

std::string g_local;
std::string g_path;

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

struct FileObject {
  KS3File* file = nullptr;
  ~FileObject() { DestroyS3FileObject(&file); }
};

// The stored name of what a file object created at `before` and finished
// by `after` stored at `path`: path + "_" + the stamp of one of those
// seconds, as the listing shows it, the latest first (when a version of the
// path already had the stamp of the object's creation, the library named
// the new one with a later second).  The snapshot-assisted library stores
// one version per path under the path itself; the listing then shows the
// plain path's entry and no stamped one.
std::wstring FindStoredName(const std::wstring& path, int64_t before, int64_t after) {
  const std::vector<std::wstring> entries = SplitDirList(GetDirList());
  const auto listed = [&entries](const std::wstring& entry) {
    return std::find(entries.begin(), entries.end(), entry) != entries.end();
  };
  for (int64_t t = after; t >= before; --t) {
    const std::wstring stored = path + L"_" + StampAt(t);
    if (listed(IndexEntryOf(stored))) return stored;
  }
  if (listed(IndexEntryOf(path))) return path;
  return path + L"_" + StampAt(before);
}

void DefinePut(CLI::App* app) {
  app->add_option("LOCALFILE", g_local, "the file to store")->required();
  app->add_option("PATH", g_path, "its name in the store, as /docs/a.txt or \\docs\\a.txt")
      ->required();
}

// Takes back what a store that was given up left: the chunks stored so far.
std::string GiveUp(KS3File* file) {
  if (KeltoS3AbandonWrite(file) == 0) return "the chunks stored so far were removed";
  return "some chunks stored so far could not be removed (" + LastFailure() +
         "); 'keltos3 du' counts them";
}

int RunPut() {
  const std::wstring path = LibraryPath(g_path);
  std::string why;
  if (!IsStorablePath(path, &why)) return UsageError(kPut, why);
  RemoteSettings settings;
  int exit_code = kExitOk;
  if (!PrepareRemote(kPut, &settings, &exit_code)) return exit_code;

  std::unique_ptr<std::FILE, FileCloser> in(std::fopen(g_local.c_str(), "rb"));
  if (!in) return Failure(kPut, "cannot open " + g_local + ": " + SystemReason(errno));
  uint64_t total = 0;
  if (std::fseek(in.get(), 0, SEEK_END) == 0) {
    const long size = std::ftell(in.get());
    if (size > 0) total = static_cast<uint64_t>(size);
    std::rewind(in.get());
  }
  if (!RequireBuckets(kPut, settings, true, true, &exit_code)) return exit_code;

  CatchInterrupt();
  FileObject object;
  const int64_t before = std::time(nullptr);
  if (CreateS3FileObject(&object.file) != 0) return Failure(kPut, "cannot create a file object");
  // Whatever Open finds, the first Write starts a new version.
  object.file->Open(path.c_str());

  // One piece is held back until the next read shows whether it is the last.
  std::vector<char> pending(kPiece), next(kPiece);
  size_t pending_length = std::fread(pending.data(), 1, kPiece, in.get());
  Progress progress("put", total);
  while (true) {
    const auto read_failed = [&]() {
      const int reason = errno;
      const std::string undone = GiveUp(object.file);
      return Failure(kPut, "reading " + g_local + " failed: " + SystemReason(reason) + "; " + undone);
    };
    if (std::ferror(in.get())) return read_failed();
    const size_t next_length =
        pending_length == kPiece ? std::fread(next.data(), 1, kPiece, in.get()) : 0;
    if (std::ferror(in.get())) return read_failed();
    const int last = next_length == 0 ? 1 : 0;
    if (Interrupted()) {
      progress.Finish();
      Failure(kPut, "interrupted; " + GiveUp(object.file));
      return kExitInterrupted;
    }
    if (object.file->Write(pending.data(), static_cast<int>(pending_length), last) != 0) {
      const std::string cause = LastFailure();
      // A last Write that failed on the index object has already let go of
      // its chunks' records: the object cannot take them back then.
      const std::string undone =
          GiveUp(object.file) +
          (last ? " (if the index object could not be stored, its chunks stay and "
                  "'keltos3 du' counts them)"
                : "");
      return Failure(kPut, "storing " + WideToUtf8(path) + " failed: " + cause + "; " + undone);
    }
    progress.Advance(pending_length);
    if (last) break;
    pending.swap(next);
    pending_length = next_length;
  }
  progress.Finish();
  const int64_t after = std::time(nullptr);
  std::printf("%s\n", WideToUtf8(FindStoredName(path, before, after)).c_str());
  return kExitOk;
}

const Command kPut = {
    "put", "put LOCALFILE PATH", "Store one version of a local file and print its stored name.",
    "PATH names the file in the store, as \\docs\\a.txt or /docs/a.txt; it must not\n"
    "be empty nor hold empty, '.' or '..' parts.  The stored name printed (PATH, '_'\n"
    "and the version stamp; PATH alone with the snapshot-assisted library) is what\n"
    "get and rm take.  A progress bar is shown on a terminal.  Ctrl-C (or a failure)\n"
    "removes the chunks stored so far; exit status 130 after Ctrl-C.",
    nullptr, DefinePut, RunPut};

const bool kRegistered = RegisterCommand(kPut);

}  // namespace
}  // namespace cli
