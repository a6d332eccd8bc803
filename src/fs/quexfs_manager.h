// CQUEXFSManager: the abstract file system the synchronisation engine works
// on.  Three implementations look alike to the engine: the local tree
// (CLocalFileSystem), the catalog of the last synchronisation
// (CVirtualFileSystem) and the remote tree in a bucket (CS3FileSystem).
//
// Tree maps.  A load fills dirMap and fileMap with one entry per directory
// and per file: the key is the entry's path relative to the root with a
// backslash before every component ("\docs\a.txt", "\docs"; no trailing
// backslash), the value its last-modification time as a 24-character time
// text (support/time_text.h).  Each map holds at most its capacity of keys
// (kTreeMapCapacity unless SetMapCapacity gave another) and keeps the lowest
// ones (SortedMapWhenFull::kKeepLowest): a load keeps the lowest directory
// keys and the lowest file keys of the tree, whatever order it meets them
// in, so that in a full map every key up to its highest is known to be
// present or absent.  The maps are public because the engine reads them
// directly; the file operations never update them, they always show the
// last load.
//
// Arguments.  Every text argument is passed by value.  A dir and a name are
// joined by plain concatenation (dir + name, no separator added): the engine
// passes GetRoot() as dir and a tree key as name.  A single path argument is
// joined to the object's root (root + path).  A `source` is another file
// system that the operation reads from through its OpenStream, ReadStream,
// CloseStream and GetModifiedTime; REQUIRES: source != nullptr (an
// implementation treats a null source as a failed source).  Results are
// 32-bit; 0 means success unless an implementation documents otherwise.
//
// Slot order.  The thirty operations are declared in their fixed slot order
// (0..29); a dir-and-name form and its path form are one operation in two
// consecutive slots.  Do not reorder, insert or remove declarations.  The
// snapshot-assisted layout (common/layout_policy.h) carries no file times:
// its copies leave every target with the time at which it was written and
// never call SetModifiedTime or GetModifiedTime.  Both layouts share this
// one table of thirty slots: it never crosses the library's boundary (the
// file systems are made and released inside the synchronisation entry), so
// nothing outside sees its slot numbers.
//
// Ownership.  A file system is created with new and destroyed only through
// Release(), which deletes the object; the base has no virtual destructor.
// Implementations are declared final (so that `delete this` in Release is
// exact) and keep their destructor private.  ScopedFileSystem calls Release
// for RAII owners.
//
// Thread safety: none; an object is used by one thread at a time.

#ifndef KELTOS3_SRC_FS_QUEXFS_MANAGER_H_
#define KELTOS3_SRC_FS_QUEXFS_MANAGER_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/sorted_map.h"
#include "platform/file_time.h"

// Capacity of the tree maps of a new file system.
constexpr int kTreeMapCapacity = 100;

// A file as a scan saw it: its size and its modification time at full
// precision (the time texts of fileMap keep milliseconds only).
struct FileStamp {
  std::uint64_t size = 0;
  platform::FileTime time = 0;
  bool operator==(const FileStamp& other) const {
    return size == other.size && time == other.time;
  }
};

// Stamps by tree key.
using FileStampMap = std::map<std::u16string, FileStamp>;

// Why a directory-tree scan left an entry of the tree out of its maps.
enum class LeftOutReason {
  kDotDirectory,   // a directory whose name begins with "." (skipped whole)
  kSymbolicLink,   // a symbolic link, junction or other redirecting name
  kNameHoldsBackslash,  // a POSIX name holding "\\": it would read as two
                        // components of a key
  kNameNotText,    // a name that is not valid UTF-8 (Windows: UTF-16 with an
                   // unpaired surrogate); two such names could map to one key
  kWorkFileName,   // a file named like the work files of copies
                   // (IsCopyFileName): a user's file of that form, or a work
                   // file that an interrupted copy left behind
  // Left out by the synchronisation driver after the load, for a key of
  // any tree that the local tree cannot hold (fs/name_rules.h):
  kCaseTwin,       // differs only in case from a key the local tree holds,
                   // where names that differ in case name one file
  kNameRefused,    // a name Windows refuses (a device name, a forbidden
                   // character, a trailing dot or space)
};

// One entry a scan left out: its key as far as it can be shown (a name
// that is not text shows U+FFFD for each bad sequence) and why.  Nothing
// below a left-out directory is scanned or reported.
struct LeftOutEntry {
  std::u16string key;
  LeftOutReason reason;
};

