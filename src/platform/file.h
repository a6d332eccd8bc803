// Open files and directory enumerations handed out by an Env.  Both close
// their underlying handle when destroyed.

#ifndef KELTOS3_SRC_PLATFORM_FILE_H_
#define KELTOS3_SRC_PLATFORM_FILE_H_

#include <cstdint>
#include <string>

#include "platform/file_time.h"

namespace platform {

class File {
 public:
  File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  virtual ~File();

  // Reads up to n bytes at the current position.  Returns the number read
  // (0 at the end of the file), or -1 when the read failed.
  virtual std::int64_t Read(void* buffer, std::uint32_t n) = 0;

  // Writes n bytes at the current position.  Returns the number written,
  // which is below n (possibly 0) when the write failed part-way, or -1 when
  // nothing could be written.
  virtual std::int64_t Write(const void* buffer, std::uint32_t n) = 0;

  // Sets only the last-write time of the open file.  Returns true on success.
  virtual bool SetLastWriteTime(FileTime time) = 0;

  // Flushes written data to stable storage.  Returns true on success.
  virtual bool Sync() = 0;
};

// One entry of a directory.  For a symbolic link, is_directory and
// last_write_time describe what the link points to (a dangling link counts
// as a file with the link's own time); is_symbolic_link tells the scans not
// to enter a linked directory.
struct DirectoryEntry {
  std::u16string name;  // the entry's own name, no separators
  bool is_directory = false;
  bool is_symbolic_link = false;
  FileTime last_write_time = 0;  // UTC
};

class DirectoryIterator {
 public:
  DirectoryIterator() = default;
  DirectoryIterator(const DirectoryIterator&) = delete;
  DirectoryIterator& operator=(const DirectoryIterator&) = delete;
  virtual ~DirectoryIterator();

  // Stores the next entry in *entry and returns true, or returns false when
  // the enumeration is over.
  virtual bool Next(DirectoryEntry* entry) = 0;
};

}  // namespace platform

#endif  // KELTOS3_SRC_PLATFORM_FILE_H_
