// DiskStream: the single current stream of a file system on disk (the local
// tree and the catalog), and the directory and file-time operations those
// two file systems share.  All file access goes through the current Env.

#ifndef KELTOS3_SRC_FS_DISK_STREAM_H_
#define KELTOS3_SRC_FS_DISK_STREAM_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/file.h"

class DiskStream {
 public:
  DiskStream() = default;
  DiskStream(const DiskStream&) = delete;
  DiskStream& operator=(const DiskStream&) = delete;
  ~DiskStream() = default;  // closes a stream left open

  bool IsOpen() const { return streamOpen != 0; }

  // Opens the existing file `path` for reading and writing, or with
  // `read_only` for reading only (Write then fails with 2).  REQUIRES: no
  // stream is open.  0 on success, 3 when the open failed.
  int32_t Open(const std::u16string& path, bool read_only = false);

  // Reads until `size` bytes are read or the file ends, so that a count
  // below `size` always means the end of the file.  -1 when no stream is
  // open, when buffer is null or when a read failed (a failed read is never
  // taken for the end of the file).  A size of 0 or less reads nothing.
  int32_t Read(uint8_t* buffer, int32_t size);

  // Writes `size` bytes.  0 when all were written, 1 when no stream is
  // open, 2 when the write failed or stored fewer bytes.
  int32_t Write(const uint8_t* buffer, int32_t size);

  // 0, or 1 when no stream is open.
  int32_t Close();

 private:
  std::unique_ptr<platform::File> streamHandle;
  int32_t streamOpen = 0;
};

// CreateDir on disk: 1 when `path` exists as a directory, else 0 when the
// directory was created, 2 when creation failed.
int32_t CreateDirectoryOnDisk(const std::u16string& path);

// RemoveDir on disk: 0 removed, 1 failed (for example not empty).
int32_t RemoveDirectoryOnDisk(const std::u16string& path);

// Sets only the last-write time of the existing file `path` from a time
// text.  0 when the time was set or the text does not convert (nothing to
// set: the file keeps its time); 1 when the platform refused.
int32_t SetWriteTimeFromText(const std::u16string& path,
                             const std::u16string& time_text);

#endif  // KELTOS3_SRC_FS_DISK_STREAM_H_
