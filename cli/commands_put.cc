// keltos3 put LOCALFILE PATH: stores one version of a local file.

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "KeltoS3.h"
#include "command.h"
#include "options.h"
#include "progress.h"
#include "stored_names.h"
#include "wide_text.h"

namespace cli {
namespace {

constexpr size_t kPiece = 1 << 20;

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

int RunPut(const std::vector<std::string>& args);

const Command kPut = {
    "put", "put LOCALFILE PATH",
    "stores one version of a local file and prints its stored name",
    "PATH names the file in the store, as \\docs\\a.txt or /docs/a.txt.  The\n"
    "stored name printed (PATH, \"_\" and the version stamp; PATH alone with\n"
    "the snapshot-assisted library) is what `get` and `rm` take.  A progress\n"
    "bar is shown on a terminal.",
    RunPut};

int RunPut(const std::vector<std::string>& args) {
  ParsedOptions options;
  std::string error;
  if (!ParseOptions(args, {}, &options, &error)) return UsageError(kPut, error);
  if (options.positional().size() != 2) return UsageError(kPut, "expected LOCALFILE and PATH");
  const std::string& local = options.positional()[0];
  const std::wstring path = LibraryPath(options.positional()[1]);

  std::unique_ptr<std::FILE, FileCloser> in(std::fopen(local.c_str(), "rb"));
  if (!in) return Failure(kPut, "cannot open " + local + " for reading");
  uint64_t total = 0;
  if (std::fseek(in.get(), 0, SEEK_END) == 0) {
    const long size = std::ftell(in.get());
    if (size > 0) total = static_cast<uint64_t>(size);
    std::rewind(in.get());
  }

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
    if (std::ferror(in.get())) return Failure(kPut, "reading " + local + " failed");
    const size_t next_length =
        pending_length == kPiece ? std::fread(next.data(), 1, kPiece, in.get()) : 0;
    if (std::ferror(in.get())) return Failure(kPut, "reading " + local + " failed");
    const int last = next_length == 0 ? 1 : 0;
    if (object.file->Write(pending.data(), static_cast<int>(pending_length), last) != 0) {
      return Failure(kPut, last ? "storing the file failed (a chunk or its index object "
                                  "could not be stored)"
                                : "storing a chunk failed");
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

const bool kRegistered = RegisterCommand(kPut);

}  // namespace
}  // namespace cli
