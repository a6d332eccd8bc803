// CS3FileSystem: the file system over the remote tree in one bucket.
//
// Root.  The root names a bucket, optionally followed by a path inside it,
// with backslashes: "backups", "\backups" or "backups\docs".  Every
// operation joins its path (root + path, or dir + name), splits the result
// with SplitBucket, stores the bucket in `bucket` and addresses that bucket
// alone: the file objects it uses have both their bucket names set to it,
// which redirects all of their requests (index objects, chunks,
// verification listings, folder markers), whatever the settings name.
//
// Tree maps.  dirMap holds one key per folder marker ("$folder$docs/sub" ->
// \docs\sub) with the marker's last-modified text from the listing;
// fileMap one key per stored path ("$file$/docs/a.txt_" stamp "_Info" ->
// \docs\a.txt) with the version stamp, a 24-character time text.  When
// several versions of a path are listed the last one listed (the newest
// stamp) wins.  Keys are relative to the root: with the root backups\docs,
// the folder marker "$folder$docs/sub" is \sub and the index object of
// "\docs\a.txt" is \a.txt, while objects outside the root's path (its own
// marker "$folder$docs", or "docs2" beside it) are not part of the tree;
// every operation joins the root and the key again, so that the same tree
// key addresses the same object both ways.  A subtree load matches by
// leading characters: loading \d also lists \d itself, \d2 and everything
// below them.  Keys that cannot name a safe tree entry are skipped, and so
// are entries below dot-directories, which the local tree never lists
// (fs/tree_names.h), and versions the host stored through its own file
// objects (HTTP-date stamps; fs/s3_tree_listing.h).
//
// Snapshot-assisted layout (common/layout_policy.h): one version per path,
// its index object "$file$/docs/a.txt_Info"; fileMap holds the listing's
// LastModified of that object (to the second); uploads carry no time;
// LoadTree lists again without pausing; a replaced version's index object
// is overwritten in place, then its chunks are removed.  Before the index
// object of a path the load listed is replaced, one listing checks that it
// is still the one the load listed; when another machine stored or removed
// the path since, the copy fails (1) and replaces nothing.
//
// Loading.  LoadTree lists folders and files, pausing "RequestPause"
// milliseconds (1000 by default) between attempts, until two consecutive
// attempts both listed every page of both completely and left the maps as
// they were (the maps are not emptied between attempts, so the second adds
// nothing: the same count and, for a full map, which keeps its lowest keys,
// the same highest key).  A failed
// listing never counts towards that agreement: after five attempts without
// it LoadTree returns 1, so that a bucket that cannot be read is never taken
// for an empty one; a listing whose pages do not lead to an end (s3/
// listing_pager.h) makes it return 1 at once.  A listing that finds an index object of the root's
// tree in the other build's form (fs/s3_tree_listing.h) ends the load at
// once with kLoadOtherLayout: such a tree cannot be read, and read as it is
// every file in it would look deleted.
//
// Storing.  A copy into the tree uploads the source's stream into a new
// version named with the source's time for the file (the time of writing
// when the source has none, and for WriteFileFrom), with chunks of its own
// (layout/object_keys.h).  Nothing is stored unless every block was read
// and every chunk and the index object were stored; a failed copy returns
// 1 and leaves the versions already stored as they were listed, and
// readable.  Once a new version is stored, the other versions of the path
// in this file system's form (a time-text stamp) are removed up to the
// newer of its own stamp and the one the last load listed (which the new
// one replaces even when it is older), not only the listed one: the index
// objects, then the chunks that no remaining index object names
// (layout/version_removal.h).  A version newer than both, which another
// machine stored since the load, stays: the tree lists it in place of the
// new one, and the next run finds it as a change.  A path
// that the last whole-tree load listed no version of is not looked at for
// other versions (PathKnownUnlisted): only a store from another machine
// since the load could have left one, and the path's next store or removal
// takes it away.  The
// host's own versions (HTTP-date stamps) and the other build's form stay,
// and so do the chunks they name.
//
// Removing.  RemoveFile removes the version the last load listed for the
// path and the older ones that earlier stores left, never one stored since
// the load; nothing at all when one of the path's index objects cannot be
// read whole (the removal is then reported failed, to be tried again).
//
// Results (the rest as CQUEXFSManager):
//   LoadTree, LoadTreeSaveFiles   0 loaded; 1 no two complete listings
//                                 agreed; kLoadOtherLayout the tree is in the
//                                 other build's form
//   LoadFiles, LoadDirs           0 (one listing, whatever it gave)
//   CreateDir                     0 the folder's marker is listed or was
//                                 stored; 2 it could not be stored (as a
//                                 local folder that cannot be made: the run
//                                 does not record the folder, so the next
//                                 run tries again)
//   RemoveDir                     0 the marker is gone; 1 its deletion
//                                 failed
//   RemoveFile                    0 removed or nothing listed to remove; 1
//                                 an index object could not be read, or a
//                                 deletion failed (the listed version stays)
//   CopyFileFrom                  source's non-zero OpenStream result; 1 the
//                                 copy failed or the name is not a safe
//                                 tree key; else 0
//   WriteFileFrom                 1 the copy failed; else 0
//   ReplaceFileFrom, UpdateFileFrom
//                                 the copy's result
//   OpenStream                    0 opened; 1 a stream is already open (it
//                                 stays open); 3 the path is not in fileMap
//                                 or its version cannot be read
//   ReadStream                    the file object's Read: the count read, -1
//                                 no stream open or a chunk fetch failed
//   WriteStream                   0; 1 no stream open; 2 the write failed
//   CloseStream                   0; 1 no stream open; 2 finishing a written
//                                 stream failed (nothing was stored)
//   SetModifiedTime               0 (a remote file's time is its stamp)
//   ReservedOp, Release           0
//
// Writing to a stream.  The first WriteStream after OpenStream starts a new
// version of the opened path, stamped with the time of writing; CloseStream
// (or Release) stores it and then removes the path's other versions, the
// opened one among them, as UpdateFileFrom does.
//
// All S3 traffic goes through S3Client and CS3File; the pause between
// listing attempts through platform::CurrentEnv()->Sleep.
//
// Thread safety: none; one thread at a time.

