// Open files and directory enumerations handed out by an Env.  Both close
// their underlying handle when destroyed.

#ifndef KELTOS3_SRC_PLATFORM_FILE_H_
#define KELTOS3_SRC_PLATFORM_FILE_H_

#include <cstdint>
#include <string>

#include "platform/env.h"
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

  // Gives the open file the access `access` records (fields of -1 are left
  // as they are): the owner and group where the process may set them (a
  // refusal is ignored: only a privileged process may give a file away),
  // then the permission bits.  Returns false when the permission bits could
  // not be set.  On a platform without such records, does nothing.
  virtual bool SetAccess(const FileAccess& access) = 0;
};

// One entry of a directory.  A symbolic link (or junction, or other name
// that redirects to another place) is reported with is_symbolic_link and is
// not followed: the other fields describe the link itself, and the scans
// neither list nor enter it.  An entry whose metadata could not be read
// (for example in a directory that may be listed but not searched) comes
// with `unreadable` set and nothing known but its name.  A name that is not
// valid text in the platform's encoding (POSIX: bytes that are not UTF-8;
// Windows: UTF-16 with an unpaired surrogate) comes with `name_not_text`
// set: `name` then shows it with U+FFFD for each bad sequence and names no
// file (two such names may show alike).
struct DirectoryEntry {
  std::u16string name;  // the entry's own name, no separators
  bool is_directory = false;
  bool is_symbolic_link = false;
  bool unreadable = false;
  bool name_not_text = false;
  FileTime last_write_time = 0;  // UTC, full precision
  std::uint64_t size = 0;        // bytes of a file's content
};

class DirectoryIterator {
 public:
  DirectoryIterator() = default;
  DirectoryIterator(const DirectoryIterator&) = delete;
  DirectoryIterator& operator=(const DirectoryIterator&) = delete;
  virtual ~DirectoryIterator();

  // Stores the next entry in *entry and returns true, or returns false when
  // the enumeration is over or broke off.
  virtual bool Next(DirectoryEntry* entry) = 0;

  // True once Next returned false because the listing broke off (a read
  // error, such as EIO on a network file system) rather than at its end:
  // the entries seen are then not all the directory holds.
  virtual bool Failed() const = 0;
};

// The access a file created the ordinary way gets: on POSIX the
// permissions 0666 less the process's umask (owner and group -1: the
// creator's); on Windows nothing (-1 everywhere).  A file made with
// FileOpenMode::kCreateNew takes it through File::SetAccess when it is to
// look like any other new file.
FileAccess DefaultNewFileAccess();

}  // namespace platform

#endif  // KELTOS3_SRC_PLATFORM_FILE_H_