// Size of the block in which copies pull data from a source: a ReadStream
// that returns fewer bytes than this ends the copy.
constexpr int32_t kCopyBlockSize = 1024;

class CQUEXFSManager {
 public:
  CQUEXFSManager(const CQUEXFSManager&) = delete;
  CQUEXFSManager& operator=(const CQUEXFSManager&) = delete;

  // ---- Slots 0..7: loads ------------------------------------------------
  // LoadTree empties dirMap and fileMap, LoadFiles only fileMap, LoadDirs
  // only dirMap, then fills them from the subtree at root + path (the whole
  // tree for the forms without a path).  LoadTreeSaveFiles runs LoadTree and
  // then copies fileMap into savedFileMap.

  virtual int32_t LoadTree(std::u16string path) = 0;                    // 0
  virtual int32_t LoadTree() = 0;                                       // 1
  virtual int32_t LoadFiles(std::u16string path) = 0;                   // 2
  virtual int32_t LoadFiles() = 0;                                      // 3
  virtual int32_t LoadDirs(std::u16string path) = 0;                    // 4
  virtual int32_t LoadDirs() = 0;                                       // 5
  virtual int32_t LoadTreeSaveFiles(std::u16string path) = 0;           // 6
  virtual int32_t LoadTreeSaveFiles() = 0;                              // 7

  // ---- Slots 8..13: directories and the reserved operation --------------

  // Creates one directory (the last component only).
  virtual int32_t CreateDir(std::u16string dir, std::u16string name) = 0;  // 8
  virtual int32_t CreateDir(std::u16string path) = 0;                   // 9
  // Removes one (empty) directory.
  virtual int32_t RemoveDir(std::u16string dir, std::u16string name) = 0;  // 10
  virtual int32_t RemoveDir(std::u16string path) = 0;                   // 11
  // Placeholders without meaning: do nothing, return 0.
  virtual int32_t ReservedOp(std::u16string dir, std::u16string name,
                             std::u16string text, int32_t value) = 0;   // 12
  virtual int32_t ReservedOp(std::u16string path, std::u16string text,
                             int32_t value) = 0;                        // 13

  // ---- Slots 14..21: files ------------------------------------------------

  // Makes dir + name a copy of source's file sourceDir + sourceName, with
  // the time source->GetModifiedTime(sourceName) gives.
  virtual int32_t CopyFileFrom(std::u16string dir, std::u16string name,
                               CQUEXFSManager* source,
                               std::u16string sourceDir,
                               std::u16string sourceName) = 0;          // 14
  // Writes dir + name from source's current stream, which the caller has
  // opened; closes that stream.
  virtual int32_t WriteFileFrom(std::u16string dir, std::u16string name,
                                CQUEXFSManager* source) = 0;            // 15
  virtual int32_t WriteFileFrom(std::u16string path,
                                CQUEXFSManager* source) = 0;            // 16
  // Deletes one file.
  virtual int32_t RemoveFile(std::u16string dir, std::u16string name) = 0;  // 17
  virtual int32_t RemoveFile(std::u16string path) = 0;                  // 18
  // Replaces dir + name by a copy of source's sourceDir + sourceName; `time`
  // is not used.
  virtual int32_t ReplaceFileFrom(std::u16string dir, std::u16string name,
                                  std::u16string time, CQUEXFSManager* source,
                                  std::u16string sourceDir,
                                  std::u16string sourceName) = 0;       // 19
  // Replaces dir + name by a copy of source's GetRoot() + name; neither
  // `time` nor `reserved` is used.  The path form uses the root as dir.
  virtual int32_t UpdateFileFrom(std::u16string dir, std::u16string name,
                                 std::u16string time, CQUEXFSManager* source,
                                 int32_t reserved) = 0;                 // 20
  virtual int32_t UpdateFileFrom(std::u16string path, std::u16string time,
                                 CQUEXFSManager* source,
                                 int32_t reserved) = 0;                 // 21

  // ---- Slots 22..28: the single current stream ----------------------------

  // Opens the file as the object's current stream.  1 when a stream is
  // already open; other non-zero codes per implementation.
  virtual int32_t OpenStream(std::u16string dir, std::u16string name) = 0;  // 22
  virtual int32_t OpenStream(std::u16string path) = 0;                  // 23
  // Reads up to `size` bytes into buffer.  Returns the count read (below
  // `size` only at the end of the data), or -1 when no stream is open or
  // the read failed.
  virtual int32_t ReadStream(uint8_t* buffer, int32_t size) = 0;        // 24