#ifndef KELTOS3_SRC_FS_S3_FILE_SYSTEM_H_
#define KELTOS3_SRC_FS_S3_FILE_SYSTEM_H_

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fs/quexfs_manager.h"

class CS3File;

class CS3FileSystem final : public CQUEXFSManager {
 public:
  // Listing attempts of LoadTree.
  static constexpr int kListingAttempts = 5;
  // LoadTree's result for a tree stored by the other build of the library.
  static constexpr int32_t kLoadOtherLayout = 2;
  // ListFolders' and ListFiles' result for pages that lead nowhere; a load
  // that meets it fails at once (1) instead of listing again.
  static constexpr int32_t kListingUnending = 3;

  CS3FileSystem();

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

  // Finishes a stream that is open and was written to (as CloseStream),
  // then deletes the object.
  int32_t Release() override;

  // The time this object's own last store of the tree key `key` gave it:
  // the version's stamp (standard build) or the listing's time of its
  // index object with its milliseconds (snapshot-assisted build); empty
  // when it stored none or the time could not be listed.  The catalog
  // records it.
  std::u16string TimeAfterTransfer(const std::u16string& key) const {
    const auto found = transferTimes.find(key);
    return found == transferTimes.end() ? std::u16string() : found->second;
  }
  // The listing's time of each path the last load listed, with its
  // milliseconds where the server gives them (fileMap keeps seconds);
  // snapshot-assisted layout, empty in the standard one.
  const std::map<std::u16string, std::u16string>& ListedTimes() const {
    return listedTimes;
  }

  // A transfer lane (fs/quexfs_manager.h): a new object with this one's
  // root, maps and what it knows of the bucket, and no stream.  The caller
  // releases it.
  CS3FileSystem* NewTransferLane() const;
  // Takes over what `lane` learnt by storing the tree key `key`: the
  // path and its folders as stored, and the time after the transfer.
  void TakeTransfer(const CS3FileSystem& lane, const std::u16string& key);
  // Before a transfer of the tree key `key` starts on `lane`: the folders
  // above it whose markers were stored through this object since the lane
  // was made (by the run's folder creations, or another lane's transfer),
  // so that the lane does not look them up again.
  void LendFolders(CS3FileSystem* lane, const std::u16string& key) const;

