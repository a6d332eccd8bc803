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
// replacing an existing one, and close it at once; whether that and its
// time took effect is checked (see Records).
//
// Records.  A file record is the time the live sides hold after the
// transfer it records (the "record times" below).  Creating the
// placeholder and setting its time are checked: a record that could not be
// written whole fails with 1, so that the run reports it and the next run
// finds the change again.
//
// Operations and results (full path = dir + name, or root + path):
//   CreateDir        0 created; 1 a directory of that name exists; 2 failed
//   RemoveDir        0 removed; 1 failed (for example not empty)
//   CopyFileFrom     creates the placeholder with the record times, taken
//                    from `source` for sourceName; the source's stream is
//                    not opened; 0, or 1 when the record was not written
//   WriteFileFrom    creates the placeholder; source untouched; 0 or 1
//   RemoveFile       0 deleted; 1 failed (no in-use test)
//   ReplaceFileFrom  a fresh placeholder with the record times (`source`
//                    and sourceName give no time: the snapshot pass reads
//                    from a copy); 0 or 1
//   UpdateFileFrom   a fresh placeholder with the record times, the time
//                    text `time` (the change carried) standing for the
//                    source's; source is not used otherwise; 0 or 1
//
// Record times.  Standard build: the local file's time at full precision
// when the transfer came from the local tree (its time text is the one the
// remote version is named with), else the source's time text, which the
// local copy was given.  Snapshot-assisted build, whose remote times are
// the server's and whose local copies keep the time of writing: the
// placeholder takes the local file's time after the transfer, and the
// remote side's time after it (the listing's time of the version stored,
// or of the one read) is kept beside it, in a tree of placeholders below
// the work folder ("\.keltos3\remote-times"), which no load lists and
// which RemoteTimes gives back.  Without the live sides (SetLiveSides),
// or where they do not know the time, the placeholder keeps the source's
// time text (standard build) or the time of writing.
//
// Work folder.  "\.keltos3" below the root holds what the catalog keeps
// beside its records: the remote root it belongs to ("remote-root", one
// line of UTF-8, written by the synchronisation driver) and the remote
// side's record times.  Being a dot-directory, no load lists it.
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

class CLocalFileSystem;
class CS3FileSystem;

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
  int32_t SetModifiedTime(std::u16string dir, std::u16string name,
                          std::u16string time) override;
  std::u16string GetModifiedTime(std::u16string key) override;
  int32_t WriteStream(const uint8_t* buffer, int32_t size) override;
  int32_t CloseStream() override;

  // Deletes the object; a stream still open is closed.
  int32_t Release() override;

  // ---- Additions --------------------------------------------------------

  // The live sides whose times the records take (see "Record times"); both
  // may be null, and must outlive the records written.
  void SetLiveSides(const CLocalFileSystem* local, const CS3FileSystem* remote) {
    m_pLocal = local;
    m_pRemote = remote;
  }

  // The placeholders as the last load saw them, at full precision.
  const FileStampMap& LoadedStamps() const { return m_stamps; }

  // The remote side's record times the last whole-tree load found, by key
  // (snapshot-assisted layout; empty in the standard one).
  const CSortedMap<std::u16string>& RemoteTimes() const { return m_remoteTimes; }
  // Writes the record times of `key` (a file the live sides hold alike)
  // anew, for a record an earlier release wrote: without the remote side's
  // time (snapshot-assisted build), or in whole seconds (standard build:
  // the local file's full time).  0, or 1 when it could not.
  int32_t RefreshRecord(const std::u16string& key);

  // The remote root the catalog belongs to, from its work folder.
  enum class RootRecord { kNone, kRead, kUnreadable };
  RootRecord ReadRemoteRoot(std::u16string* text) const;
  // Writes it; false when it could not be written (a catalog root that
  // does not exist).
  bool WriteRemoteRoot(const std::u16string& text) const;

 private:
  ~CVirtualFileSystem() = default;

  // Creates the placeholder at `path` (see above); false when it could not.
  static bool CreatePlaceholder(const std::u16string& path);

  // Gives the placeholder dir + name the record times of a transfer from
  // `source`, `source_time` being the time text the source gives (empty:
  // none).  0, or 1 when a time could not be written.
  int32_t Record(const std::u16string& dir, const std::u16string& name,
                 const CQUEXFSManager* source, const std::u16string& source_time);
  // The remote side's record time of `key` (snapshot-assisted layout):
  // written, or removed for an empty text.  0, or 1 when it could not be
  // written.
  int32_t RecordRemoteTime(const std::u16string& key, const std::u16string& time);
  // Nothing in the standard layout.
  void ForgetRemoteTime(const std::u16string& key, bool directory);
  // RefreshRecord of the standard layout.
  int32_t RefreshWholeSecondRecord(const std::u16string& key);

  DiskStream stream;
  FileStampMap m_stamps;
  const CLocalFileSystem* m_pLocal = nullptr;
  const CS3FileSystem* m_pRemote = nullptr;
  CSortedMap<std::u16string> m_remoteTimes;
  bool m_bRemoteTimesTree = false;  // this object is that tree
};

#endif  // KELTOS3_SRC_FS_VIRTUAL_FILE_SYSTEM_H_