  // Slots 25 and 26 carry file times; the snapshot-assisted layout does
  // not call them.
  // Sets the last-write time of dir + name from a time text.
  virtual int32_t SetModifiedTime(std::u16string dir, std::u16string name,
                                  std::u16string time) = 0;             // 25
  // The time text fileMap holds for key, or the empty text.
  virtual std::u16string GetModifiedTime(std::u16string key) = 0;       // 26

  // Writes `size` bytes to the current stream.  0 on success, 1 when no
  // stream is open.
  virtual int32_t WriteStream(const uint8_t* buffer, int32_t size) = 0;  // 27
  // Closes the current stream.  0, or 1 when no stream is open.
  virtual int32_t CloseStream() = 0;                                    // 28

  // ---- Slot 29 --------------------------------------------------------------

  // Destroys the object; it must not be used afterwards.  Returns 0.
  virtual int32_t Release() = 0;                                        // 29

  // ---- Non-virtual operations -------------------------------------------

  // Stores the root: a directory path without trailing backslash for the
  // local tree and the catalog, a bucket and optional path for S3.
  void SetRoot(const std::u16string& new_root) { root = new_root; }
  std::u16string GetRoot() const { return root; }

  // Empties dirMap, fileMap and savedFileMap and gives each the capacity
  // `capacity` (the synchronisation's "SyncCapacity"); the next loads keep
  // up to that many keys per map.
  void SetMapCapacity(int capacity) {
    dirMap = CSortedMap<std::u16string>(capacity, SortedMapWhenFull::kKeepLowest);
    fileMap = CSortedMap<std::u16string>(capacity, SortedMapWhenFull::kKeepLowest);
    savedFileMap = CSortedMap<std::u16string>(capacity, SortedMapWhenFull::kKeepLowest);
  }

  // The time-text conversions of support/time_text.h.  FormatTimeText gives
  // the empty text for a time the platform cannot convert.  ParseTimeText
  // gives 0 when the text does not form a possible date and time (0, the
  // first instant of 1601, is taken as "no time" by every caller).
  static std::u16string FormatTimeText(platform::FileTime time);
  static platform::FileTime ParseTimeText(const std::u16string& text);

  // True when the last directory-tree scan read every directory it met
  // whole (the root included): each could be listed, its listing did not
  // break off, and the metadata of each of its entries could be read.  A
  // scan that could not leaves entries out of the maps, where they look
  // deleted; the synchronisation driver refuses to run on such a local tree
  // or catalog.
  bool LastScanComplete() const { return m_bScanComplete; }

  // The entries the last directory-tree scan met and left out of the maps,
  // in scan order, each with its reason.  None of them is synchronised, so a
  // caller that reports on a run names them.
  const std::vector<LeftOutEntry>& LeftOut() const { return m_leftOut; }
  // Adds an entry that the caller leaves out of the run for a reason of
  // its own, so that it is reported with the others.  The next load
  // forgets it.
  void NoteLeftOut(LeftOutEntry entry) { m_leftOut.push_back(std::move(entry)); }

  // The keys of the symbolic links among them (in scan order).  They are
  // neither listed nor entered: whatever a link leads to is not part of the
  // tree.
  std::vector<std::u16string> ScannedLinks() const;

  // How many directories and files the last directory-tree scan found and
  // would have listed had the maps room for every one (CSortedMap keeps
  // only the lowest keys up to its capacity): found minus kept is what the
  // capacity left out.
  std::int64_t ScannedDirCount() const { return m_iDirsFound; }
  std::int64_t ScannedFileCount() const { return m_iFilesFound; }

  // What the last failed operation of this file system noted about its
  // cause ("the local file changed while it was read"), emptied by the
  // call; empty when nothing was noted.  Implementations note what they
  // can tell apart; a caller that reports a failed action names the side
  // from it.
  std::u16string TakeFailureNote() {
    std::u16string note;
    note.swap(m_failureNote);
    return note;
  }

  // Called with the byte count of the blocks of file content the file
  // system moves (what each implementation counts, it says); empty:
  // nobody listens.
  void SetByteListener(std::function<void(std::uint64_t)> listener) {
    m_byteListener = std::move(listener);
  }

  // ---- Transfer lanes -------------------------------------------------------
  //
  // A transfer lane is a copy of a file system (made by the concrete
  // class's NewTransferLane) that carries one transfer at a time on a
  // thread of its own while the engine applies transfers side by side.
  // These hand what a lane's transfer left over to the file system it was
  // copied from, on the engine's thread.