  // ---- The parts of the loads, public for tests -----------------------------

  // Splits `path`: one leading "\" is dropped; the bucket is the text up to
  // the next "\" (all of it when there is none) and the remainder the rest,
  // beginning with that "\" ("backups\docs\a.txt" gives "backups" and
  // "\docs\a.txt"; "backups" gives "backups" and "").
  static void SplitBucket(const std::u16string& path, std::u16string* bucket,
                          std::u16string* remainder);

  // Lists folders and files of `remainder` (key form, "/docs") in the
  // bucket member until two complete listings agree, as described above.
  // Adds to the maps; does not empty them.  0, 1 or kLoadOtherLayout.
  int32_t LoadRemoteTree(const std::u16string& remainder);

  // One listing of the folder markers (ListFolders) or the index objects
  // (ListFiles) whose keys begin with "$folder$" + remainder (one leading
  // "/" dropped) or "$file$" + remainder, every page of it, adding what it
  // finds below the root to dirMap or fileMap, with keys relative to the
  // root.  0 when every page was listed; 1 when a page's request failed or
  // the page was damaged (the pages before stay in the map);
  // kListingUnending when the pages did not lead to an end (s3/
  // listing_pager.h: a last key that did not move past the previous page's,
  // or the page bound); kLoadOtherLayout (ListFiles) when an index object
  // below the root is in the other build's form.  A bucket member that is
  // empty fails at once.
  int32_t ListFolders(std::u16string remainder);
  int32_t ListFiles(const std::u16string& remainder);

 private:
  // A stored version whose index object a new one may replace in place.
  struct Superseded {
    bool known = false;             // its chunk keys were read
    std::u16string bucket;          // where it is stored
    std::u16string index_key;
    std::vector<std::u16string> chunk_keys;  // in index order
  };

  // What an upload stored.
  struct Uploaded {
    std::u16string index_key;
    std::vector<std::u16string> chunk_keys;  // in index order
    // The stamp of the version of the path the last load listed (which the
    // new one replaces, even when it is older); empty when none was.
    std::u16string listed_stamp;
  };

  ~CS3FileSystem();

  // Splits `full`, stores the bucket member and returns the remainder.
  std::u16string Address(const std::u16string& full);

  // The listing remainder (key form) of the subtree `path` of the root: for
  // the whole tree below a root with a path, that path and a "/", so that a
  // neighbour whose name begins like it ("docs2" beside "docs") is not
  // listed.  Stores the bucket member.
  std::u16string ListingRemainder(const std::u16string& path);

  // The path inside the bucket that the root names, as a tree key ("\docs"),
  // or "" for a root that names the bucket alone.
  std::u16string RootPath() const;

  // Uploads the source's open stream into a new version of `remainder`
  // (the tree key `name`) in the bucket member, named with `stamp`, and
  // closes the source's stream; then removes the path's other versions
  // (RemoveOtherVersions).  0, or 1 when a read, a chunk upload or the
  // index store failed (no index object is then stored, nothing removed).
  int32_t ReceiveUpload(const std::u16string& remainder,
                        const std::u16string& name, CQUEXFSManager* source,
                        const std::u16string& stamp);

  // CopyFileFrom, and the upload behind ReplaceFileFrom and UpdateFileFrom.
  int32_t Upload(const std::u16string& dir, const std::u16string& name,
                 CQUEXFSManager* source, const std::u16string& sourceDir,
                 const std::u16string& sourceName);

  // The version of the tree key `name` (path `remainder`) that the last
  // load listed, when a new version stored under `index_key` will replace
  // its index object in place, with the chunk keys read from it.
  Superseded FindReplacedVersion(const std::u16string& remainder,
                                 const std::u16string& name,
                                 const std::u16string& index_key);

  // After `stored` was stored for `remainder` in the bucket member: removes
  // every other version of the path in this file system's form (see
  // layout/version_removal.h; the host's own versions and those of the
  // other build stay, and keep their chunks), and the chunks of `replaced`
  // that no index object names any more.  Without `look_for_others` the
  // path's versions are not listed (PathKnownUnlisted).
  void RemoveOtherVersions(const std::u16string& remainder,
                           const Uploaded& stored, const Superseded& replaced,
                           bool look_for_others = true);

