// Helpers for the file-system tests: scratch directories, small file
// utilities, a second process that holds a lock, an in-memory source file
// system with failures on demand, and an Env whose file calls fail on
// demand.  Everything is in namespace testsupport::fstest, so that nothing
// clashes with the other helpers of tests/support.

#ifndef KELTOS3_TESTS_SUPPORT_FS_TEST_UTIL_H_
#define KELTOS3_TESTS_SUPPORT_FS_TEST_UTIL_H_

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fs/quexfs_manager.h"
#include "platform/env.h"
#include "platform/file.h"

namespace testsupport::fstest {

// A fresh directory in the temporary folder (support/temp_dir.h), removed
// with its contents.
class FsScratchDir {
 public:
  FsScratchDir();
  FsScratchDir(const FsScratchDir&) = delete;
  FsScratchDir& operator=(const FsScratchDir&) = delete;
  ~FsScratchDir();

  // The directory, or `relative` ("a/b.txt") below it, in the tests' path
  // form (support/test_platform.h).
  const std::string& path() const { return path_; }
  std::string At(const std::string& relative) const;
  // The same in library form (backslashes).
  std::u16string LibPath() const;

 private:
  std::string path_;
};

// Library form of a test path.
std::u16string Lib(const std::string& path);

// Small file utilities; each fails the running test on error.
void MakeDir(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
bool PathExists(const std::string& path);  // lstat: dangling links count
void SetMTime(const std::string& path, std::int64_t unix_seconds,
              long nanoseconds = 0);
timespec MTime(const std::string& path);
std::int64_t FileSize(const std::string& path);
// Names in a directory, "." and ".." excluded, in the platform's order.
std::vector<std::string> ListNames(const std::string& dir);

// A text of `size` bytes that differs at every position of a block.
std::string PatternText(size_t size, char seed = 'a');

// Checks the time text `map` holds for `key` after the entry was copied
// from a source that recorded `source_time` (a time well in the past).  The
// standard build carries the source's time; the snapshot-assisted build
// carries none, so there the entry has the recent time of its writing.
void ExpectCarriedTime(const CSortedMap<std::u16string>& map,
                       const std::u16string& key,
                       const std::u16string& source_time);

// A child process that opens `path`, takes an exclusive lock on it and
// holds it until the holder is destroyed.  The constructor returns once the
// lock is held.  A lock taken by the test process itself would not show
// the real case (and a process's own fcntl locks vanish when any of its
// descriptors for the file is closed).
//
// On Windows the holder is the helper program keltos3_hold_file.exe, which
// keeps the file open for reading and writing: for kFlock it lets others
// read the file (as an editor with the file open does, and as the snapshot
// agent needs), for kFcntl read and write it (only the exclusive-open test
// notices it, as only that test notices an advisory lock), for kNoSharing
// it shares nothing.  On POSIX kNoSharing is an flock, the strongest hold
// there is.
class LockHolder {
 public:
  enum class Kind { kFlock, kFcntl, kNoSharing };
  LockHolder(const std::string& path, Kind kind);
  LockHolder(const LockHolder&) = delete;
  LockHolder& operator=(const LockHolder&) = delete;
  ~LockHolder();  // releases the lock and reaps the child

  bool locked() const { return locked_; }

 private:
  std::intptr_t child_ = -1;    // process id, or process handle on Windows
  std::intptr_t release_ = -1;  // closing it releases the child
  bool locked_ = false;
};

// An in-memory file system for use as a copy source or target.  Files are
// kept by full path (dir + name as passed); AddFile puts a file at
// root + key and records its time in fileMap, as a load would.  Operations
// that the tests do not need return 0.
class MemoryFileSystem final : public CQUEXFSManager {
 public:
  MemoryFileSystem();  // root "\mem"
  ~MemoryFileSystem() = default;

  void AddFile(const std::u16string& key, const std::string& content,
               const std::u16string& time);
  // Content at a full path, or null.
  const std::string* ContentAt(const std::u16string& full_path) const;

  // Failures on demand.
  int32_t open_result = 0;   // non-zero: OpenStream returns it
  int64_t fail_read_at = -1;  // reads at or past this offset return -1
  // Calls seen.
  int open_calls = 0;
  int close_calls = 0;
  int read_calls = 0;
  bool stream_open() const { return open_; }

  int32_t LoadTree(std::u16string) override { return 0; }
  int32_t LoadTree() override { return 0; }
  int32_t LoadFiles(std::u16string) override { return 0; }
  int32_t LoadFiles() override { return 0; }
  int32_t LoadDirs(std::u16string) override { return 0; }
  int32_t LoadDirs() override { return 0; }
  int32_t LoadTreeSaveFiles(std::u16string) override { return 0; }
  int32_t LoadTreeSaveFiles() override { return 0; }
  int32_t CreateDir(std::u16string, std::u16string) override { return 0; }
  int32_t CreateDir(std::u16string) override { return 0; }
  int32_t RemoveDir(std::u16string, std::u16string) override { return 0; }
  int32_t RemoveDir(std::u16string) override { return 0; }
  int32_t ReservedOp(std::u16string, std::u16string, std::u16string,
                     int32_t) override {
    return 0;
  }
  int32_t ReservedOp(std::u16string, std::u16string, int32_t) override {
    return 0;
  }
  int32_t CopyFileFrom(std::u16string, std::u16string, CQUEXFSManager*,
                       std::u16string, std::u16string) override {
    return 0;
  }
  int32_t WriteFileFrom(std::u16string, std::u16string,
                        CQUEXFSManager*) override {
    return 0;
  }
  int32_t WriteFileFrom(std::u16string, CQUEXFSManager*) override { return 0; }
  int32_t RemoveFile(std::u16string, std::u16string) override { return 0; }
  int32_t RemoveFile(std::u16string) override { return 0; }
  int32_t ReplaceFileFrom(std::u16string, std::u16string, std::u16string,
                          CQUEXFSManager*, std::u16string,
                          std::u16string) override {
    return 0;
  }
  int32_t UpdateFileFrom(std::u16string, std::u16string, std::u16string,
                         CQUEXFSManager*, int32_t) override {
    return 0;
  }
  int32_t UpdateFileFrom(std::u16string, std::u16string, CQUEXFSManager*,
                         int32_t) override {
    return 0;
  }
  int32_t OpenStream(std::u16string dir, std::u16string name) override;
  int32_t OpenStream(std::u16string path) override;
  int32_t ReadStream(uint8_t* buffer, int32_t size) override;
  int32_t SetModifiedTime(std::u16string, std::u16string,
                          std::u16string) override {
    return 0;
  }
  std::u16string GetModifiedTime(std::u16string key) override {
    return LookupFileTime(key);
  }
  int32_t WriteStream(const uint8_t* buffer, int32_t size) override;
  int32_t CloseStream() override;
  int32_t Release() override {
    delete this;
    return 0;
  }

 private:
  std::map<std::u16string, std::string> files_;
  bool open_ = false;
  std::u16string open_path_;
  size_t position_ = 0;
};

// An Env over the default one whose file calls fail on demand.  A rule
// applies to paths for which `matches` returns true (all paths when it is
// empty).
class FaultyFileEnv : public platform::EnvWrapper {
 public:
  FaultyFileEnv();

  std::function<bool(const std::u16string&)> matches;
  // Write stores at most this many bytes in total per opened file, then
  // reports a short count (like a full disk).  -1: no limit.
  std::int64_t write_limit = -1;
  // Read returns -1 once this many bytes were read from one file.  -1: off.
  std::int64_t read_fail_at = -1;
  bool fail_create = false;     // OpenFile(kCreateAlways or kCreateNew) fails
  bool fail_set_time = false;   // File::SetLastWriteTime fails
  bool fail_sync = false;       // File::Sync fails
  bool fail_rename = false;     // RenameFile fails
  // Paths given to OpenFile(kCreateAlways or kCreateNew), in order.
  std::vector<std::u16string> created;

  std::unique_ptr<platform::File> OpenFile(
      const std::u16string& path, platform::FileOpenMode mode) override;
  bool RenameFile(const std::u16string& from,
                  const std::u16string& to) override;

 private:
  bool Matches(const std::u16string& path) const;
};

}  // namespace testsupport::fstest

#endif  // KELTOS3_TESTS_SUPPORT_FS_TEST_UTIL_H_