  // Takes over the failure note of `lane`'s last transfer, if it noted one.
  void TakeLaneFailureNote(CQUEXFSManager* lane) {
    std::u16string note = lane->TakeFailureNote();
    if (!note.empty()) NoteFailure(std::move(note));
  }
  // Hands `n` bytes a lane moved to this object's byte listener.
  void CountLaneBytes(std::uint64_t n) const { CountBytes(n); }

  // ---- Members read by the engine ---------------------------------------

  std::u16string root;
  CSortedMap<std::u16string> dirMap{kTreeMapCapacity,
                                    SortedMapWhenFull::kKeepLowest};
  CSortedMap<std::u16string> fileMap{kTreeMapCapacity,
                                     SortedMapWhenFull::kKeepLowest};
  // A copy of fileMap taken by LoadTreeSaveFiles; nothing else uses it.
  CSortedMap<std::u16string> savedFileMap{kTreeMapCapacity,
                                          SortedMapWhenFull::kKeepLowest};

 protected:
  CQUEXFSManager() = default;
  // Not virtual: destruction goes through Release of the final class.
  ~CQUEXFSManager() = default;

  // Which maps a directory-tree scan fills.
  enum class ScanVariant { kFull, kDirsOnly, kFilesOnly };

  // The directory-tree scan shared by the implementations on disk.  Lists
  // the directory root + relative (relative empty for the root) through the
  // current Env and, depth first in the order the platform gives, inserts
  // relative + "\" + name with the entry's time text into dirMap
  // (directories; kFull and kDirsOnly) and fileMap (files; kFull and
  // kFilesOnly), entering every listed directory after inserting it.
  // Skipped everywhere: "." and ".."; left out and recorded in LeftOut:
  // names holding a backslash and names that are not text (they cannot
  // form a key of their own), symbolic links (neither listed nor entered)
  // and files named like copy work files (IsCopyFileName).  With
  // skip_dot_dirs, a directory whose name begins with "." is left out with
  // everything below it.  A directory that cannot be listed or whose
  // listing breaks off, and an entry whose metadata cannot be read, add
  // nothing and mark the scan incomplete (LastScanComplete); entries already
  // found stay.  When `stamps` is given (variants that fill fileMap), it is
  // emptied and receives the FileStamp of every file fileMap holds at the
  // end.  Does not empty the maps.  Returns 0.
  int32_t ScanDirectoryTree(const std::u16string& relative,
                            ScanVariant variant, bool skip_dot_dirs,
                            FileStampMap* stamps = nullptr);

  // savedFileMap = fileMap (entries and capacity).
  void SaveFileMap() { savedFileMap = fileMap; }

  // Records the cause of a failure for TakeFailureNote (the latest wins).
  void NoteFailure(std::u16string note) { m_failureNote = std::move(note); }

  // Hands `n` bytes to the byte listener.
  void CountBytes(std::uint64_t n) const {
    if (m_byteListener && n > 0) m_byteListener(n);
  }

  // The time text fileMap holds for key, or the empty text: the shared
  // behaviour of GetModifiedTime.
  std::u16string LookupFileTime(const std::u16string& key) const {
    return fileMap.Lookup(key);
  }

 private:
  // One directory level of ScanDirectoryTree, recursing into subdirectories.
  void ScanDirectoryLevel(const std::u16string& relative, ScanVariant variant,
                          bool skip_dot_dirs, FileStampMap* stamps);

  // Drops the stamps of keys fileMap does not hold.
  void PruneStamps(FileStampMap* stamps) const;

  bool m_bScanComplete = true;
  std::vector<LeftOutEntry> m_leftOut;
  std::int64_t m_iDirsFound = 0;
  std::int64_t m_iFilesFound = 0;
  std::u16string m_failureNote;
  std::function<void(std::uint64_t)> m_byteListener;
};

// A unique_ptr deleter that destroys a file system through Release.
struct ReleaseFileSystem {
  void operator()(CQUEXFSManager* fs) const {
    if (fs != nullptr) fs->Release();
  }
};

// Owns a file system of type T (CQUEXFSManager or an implementation).
template <typename T = CQUEXFSManager>
using ScopedFileSystem = std::unique_ptr<T, ReleaseFileSystem>;

#endif  // KELTOS3_SRC_FS_QUEXFS_MANAGER_H_
