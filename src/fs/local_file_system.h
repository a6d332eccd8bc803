// CLocalFileSystem: the file system over the local directory tree that is
// backed up and into which remote changes are brought back.
//
// The root is a directory path without a trailing backslash.  Loads skip
// every directory whose name begins with "." (with everything below it) in
// all three scan variants; files whose names begin with "." are listed.
//
// Exclusive-open test.  Before it deletes, replaces or opens an existing
// file, the local tree checks IsFileLocked: a file that does not exist, that
// cannot be opened for reading, or on which another open file holds a lock
// counts as locked (in use), and is left alone with result 2.  The test
// needs no write access, and OpenStream opens for reading only: a read-only
// file, or a tree on a read-only mount, is read like any other.
//
// A file read whole is the file the load saw.  When a stream opened on a
// file of the loaded tree reaches the end of the file, the file's size and
// full-precision time are compared with what the load saw; if either
// changed (the file was written while it was read, or since the load), that
// last read fails (-1), so the copy reading it stores nothing and fails,
// and the next run sees the change and sends the file again.
//
// Copies into the tree (CopyFileFrom, WriteFileFrom, and ReplaceFileFrom /
// UpdateFileFrom after their in-use test) never write the target in place:
// the data goes to a work file in the target's directory (tree_names.h),
// created under a name of its own that did not exist before, readable by
// its owner only, never through a link (FileOpenMode::kCreateNew); it gets
// the source's time, is flushed, takes the permission bits (and, where the
// process may set them, the owner and group) of the file it replaces, or
// those of an ordinary new file when there is none, and is renamed over the
// target only when every block was read and written in full.  (The snapshot-assisted build sets no time: the copy
// keeps the time at which it was written.)  A failed copy removes the work
// file, leaves the target exactly as it was and returns 1.  The rename makes
// the target a new file: other hard links to the old one keep the old
// content.
//
// Changed since the load.  Once a load has filled fileMap, the object
// remembers each listed file's size and full-precision time (FileStamp).
// Right before a copy renames its work file over a target, and before
// RemoveFile deletes one, the target must still be as the load saw it: a
// file with the same size and time, or no file at all where the load listed
// none.  A target the user changed, created or removed meanwhile is left
// alone with result 2, as a file in use is.  The object's own changes
// update what it remembers.  Before the first load there is nothing to
// compare with, and no such test is made.
//
// Names handed to the operations must be safe and must not lead through a
// symbolic link below the root (IsGuardedTarget); such a name is refused
// with the operation's failure code and touches nothing.
//
// Result codes:
//   CreateDir        0 created; 1 a directory of that name exists; 2 failed
//   RemoveDir        0 removed; 1 failed (for example not empty)
//   RemoveFile       0 deleted; 1 delete failed; 2 in use, missing, or
//                    changed since the load
//   CopyFileFrom     source's non-zero OpenStream result; 1 the copy failed
//                    (a failed or bogus source read, a failed create, write,
//                    time, access, flush or rename); 2 the target changed
//                    since the load (nothing changed); else 0
//   WriteFileFrom    as CopyFileFrom, without a source to open
//   ReplaceFileFrom, UpdateFileFrom
//                    2 the target is in use or missing (nothing changed);
//                    else the result of the copy
//   OpenStream       0; 1 a stream is already open; 2 in use or missing;
//                    3 open failed
//   ReadStream       the count read; -1 no stream open, the read failed, or
//                    the file changed since the load (above)
//   WriteStream      1 no stream open; 2 otherwise (streams are opened for
//                    reading only)
//   CloseStream      0; 1 no stream open
//   SetModifiedTime  0 set, or nothing to set (the text does not convert);
//                    1 the platform refused
//   loads, ReservedOp, Release: 0
//
// Failures that only the local side can see (a file in use, one that
// cannot be opened or read, changed while read, a copy that could not be
// written) are noted for TakeFailureNote.  The byte listener sees every
// block its streams read and every block a copy into the tree writes.
//
// All file access goes through platform::CurrentEnv().

#ifndef KELTOS3_SRC_FS_LOCAL_FILE_SYSTEM_H_
#define KELTOS3_SRC_FS_LOCAL_FILE_SYSTEM_H_

#include <cstdint>
#include <map>
#include <string>

#include "fs/disk_stream.h"
#include "fs/quexfs_manager.h"
#include "platform/env.h"

class CLocalFileSystem final : public CQUEXFSManager {
 public:
  CLocalFileSystem() = default;

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
  int32_t SetModifiedTime(std::u16string dir, std::u16string name,
                          std::u16string time) override;
  std::u16string GetModifiedTime(std::u16string key) override;
  int32_t WriteStream(const uint8_t* buffer, int32_t size) override;
  int32_t CloseStream() override;

  // Deletes the object; a stream still open is closed.
  int32_t Release() override;

  // 1 when `path` cannot be opened exclusively (in use, missing, or not
  // openable for reading), else 0.
  static int32_t IsFileLocked(const std::u16string& path);

  // What the last load that filled fileMap saw of each file it kept, kept
  // up to date by this object's own changes (see "Changed since the load").
  const FileStampMap& LoadedStamps() const { return fileStamps; }

  // Makes the loaded entries named as the keys of `renames` stand for the
  // keys they map to (a tree that folds case holds "docs" for the key
  // "\Docs", fs/name_rules.h): the maps and the stamps take the new keys.
  // The disk is not touched; the operations reach the same files under
  // either name.
  void StandFor(const std::map<std::u16string, std::u16string>& renames);
  // A transfer lane (fs/quexfs_manager.h): a new object with this one's
  // root, maps and stamps, and no stream.  The caller releases it.
  CLocalFileSystem* NewTransferLane() const;
  // What this object remembers of the file `key` (its stamp, or that it
  // has none), copied to `lane` before a transfer there, and taken back
  // from it afterwards.
  void LendStamp(CLocalFileSystem* lane, const std::u16string& key) const;
  void TakeStamp(const CLocalFileSystem& lane, const std::u16string& key);

 private:
  ~CLocalFileSystem() = default;

  // Receives a copy into dir + name from source's open stream: reads it to
  // its end, closes it, and, when `source_name` is not null, gives the copy
  // the time source->GetModifiedTime(*source_name) (standard build only).
  // 0; 1 on failure, 2 when the target changed since the load (the target
  // then is as it was).
  int32_t ReceiveCopy(const std::u16string& dir, const std::u16string& name,
                      CQUEXFSManager* source, const std::u16string* source_name);

  // True when dir + name is a name this object may touch (IsGuardedTarget).
  bool Guarded(const std::u16string& dir, const std::u16string& name) const;

  // True when the file at dir + name, found (`exists`) with `now`, is as
  // the last load saw it (see "Changed since the load" above).
  bool UnchangedSinceLoad(const std::u16string& dir, const std::u16string& name,
                          bool exists, const platform::FileAttributes& now) const;

  // Remembers the file now at dir + name as this object left it (or its
  // absence), so that its own change is not taken for the user's.
  void Remember(const std::u16string& dir, const std::u16string& name);

  DiskStream stream;
  // The load's stamp of the file the current stream reads, when it is a
  // file of the loaded tree; checked when the stream reaches the end.
  bool streamChecked = false;
  FileStamp streamStamp;
  std::u16string streamPath;
  // What the last load that filled fileMap saw of each file it kept.
  FileStampMap fileStamps;
  bool stampsLoaded = false;
};

#endif  // KELTOS3_SRC_FS_LOCAL_FILE_SYSTEM_H_