  // Stores the version written through the stream and removes the one it
  // replaces.  0, or 2 when storing failed.
  int32_t FinishWrittenStream();

  // Snapshot-assisted layout: true when the index object of `remainder` (the tree key `name`) is
  // still the one the last load listed (the same ETag and listed time), or
  // the load listed none: a store may then replace it.  Another machine's newer
  // version is never replaced by an older edit of a run that loaded the
  // tree before it was stored; that is a change for the next run.
  bool ListedVersionUnchanged(const std::u16string& remainder, const std::u16string& name);

  // A fresh file object whose requests all go to `in_bucket`.
  static std::unique_ptr<CS3File> NewFileObject(const std::u16string& in_bucket);

  // Folder markers.  A file object that opens a path makes sure the marker
  // of every folder above it exists, at one listing per folder; a run that
  // stores thousands of files in a few folders would send those listings
  // for every file.  FolderMarkersKnown is true when every folder above
  // `remainder` (a path in the bucket member) was listed by the last load
  // or had its marker stored through this object, so that the file object
  // may skip them; NoteFolderMarkers records `folder` and the folders above
  // it as stored.
  bool FolderMarkersKnown(const std::u16string& remainder) const;
  // The tree key of `remainder` (a path in the bucket member): false when
  // the bucket member is not the root's bucket or the path lies outside the
  // root's path.
  bool TreeKeyOf(const std::u16string& remainder, std::u16string* key) const;
  void NoteFolderMarkers(const std::u16string& folder);
  // The folders above the tree key `key` in the form storedFolders keeps
  // them (bucket + path in it), outermost first; `path`, when given, takes
  // the key's own such form (the form of storedPaths).
  std::vector<std::u16string> StoredFormsAbove(const std::u16string& key,
                                               std::u16string* path) const;
  // True when the folder `remainder` had no marker in the last whole-tree
  // load and none was stored through this object since: its marker can be
  // stored without looking for it first.
  bool FolderKnownUnlisted(const std::u16string& remainder) const;

  // True when the last whole-tree load listed every stored path up to `name`
  // (a tree key) and no version of it, and no version of it was stored
  // through this object since.  Storing such a path needs no listing of its
  // other versions: only a store from another machine after the load could
  // have left one, and the next store or removal of the path takes it away.
  bool PathKnownUnlisted(const std::u16string& remainder,
                         const std::u16string& name) const;
  // Opens `file` on `path`, skipping the folder markers when they are known;
  // for a new version (`for_writing`) without looking for a stored one, and
  // for a read as a version this object's load listed (CS3File::OpenListed).
  int OpenFileObject(CS3File* file, const std::u16string& path,
                     bool for_writing = false);

  // The paging behind ListFolders (folders true) and ListFiles: lists the
  // keys beginning with `prefix` (already percent-encoded where it must be)
  // and adds the entries they name to dirMap or fileMap.
  int32_t ListPages(const std::u16string& prefix, bool folders);

  std::unique_ptr<CS3File> stream;
  int32_t streamOpen = 0;
  int32_t streamWritten = 0;
  std::u16string bucket;

  // The open stream: the path it was opened on (remainder form, without
  // stamp), the version it opened, and the bytes written to it so far.
  std::u16string streamPath;
  Superseded streamVersion;
  int64_t streamBytes = 0;

  // Folders whose markers were stored through this object: bucket + path
  // in the bucket ("backups\docs\sub").
  std::set<std::u16string> storedFolders;
  // Paths stored through this object, in the same form.
  std::set<std::u16string> storedPaths;
  // The maps hold a whole-tree load that ended in agreement.
  bool wholeTreeLoaded = false;
  // TimeAfterTransfer by tree key.
  std::map<std::u16string, std::u16string> transferTimes;
  // Snapshot-assisted layout: the listed times, and the ETag and
  // LastModified text each path's index object was listed with (fileMap
  // holds the time alone, to the second).
  std::map<std::u16string, std::u16string> listedTimes;
  std::map<std::u16string, std::u16string> listedIndexTags;
};

#endif  // KELTOS3_SRC_FS_S3_FILE_SYSTEM_H_
