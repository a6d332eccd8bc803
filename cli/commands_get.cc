// keltos3 get STOREDNAME LOCALFILE [--offset N]: reads a stored version back.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
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

constexpr unsigned kPiece = 1 << 20;

int RunGet(const std::vector<std::string>& args);

const Command kGet = {
    "get", "get STOREDNAME LOCALFILE [--offset N]",
    "reads a stored version back into a local file",
    "STOREDNAME is what `put` printed (or an index entry as `ls` lists it).\n"
    "--offset N starts reading at byte N of the version.  LOCALFILE is written\n"
    "only when the whole read succeeds.",
    RunGet};

struct FileObject {
  KS3File* file = nullptr;
  ~FileObject() { DestroyS3FileObject(&file); }
};

int RunGet(const std::vector<std::string>& args) {
  ParsedOptions options;
  std::string error;
  if (!ParseOptions(args, {{"offset", true}}, &options, &error)) return UsageError(kGet, error);
  if (options.positional().size() != 2) {
    return UsageError(kGet, "expected STOREDNAME and LOCALFILE");
  }
  long long offset = 0;
  if (const auto text = options.Value("offset")) {
    char* end = nullptr;
    errno = 0;
    offset = std::strtoll(text->c_str(), &end, 10);
    if (text->empty() || *end != '\0' || errno != 0 || offset < 0) {
      return UsageError(kGet, "--offset needs a byte count of 0 or more");
    }
  }
  const std::wstring name = StoredNameArgument(options.positional()[0]);
  const std::string& local = options.positional()[1];

  FileObject object;
  if (CreateS3FileObject(&object.file) != 0) return Failure(kGet, "cannot create a file object");
  switch (object.file->Open(name.c_str())) {
    case 1:
      break;
    case 0:
      return Failure(kGet, "no stored version named " + WideToUtf8(name));
    default:
      return Failure(kGet, "the version was found but its first chunk could not be read");
  }
  const long long size = object.file->GetSize();
  if (offset > 0) {
    const int sought = object.file->Seek(offset, 0);
    if (sought == 1) {
      return Failure(kGet, "offset " + std::to_string(offset) + " is not inside the version (" +
                               std::to_string(size) + " bytes)");
    }
    if (sought != 0) return Failure(kGet, "reading the chunk at the offset failed");
  }

  const std::string temporary = local + ".keltos3-part";
  std::FILE* out = std::fopen(temporary.c_str(), "wb");
  if (out == nullptr) return Failure(kGet, "cannot create " + temporary);
  const auto give_up = [&](const std::string& message) {
    std::fclose(out);
    std::remove(temporary.c_str());
    return Failure(kGet, message);
  };
  std::vector<char> buffer(kPiece);
  Progress progress("get", static_cast<uint64_t>(size - offset));
  while (true) {
    const int n = object.file->Read(buffer.data(), kPiece);
    if (n < 0) return give_up("reading a chunk failed");
    if (n == 0) break;
    if (std::fwrite(buffer.data(), 1, static_cast<size_t>(n), out) != static_cast<size_t>(n)) {
      return give_up("writing " + temporary + " failed");
    }
    progress.Advance(static_cast<uint64_t>(n));
  }
  if (std::fclose(out) != 0) {
    std::remove(temporary.c_str());
    return Failure(kGet, "writing " + temporary + " failed");
  }
  if (std::rename(temporary.c_str(), local.c_str()) != 0) {
    std::remove(temporary.c_str());
    return Failure(kGet, "cannot replace " + local);
  }
  progress.Finish();
  return kExitOk;
}

const bool kRegistered = RegisterCommand(kGet);

}  // namespace
}  // namespace cli
