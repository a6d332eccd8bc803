// Work files: what a command writes before it replaces its target in one
// step.  A work file is always a new file of a unique name in the target's
// directory, created exclusively (never an existing file, never through a
// symbolic link) and readable and writable by the owner alone from the
// start, so that another user of a shared directory can neither read what
// is written into it nor redirect it.

#ifndef KELTOS3_CLI_WORK_FILE_H_
#define KELTOS3_CLI_WORK_FILE_H_

#include <string>

namespace cli {

class WorkFile {
 public:
  WorkFile() = default;
  WorkFile(const WorkFile&) = delete;
  WorkFile& operator=(const WorkFile&) = delete;
  // Removes the work file unless it was committed.
  ~WorkFile();

  // Creates a work file for `target` (target + ".keltos3-" + random
  // letters).  On failure stores the reason in *error and returns false.
  bool Create(const std::string& target, std::string* error);

  // Writes all of data[0, length); false with the system's reason.
  bool Write(const void* data, size_t length, std::string* error);

  // Flushes to disk, closes and renames the work file onto `target`.
  bool Commit(const std::string& target, std::string* error);

  // Closes and removes the work file now (safe to call from the normal
  // flow after an interruption; not from a signal handler).
  void Discard();

  const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

// The system's words for errno: "No space left on device".
std::string SystemReason(int error_number);

}  // namespace cli

#endif  // KELTOS3_CLI_WORK_FILE_H_
