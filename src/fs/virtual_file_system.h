// CVirtualFileSystem: the catalog, the record of what the last
// synchronisation left on both sides.
//
// The catalog is a directory tree below its root (a directory path without
// a trailing backslash) that mirrors the synchronised tree: every recorded
// directory is a real directory, every recorded file an empty placeholder
// file whose last-write time is the catalog's time for it.  Nothing else is
// stored; no file content is ever read or written.
//
// Loads skip every directory whose name begins with "." with everything
// below it, as the local tree's do: the catalog records only what the local
// tree can list, and an entry it listed that the local tree does not would
// look deleted there.
//
// To create a placeholder is to create the full path as an empty file,
// replacing an existing one, and close it at once; its outcome is not
// examined.
//
// Operations and results (full path = dir + name, or root + path):
//   CreateDir        0 created; 1 a directory of that name exists; 2 failed
//   RemoveDir        0 removed; 1 failed (for example not empty)
//   CopyFileFrom     creates the placeholder with the time
//                    source->GetModifiedTime(sourceName) (the
//                    snapshot-assisted build: the time of writing); the
//                    source's stream is not opened; 0
//   WriteFileFrom    creates the placeholder; source untouched; 0
//   RemoveFile       0 deleted; 1 failed (no in-use test)
//   ReplaceFileFrom  RemoveFile, then a fresh placeholder, whose time is the
//                    moment of the call (neither time nor source is used); 0
//   UpdateFileFrom   RemoveFile, then a fresh placeholder with the time text
//                    `time`, the time of the change carried (the moment of
//                    the call when the text does not convert, and in the
//                    snapshot-assisted build); source is not used; 0
//   OpenStream       0; 1 a stream is already open; 3 open failed (no in-use
//                    test)
//   ReadStream, WriteStream, CloseStream, SetModifiedTime
//                    as in CLocalFileSystem
//   loads, ReservedOp, Release: 0
// Names handed to the operations must be safe and must not lead through a
// symbolic link below the root (IsGuardedTarget): a placeholder written
// through a link would truncate or re-time whatever file the link leads
// to.  Such a name is refused with 1 (2 for CreateDir, 3 for OpenStream)
// and touches nothing.
//
// All file access goes through platform::CurrentEnv().

#ifndef KELTOS3_SRC_FS_VIRTUAL_FILE_SYSTEM_H_
#define KELTOS3_SRC_FS_VIRTUAL_FILE_SYSTEM_H_

#include <cstdint>
#include <string>

#include "fs/disk_stream.h"
#include "fs/quexfs_manager.h"

class CVirtualFileSystem final : public CQUEXFSManager {
 public:
  CVirtualFileSystem() = default;

  int32_t LoadTree(std::u16string path) override;
  int32_t LoadTree() override;
  int32_t LoadFiles(std::u16string path) override;
  int32_t LoadFiles() override;
  int32_t LoadDirs(std::u16string path) override;
  int32_t LoadDirs() override;
  int32_t LoadTreeSaveFiles(std::u16string path) override;
  int32_t LoadTreeSaveFiles() override;

  int32_t CreateDir(std::u16string dir, std::u16string name) override;
  int32_t CreateDir(std::u16string path) override;
  int32_t RemoveDir(std::u16string dir, std::u16string name) override;
  int32_t RemoveDir(std::u16string path) override;
  int32_t ReservedOp(std::u16string dir, std::u16string name,
                     std::u16string text, int32_t value) override;
  int32_t ReservedOp(std::u16string path, std::u16string text,
                     int32_t value) override;

  int32_t CopyFileFrom(std::u16string dir, std::u16string name,
                       CQUEXFSManager* source, std::u16string sourceDir,
                       std::u16string sourceName) override;
  int32_t WriteFileFrom(std::u16string dir, std::u16string name,
                        CQUEXFSManager* source) override;
  int32_t WriteFileFrom(std::u16string path, CQUEXFSManager* source) override;
  int32_t RemoveFile(std::u16string dir, std::u16string name) override;
  int32_t RemoveFile(std::u16string path) override;
  int32_t ReplaceFileFrom(std::u16string dir, std::u16string name,
                          std::u16string time, CQUEXFSManager* source,
                          std::u16string sourceDir,
                          std::u16string sourceName) override;
  int32_t UpdateFileFrom(std::u16string dir, std::u16string name,
                         std::u16string time, CQUEXFSManager* source,
                         int32_t reserved) override;
  int32_t UpdateFileFrom(std::u16string path, std::u16string time,
                         CQUEXFSManager* source, int32_t reserved) override;

  int32_t OpenStream(std::u16string dir, std::u16string name) override;
  int32_t OpenStream(std::u16string path) override;
  int32_t ReadStream(uint8_t* buffer, int32_t size) override;
#if !defined(KELTOS3_SNAPSHOT_BUILD)
  int32_t SetModifiedTime(std::u16string dir, std::u16string name,
                          std::u16string time) override;
  std::u16string GetModifiedTime(std::u16string key) override;
#endif
  int32_t WriteStream(const uint8_t* buffer, int32_t size) override;
  int32_t CloseStream() override;

  // Deletes the object; a stream still open is closed.
  int32_t Release() override;

 private:
  ~CVirtualFileSystem() = default;

  // Creates the placeholder at `path` (see above).
  static void CreatePlaceholder(const std::u16string& path);

  DiskStream stream;
};

#endif  // KELTOS3_SRC_FS_VIRTUAL_FILE_SYSTEM_H_
