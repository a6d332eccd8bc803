#include "fs/s3_file_system.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "layout/s3_file.h"
#include "common/layout_policy.h"
#include "common/wide_string.h"
#include "fs/s3_tree_listing.h"
#include "fs/tree_names.h"
#include "layout/index_record.h"
#include "layout/info_index.h"
#include "layout/object_keys.h"
#include "layout/version_removal.h"
#include "platform/env.h"
#include "platform/file_time.h"
#include "s3/listing_pager.h"
#include "s3/request_kinds.h"
#include "s3/s3_client.h"
#include "s3/s3_list_result.h"
#include "settings/s3_config.h"
#include "support/time_text.h"
#include "support/url_encode.h"

namespace {

// Versions named by stamps (the standard layout), or one per path.
bool Versioned() { return CurrentLayout().VersionedKeys(); }

// The stamp of a version written without a source time: the time text of
// this moment.
std::u16string TimeOfWriting() {
  return FormatTimeText(platform::FileTimeFromUnixSeconds(
      platform::CurrentEnv()->NowUnixSeconds()));
}

// The key the index object of `remainder` (a path in the bucket) is stored
// under when its version is named with `stamp`.  The snapshot-assisted
// layout keeps one version per path, under the path's own index key.
std::u16string StoredIndexKey(const std::u16string& remainder,
                              const std::u16string& stamp) {
  if (!Versioned()) return IndexKeyOf(FileKeyOf(remainder));
  return VersionedIndexKey(IndexKeyOf(FileKeyOf(remainder)), stamp);
}

// The chunk key of every record of the loaded `index`, in order.
std::vector<std::u16string> RecordKeysOf(const CS3InfoIndex& index) {
  std::vector<std::u16string> keys;
  IndexRecord record;
  for (int32_t i = 0; index.Record(i, &record); ++i) keys.push_back(record.key);
  return keys;
}

// Turns `key`, a listed entry's tree key relative to the bucket, into one
// relative to the root's path `root_path` (RootPath).  False when the entry
// lies outside that path (the root itself included).
bool ToRootKey(const std::u16string& root_path, std::u16string* key) {
  if (root_path.empty()) return true;
  if (key->size() <= root_path.size() + 1 ||
      key->compare(0, root_path.size(), root_path) != 0 ||
      (*key)[root_path.size()] != u'\\') {
    return false;
  }
  key->erase(0, root_path.size());
  return true;
}

// The stamp of `key` when it is the index object of a version of
// `remainder` in the form this file system stores and lists (a time-text
// stamp); the empty text for any other key (the host's own versions, with
// HTTP-date stamps, and the other build's unstamped one).
std::u16string SyncVersionStamp(const std::u16string& key,
                                const std::u16string& remainder) {
  const std::u16string head = FileKeyOf(remainder) + u"_";
  if (key.size() != head.size() + kStampedIndexSuffixLength - 1 ||
      key.compare(0, head.size(), head) != 0) {
    return std::u16string();
  }
  std::u16string stamp = key.substr(head.size(), kStampLength);
  if (!IsVersionStamp(stamp) || StoredIndexKey(remainder, stamp) != key) {
    return std::u16string();
  }
  return stamp;
}

// The time a listing gives the index object `key` of `bucket`, to the
// millisecond where the server gives it (ListedExactTime), or the empty
// text when it is not listed.
std::u16string ListedTimeOf(const std::u16string& bucket, const std::u16string& key) {
  ServiceListRequest request(bucket);
  request.m_query.Set(u"prefix", key.substr(0, 6) + EncodeKeyForUrl(key.substr(6)));
  const S3ListResult answer = S3Client().ListObjects(request);
  if (answer.m_iRetry != 0) return std::u16string();
  for (const ListedEntry& entry : ReadListingPage(answer.m_strText).objects) {
    if (entry.key == key) return ListedExactTime(entry.last_modified);
  }
  return std::u16string();
}

// One trailing "\" dropped, as the object path of a folder drops it.
std::u16string WithoutTrailingBackslash(std::u16string path) {
  if (!path.empty() && path.back() == u'\\') path.pop_back();
  return path;
}

}  // namespace

CS3FileSystem::CS3FileSystem() : stream(std::make_unique<CS3File>()) {}

CS3FileSystem::~CS3FileSystem() = default;

void CS3FileSystem::SplitBucket(const std::u16string& path,
                                std::u16string* bucket_out,
                                std::u16string* remainder) {
  std::u16string_view text(path);
  if (!text.empty() && text[0] == u'\\') text.remove_prefix(1);
  const size_t slash = text.find(u'\\');
  if (slash == std::u16string_view::npos) {
    *bucket_out = std::u16string(text);
    remainder->clear();
    return;
  }
  *bucket_out = std::u16string(text.substr(0, slash));
  *remainder = std::u16string(text.substr(slash));
}

std::u16string CS3FileSystem::Address(const std::u16string& full) {
  std::u16string remainder;
  SplitBucket(full, &bucket, &remainder);
  return remainder;
}

std::u16string CS3FileSystem::ListingRemainder(const std::u16string& path) {
  std::u16string remainder = ReplaceAll(Address(root + path), u"\\", u"/");
  if (path.empty() && !remainder.empty() && remainder.back() != u'/') {
    remainder.push_back(u'/');
  }
  return remainder;
}

std::u16string CS3FileSystem::RootPath() const {
  std::u16string root_bucket;
  std::u16string root_path;
  SplitBucket(root, &root_bucket, &root_path);
  while (!root_path.empty() && root_path.back() == u'\\') root_path.pop_back();
  return root_path;
}

std::unique_ptr<CS3File> CS3FileSystem::NewFileObject(
    const std::u16string& in_bucket) {
  auto file = std::make_unique<CS3File>();
  file->SetBucket(in_bucket);
  file->SetDataBucket(in_bucket);
  return file;
}

bool CS3FileSystem::TreeKeyOf(const std::u16string& remainder, std::u16string* key) const {
  std::u16string root_bucket;
  std::u16string unused;
  SplitBucket(root, &root_bucket, &unused);
  *key = remainder;
  return bucket == root_bucket && ToRootKey(RootPath(), key);
}

bool CS3FileSystem::FolderMarkersKnown(const std::u16string& remainder) const {
  for (size_t end = remainder.find(u'\\', 1); end != std::u16string::npos;
       end = remainder.find(u'\\', end + 1)) {
    const std::u16string folder = remainder.substr(0, end);
    if (storedFolders.count(bucket + folder) != 0) continue;
    std::u16string key;
    if (TreeKeyOf(folder, &key) && dirMap.Find(key) >= 0) continue;
    return false;
  }
  return true;
}

namespace {

// True when a whole-tree load that filled `map` would have listed `key` had
// it been stored: a full map keeps its lowest keys, so beyond its last one
// nothing is known.
bool LoadWouldList(const CSortedMap<std::u16string>& map, const std::u16string& key) {
  return map.Count() < map.Capacity() || key < map.KeyAt(map.Count() - 1);
}

}  // namespace

bool CS3FileSystem::FolderKnownUnlisted(const std::u16string& remainder) const {
  std::u16string key;
  if (!wholeTreeLoaded || !TreeKeyOf(remainder, &key)) return false;
  if (storedFolders.count(bucket + remainder) != 0 || dirMap.Find(key) >= 0) return false;
  return LoadWouldList(dirMap, key);
}

bool CS3FileSystem::PathKnownUnlisted(const std::u16string& remainder,
                                      const std::u16string& name) const {
  std::u16string key;
  if (!wholeTreeLoaded || !TreeKeyOf(remainder, &key) || key != name) return false;
  if (storedPaths.count(bucket + remainder) != 0 || fileMap.Find(key) >= 0) return false;
  return LoadWouldList(fileMap, key);
}

void CS3FileSystem::NoteFolderMarkers(const std::u16string& folder) {
  for (size_t end = folder.find(u'\\', 1);; end = folder.find(u'\\', end + 1)) {
    storedFolders.insert(bucket + folder.substr(0, end));
    if (end == std::u16string::npos) break;
  }
}

int CS3FileSystem::OpenFileObject(CS3File* file, const std::u16string& path,
                                  bool for_writing) {
  const bool known = FolderMarkersKnown(path);
  if (known) file->SetFolderMarkersKnown();
  const int opened = for_writing ? file->OpenForWriting(path) : file->OpenListed(path);
  const size_t slash = path.rfind(u'\\');
  if (!known && slash != std::u16string::npos && slash > 0) {
    NoteFolderMarkers(path.substr(0, slash));
  }
  return opened;
}

// ---- Loads -------------------------------------------------------------------

int32_t CS3FileSystem::LoadTree(std::u16string path) {
  dirMap.RemoveAll();
  fileMap.RemoveAll();
  listedTimes.clear();
  listedIndexTags.clear();
  wholeTreeLoaded = false;
  const int32_t loaded = LoadRemoteTree(ListingRemainder(path));
  wholeTreeLoaded = loaded == 0 && path.empty();
  return loaded;
}

int32_t CS3FileSystem::LoadTree() { return LoadTree(std::u16string()); }

int32_t CS3FileSystem::LoadFiles(std::u16string path) {
  fileMap.RemoveAll();
  listedTimes.clear();
  listedIndexTags.clear();
  wholeTreeLoaded = false;
  ListFiles(ListingRemainder(path));
  return 0;
}

int32_t CS3FileSystem::LoadFiles() { return LoadFiles(std::u16string()); }

int32_t CS3FileSystem::LoadDirs(std::u16string path) {
  dirMap.RemoveAll();
  wholeTreeLoaded = false;
  ListFolders(ListingRemainder(path));
  return 0;
}

int32_t CS3FileSystem::LoadDirs() { return LoadDirs(std::u16string()); }

int32_t CS3FileSystem::LoadTreeSaveFiles(std::u16string path) {
  const int32_t result = LoadTree(std::move(path));
  SaveFileMap();
  return result;
}

int32_t CS3FileSystem::LoadTreeSaveFiles() {
  return LoadTreeSaveFiles(std::u16string());
}

int32_t CS3FileSystem::LoadRemoteTree(const std::u16string& remainder) {
  // What an attempt left in the maps.  A full map keeps its lowest keys, so
  // a key listed for the first time changes its highest key, if not its
  // count.
  struct Shape {
    int dirs = -1;
    int files = -1;
    std::u16string last_dir;
    std::u16string last_file;
    bool operator==(const Shape& o) const {
      return dirs == o.dirs && files == o.files && last_dir == o.last_dir &&
             last_file == o.last_file;
    }
  };
  Shape previous;
  bool previous_complete = false;
  for (int attempt = 0; attempt < kListingAttempts; ++attempt) {
    const bool final_attempt = attempt == kListingAttempts - 1;
    const int32_t folders = ListFolders(remainder);
    // Pages that lead nowhere would do so again: the load fails at once.
    if (folders == kListingUnending) return 1;
    if (folders != 0 && final_attempt) return folders;
    const int32_t files_listed = ListFiles(remainder);
    if (files_listed == kLoadOtherLayout) return kLoadOtherLayout;
    if (files_listed == kListingUnending) return 1;
    if (files_listed != 0 && final_attempt) return files_listed;
    const Shape shape{dirMap.Count(), fileMap.Count(),
                      dirMap.KeyAt(dirMap.Count() - 1),
                      fileMap.KeyAt(fileMap.Count() - 1)};

    // Two failed listings "agree" on whatever little they found; only two
    // complete ones in a row may end the load.
    const bool complete = folders == 0 && files_listed == 0;
    if (complete && previous_complete && shape == previous) return 0;
    previous_complete = complete;
    previous = shape;
    // The same wait as after every request: a second listing right away
    // would most likely miss the same changes as the first.  (The
    // snapshot-assisted layout lists again at once.)
    if (CurrentLayout().PausesBetweenListings()) {
      platform::CurrentEnv()->Sleep(static_cast<uint32_t>(CS3Config().GetRequestPause()));
    }
  }
  return 1;
}

int32_t CS3FileSystem::ListPages(const std::u16string& prefix, bool folders) {
  if (bucket.empty()) return 1;  // the service root lists no objects
  const std::u16string root_path = RootPath();
  ListingPager pager(bucket, prefix, ListingPager::kMaxBucketPages);
  S3ListResult answer;
  while (pager.Next(&answer)) {
    const ListingPage page = ReadListingPage(answer.m_strText);
    for (const ListedEntry& entry : page.objects) {
      std::u16string key;
      if (folders) {
        if (FolderMarkerTreeKey(entry.key, &key) && ToRootKey(root_path, &key) &&
            !IsBelowDotDirectory(key, /*directory=*/true)) {
          dirMap.Set(key, entry.last_modified);
        }
        continue;
      }
      std::u16string stamp;
      const IndexKeyKind kind = ClassifyIndexKey(entry.key, &key, &stamp);
      if (kind != IndexKeyKind::kThisBuild && kind != IndexKeyKind::kOtherBuild) {
        continue;
      }
      if (!ToRootKey(root_path, &key) ||
          IsBelowDotDirectory(key, /*directory=*/false)) {
        continue;
      }
      if (kind == IndexKeyKind::kOtherBuild) return kLoadOtherLayout;
      if (Versioned()) {
        fileMap.Set(key, stamp);
      } else {
        fileMap.Set(key, ListedFileTime(entry.last_modified));
        listedTimes[key] = ListedExactTime(entry.last_modified);
        listedIndexTags[key] = entry.etag + u" " + entry.last_modified;
      }
    }
    if (page.damaged) return 1;
  }
  if (pager.Complete()) return 0;
  return pager.Unending() ? kListingUnending : 1;
}

int32_t CS3FileSystem::ListFolders(std::u16string remainder) {
  if (!remainder.empty() && remainder[0] == u'/') remainder.erase(0, 1);
  return ListPages(kFolderMarkerPrefix + EncodeKeyForUrl(remainder),
                   /*folders=*/true);
}

int32_t CS3FileSystem::ListFiles(const std::u16string& remainder) {
  return ListPages(u"$file$" + EncodeKeyForUrl(remainder), /*folders=*/false);
}

// ---- Directories -------------------------------------------------------------

int32_t CS3FileSystem::CreateDir(std::u16string dir, std::u16string name) {
  const std::u16string remainder =
      WithoutTrailingBackslash(Address(dir + name));
  if (bucket.empty() || !IsSafeTreeName(remainder)) return 0;
  FolderMarkerRequest marker(remainder);
  marker.m_strBucket = bucket;
  // A new folder below known ones needs only its own marker: looking for
  // the markers first would find nothing.  A marker that did not reach the
  // bucket must not count as stored: the catalog would record a folder that
  // no other machine's load lists, and this run's uploads into it would not
  // look for its marker again.
  const S3Response answer = FolderMarkersKnown(remainder) && FolderKnownUnlisted(remainder)
                                ? S3Client().PutObject(marker)
                                : S3Client().CreateFolder(marker);
  if (answer.m_iRetry != 0) return 2;
  NoteFolderMarkers(remainder);
  return 0;
}

int32_t CS3FileSystem::CreateDir(std::u16string path) {
  return CreateDir(root, std::move(path));
}

int32_t CS3FileSystem::RemoveDir(std::u16string dir, std::u16string name) {
  const std::u16string remainder =
      WithoutTrailingBackslash(Address(dir + name));
  if (bucket.empty() || !IsSafeTreeName(remainder)) return 0;
  // Only the marker goes; the objects below the folder stay.  A marker
  // that stays is reported, so that the run does not record the folder as
  // removed (it would come back as a folder added remotely).
  return DeleteStoredObject(bucket, FolderMarkerKey(remainder)) ? 0 : 1;
}

int32_t CS3FileSystem::RemoveDir(std::u16string path) {
  return RemoveDir(root, std::move(path));
}

int32_t CS3FileSystem::ReservedOp(std::u16string, std::u16string,
                                  std::u16string, int32_t) {
  return 0;
}

int32_t CS3FileSystem::ReservedOp(std::u16string, std::u16string, int32_t) {
  return 0;
}

// ---- Files ---------------------------------------------------------------------

CS3FileSystem::Superseded CS3FileSystem::FindReplacedVersion(
    const std::u16string& remainder, const std::u16string& name,
    const std::u16string& index_key) {
  Superseded replaced;
  if (Versioned()) {
    // Only the listed version can share the new one's key: both are named
    // with the same stamp.
    const std::u16string stamp = GetModifiedTime(name);
    if (!IsVersionStamp(stamp) || StoredIndexKey(remainder, stamp) != index_key) {
      return replaced;
    }
  } else if (fileMap.Find(name) < 0) {
    // A path's one version always has the key the new one takes.
    return replaced;
  }
  replaced.index_key = index_key;
  replaced.known = ReadChunkKeys(bucket, index_key, &replaced.chunk_keys);
  return replaced;
}

void CS3FileSystem::RemoveOtherVersions(const std::u16string& remainder,
                                        const Uploaded& stored,
                                        const Superseded& replaced,
                                        bool look_for_others) {
  VersionRemoval removal;
  removal.bucket = bucket;
  removal.data_bucket = bucket;
  removal.path = remainder;
  removal.known_key = stored.index_key;
  removal.known_chunks = stored.chunk_keys;
  if (replaced.known && replaced.index_key == stored.index_key) {
    // The replaced version's chunks are named by no index object of this
    // file system any more (those of an earlier build, which the new
    // version may share, excepted).
    for (const std::u16string& chunk : replaced.chunk_keys) {
      if (std::find(removal.known_chunks.begin(), removal.known_chunks.end(),
                    chunk) == removal.known_chunks.end()) {
        removal.released_chunks.push_back(chunk);
      }
    }
  }
  PathIndexObjects listing;
  if (!Versioned()) {
    // One index object per path: the new one took the place of the old.
    if (removal.released_chunks.empty()) return;
    // Chunks with a token belong to the replaced version alone; only chunks
    // of an earlier build, which other index objects of the path may name,
    // need the path's index objects read.
    listing.complete = true;
    if (!std::all_of(removal.released_chunks.begin(), removal.released_chunks.end(),
                     HasChunkToken)) {
      listing = ListPathIndexObjects(bucket, remainder);
    }
    RemoveVersions(removal, listing);
    return;
  }
  // Every other version of the path in this form goes, up to the newer of
  // the new one's stamp and the one the last load listed (which the new
  // version replaces, also when it is older: a file replaced by an older
  // copy), not only the listed one: two machines that stored the same path
  // both left one, and the older would be listed again once the newer is
  // removed.  A version newer than both stays: another machine stored it
  // since this run's load, and the next run finds it in place of this one
  // (a change, or a conflict, for that run to settle; removing it would
  // lose that machine's edit).
  if (!look_for_others && removal.released_chunks.empty()) return;
  listing = ListPathIndexObjects(bucket, remainder);
  const std::u16string own = SyncVersionStamp(stored.index_key, remainder);
  const std::u16string limit = std::max(own, stored.listed_stamp);
  for (const std::u16string& key : listing.keys) {
    const std::u16string stamp = SyncVersionStamp(key, remainder);
    if (key != stored.index_key && !stamp.empty() && stamp <= limit) {
      removal.index_keys.push_back(key);
    }
  }
  if (removal.index_keys.empty() && removal.released_chunks.empty()) return;
  // The new version is stored whatever this gives; what could not be
  // removed now goes with the next store or removal of the path.
  RemoveVersions(removal, listing);
}

int32_t CS3FileSystem::ReceiveUpload(const std::u16string& remainder,
                                     const std::u16string& name,
                                     CQUEXFSManager* source,
                                     const std::u16string& stamp) {
  Uploaded stored;
  stored.index_key = StoredIndexKey(remainder, stamp);
  if (Versioned()) stored.listed_stamp = GetModifiedTime(name);
  // Read before the upload: the new index object may take its key.
  const Superseded replaced = FindReplacedVersion(remainder, name, stored.index_key);

  std::unique_ptr<CS3File> file = NewFileObject(bucket);
  // The first Write starts a new version of the path whatever Open would
  // find, so no stored version is looked for.
  OpenFileObject(file.get(), remainder, /*for_writing=*/true);
  if (Versioned()) file->SetVersionStamp(stamp);

  uint8_t buffer[kCopyBlockSize];
  int32_t n = 0;
  do {
    n = source->ReadStream(buffer, kCopyBlockSize);
    // A failed read stores nothing: the file object is dropped with its
    // version unfinished, so no index object names a partial copy.
    if (n < 0 || n > kCopyBlockSize) {
      source->CloseStream();
      return 1;
    }
    const int last = n != kCopyBlockSize ? 1 : 0;
    // The last Write replaces the path's one index object (snapshot-assisted
    // layout): not when another machine stored (or removed) the path since
    // the load.
    if (last && !Versioned() && !ListedVersionUnchanged(remainder, name)) {
      source->CloseStream();
      return 1;
    }
    if (file->Write(reinterpret_cast<const char*>(buffer), n, last) != 0) {
      source->CloseStream();
      return 1;
    }
  } while (n == kCopyBlockSize);
  source->CloseStream();

  stored.chunk_keys = file->GetStoredChunkKeys();
  const bool unlisted = PathKnownUnlisted(remainder, name);
  storedPaths.insert(bucket + remainder);
  RemoveOtherVersions(remainder, stored, replaced, !unlisted);
  transferTimes[name] = Versioned() ? stamp : ListedTimeOf(bucket, stored.index_key);
  return 0;
}

bool CS3FileSystem::ListedVersionUnchanged(const std::u16string& remainder,
                                           const std::u16string& name) {
  // A path the load did not list is new to this run; a store of it from
  // another machine in the meantime is an add on both sides, which the
  // last store settles.
  const auto loaded = listedIndexTags.find(name);
  if (fileMap.Find(name) < 0 || loaded == listedIndexTags.end()) return true;
  const std::u16string index_key = StoredIndexKey(remainder, std::u16string());
  const StoredObjects listed =
      ListStoredObjects(bucket, index_key, ListingPager::kMaxPathPages);
  for (const S3ListedObject& object : listed.objects) {
    // Every store writes an index object of its own (its chunk keys differ),
    // so the ETag tells two stores within one second apart, which the
    // listed time (often to the second) does not.
    if (object.key == index_key) return object.etag + u" " + object.last_modified == loaded->second;
  }
  return false;
}

int32_t CS3FileSystem::Upload(const std::u16string& dir,
                              const std::u16string& name,
                              CQUEXFSManager* source,
                              const std::u16string& sourceDir,
                              const std::u16string& sourceName) {
  if (source == nullptr) return 1;
  const std::u16string remainder = Address(dir + name);
  if (bucket.empty() || !IsSafeTreeName(remainder)) return 1;
  const int32_t opened = source->OpenStream(sourceDir, sourceName);
  if (opened != 0) return opened;
  if (!Versioned()) return ReceiveUpload(remainder, name, source, std::u16string());
  // The stamp names the index object; one the listing cannot read back
  // (empty, for a key the source never loaded) would hide the copy.
  std::u16string stamp = source->GetModifiedTime(sourceName);
  if (!IsVersionStamp(stamp)) stamp = TimeOfWriting();
  return ReceiveUpload(remainder, name, source, stamp);
}

int32_t CS3FileSystem::CopyFileFrom(std::u16string dir, std::u16string name,
                                    CQUEXFSManager* source,
                                    std::u16string sourceDir,
                                    std::u16string sourceName) {
  return Upload(dir, name, source, sourceDir, sourceName);
}

int32_t CS3FileSystem::WriteFileFrom(std::u16string dir, std::u16string name,
                                     CQUEXFSManager* source) {
  if (source == nullptr) return 1;
  const std::u16string remainder = Address(dir + name);
  if (bucket.empty() || !IsSafeTreeName(remainder)) {
    source->CloseStream();
    return 1;
  }
  // No source time is known here; the file object's own default stamp (an
  // RFC 1123 date) would not list back as this path.
  return ReceiveUpload(remainder, name, source,
                       Versioned() ? TimeOfWriting() : std::u16string());
}

int32_t CS3FileSystem::WriteFileFrom(std::u16string path,
                                     CQUEXFSManager* source) {
  return WriteFileFrom(root, std::move(path), source);
}

int32_t CS3FileSystem::RemoveFile(std::u16string dir, std::u16string name) {
  const std::u16string remainder =
      WithoutTrailingBackslash(Address(dir + name));
  if (bucket.empty() || !IsSafeTreeName(remainder)) return 0;
  VersionRemoval removal;
  removal.bucket = bucket;
  removal.data_bucket = bucket;
  removal.path = remainder;
  PathIndexObjects listing;
  if (Versioned()) {
    // Without a loaded stamp there is no version to address: an empty one
    // would name an object that was never stored.
    const std::u16string stamp = GetModifiedTime(name);
    if (!IsVersionStamp(stamp)) return 0;
    listing = ListPathIndexObjects(bucket, remainder);
    // The listed version, and the older ones of the path that earlier
    // stores left behind (they would be listed in its place).  Newer ones,
    // stored since the load, stay.
    for (const std::u16string& key : listing.keys) {
      const std::u16string listed = SyncVersionStamp(key, remainder);
      if (!listed.empty() && listed <= stamp) removal.index_keys.push_back(key);
    }
  } else {
    // Only a path the last load listed has a version to address.
    if (fileMap.Find(name) < 0) return 0;
    listing = ListPathIndexObjects(bucket, remainder);
    removal.index_keys.push_back(StoredIndexKey(remainder, std::u16string()));
  }
  // While an index object stays, the file is still listed: report the
  // failure, so that the catalog keeps its record and the next run deletes
  // the file again instead of fetching it back.
  return RemoveVersions(removal, listing) == RemovalResult::kRemoved ? 0 : 1;
}

int32_t CS3FileSystem::RemoveFile(std::u16string path) {
  return RemoveFile(root, std::move(path));
}

int32_t CS3FileSystem::ReplaceFileFrom(std::u16string dir, std::u16string name,
                                       std::u16string, CQUEXFSManager* source,
                                       std::u16string sourceDir,
                                       std::u16string sourceName) {
  return Upload(dir, name, source, sourceDir, sourceName);
}

int32_t CS3FileSystem::UpdateFileFrom(std::u16string dir, std::u16string name,
                                      std::u16string, CQUEXFSManager* source,
                                      int32_t) {
  if (source == nullptr) return 1;
  return Upload(dir, name, source, source->GetRoot(), name);
}

int32_t CS3FileSystem::UpdateFileFrom(std::u16string path, std::u16string time,
                                      CQUEXFSManager* source,
                                      int32_t reserved) {
  return UpdateFileFrom(root, std::move(path), std::move(time), source,
                        reserved);
}

// ---- Stream --------------------------------------------------------------------

int32_t CS3FileSystem::OpenStream(std::u16string dir, std::u16string name) {
  // The open stream is left alone: replacing its file object would make its
  // next read look like the end of the file.
  if (streamOpen) return 1;
  const std::u16string remainder = Address(dir + name);
  stream = NewFileObject(bucket);
  const std::u16string stamp = Versioned() ? GetModifiedTime(name) : std::u16string();
  const bool listed = Versioned() ? IsVersionStamp(stamp) : fileMap.Find(name) >= 0;
  if (bucket.empty() || !IsSafeTreeName(remainder) || !listed) {
    return 3;  // no listed version to read
  }
  // The snapshot-assisted layout's one version lies under the path itself.
  const std::u16string stored = Versioned() ? StoredNameOf(remainder, stamp) : remainder;
  // 0 means the listed version is gone: read as it is, it would pass for
  // an empty file.
  if (OpenFileObject(stream.get(), stored) != 1) {
    stream = NewFileObject(bucket);
    return 3;
  }
  streamOpen = 1;
  streamWritten = 0;
  streamBytes = 0;
  streamPath = remainder;
  streamVersion = Superseded();
  streamVersion.known = true;
  streamVersion.bucket = bucket;
  streamVersion.index_key = IndexKeyOf(FileKeyOf(stored));
  return 0;
}

int32_t CS3FileSystem::OpenStream(std::u16string path) {
  return OpenStream(root, std::move(path));
}

int32_t CS3FileSystem::ReadStream(uint8_t* buffer, int32_t size) {
  if (!streamOpen || streamWritten || size < 0) return -1;
  return stream->Read(buffer, static_cast<unsigned int>(size));
}

int32_t CS3FileSystem::SetModifiedTime(std::u16string, std::u16string,
                                       std::u16string) {
  return 0;
}

std::u16string CS3FileSystem::GetModifiedTime(std::u16string key) {
  return LookupFileTime(key);
}

int32_t CS3FileSystem::WriteStream(const uint8_t* buffer, int32_t size) {
  if (!streamOpen) return 1;
  if (size < 0 || (buffer == nullptr && size > 0)) return 2;
  if (!streamWritten) {
    // A new version of the opened path, named like every other upload;
    // writing on under the opened version's stored name would give a key
    // that lists back as no path.  The opened version's chunks are noted
    // now, while its index is still loaded.
    streamVersion.chunk_keys = RecordKeysOf(stream->GetIndex());
    stream = NewFileObject(streamVersion.bucket);
    stream->OpenForWriting(streamPath);
    if (Versioned()) stream->SetVersionStamp(TimeOfWriting());
    streamWritten = 1;
    streamBytes = 0;
  }
  if (stream->Write(reinterpret_cast<const char*>(buffer), size, 0) != 0) {
    return 2;
  }
  streamBytes += size;
  return 0;
}

int32_t CS3FileSystem::FinishWrittenStream() {
  const int finished = stream->Write(nullptr, 0, 1);
  Uploaded stored;
  stored.index_key = StoredIndexKey(streamPath, stream->GetVersionStamp());
  stored.chunk_keys = stream->GetStoredChunkKeys();
  // The stream opened the version the load listed.
  if (Versioned()) stored.listed_stamp = SyncVersionStamp(streamVersion.index_key, streamPath);
  streamWritten = 0;
  streamBytes = 0;
  stream = NewFileObject(streamVersion.bucket);
  if (finished != 0) return 2;
  bucket = streamVersion.bucket;
  RemoveOtherVersions(streamPath, stored, streamVersion);
  return 0;
}

int32_t CS3FileSystem::CloseStream() {
  if (!streamOpen) return 1;
  streamOpen = 0;
  if (streamWritten) return FinishWrittenStream();
  return 0;  // a stream only read keeps its file object until the next open
}

int32_t CS3FileSystem::Release() {
  if (streamOpen && streamWritten) {
    streamOpen = 0;
    FinishWrittenStream();
  }
  delete this;
  return 0;
}

// ---- Transfer lanes -----------------------------------------------------------

CS3FileSystem* CS3FileSystem::NewTransferLane() const {
  auto* lane = new CS3FileSystem();
  lane->root = root;
  lane->dirMap = dirMap;
  lane->fileMap = fileMap;
  lane->bucket = bucket;
  lane->storedFolders = storedFolders;
  lane->storedPaths = storedPaths;
  lane->wholeTreeLoaded = wholeTreeLoaded;
  lane->listedTimes = listedTimes;
  lane->listedIndexTags = listedIndexTags;
  return lane;
}

std::vector<std::u16string> CS3FileSystem::StoredFormsAbove(const std::u16string& key,
                                                            std::u16string* path) const {
  std::u16string in_bucket;
  std::u16string remainder;
  SplitBucket(root + key, &in_bucket, &remainder);
  if (path != nullptr) *path = in_bucket + remainder;
  std::vector<std::u16string> folders;
  for (size_t end = remainder.find(u'\\', 1); end != std::u16string::npos;
       end = remainder.find(u'\\', end + 1)) {
    folders.push_back(in_bucket + remainder.substr(0, end));
  }
  return folders;
}

void CS3FileSystem::TakeTransfer(const CS3FileSystem& lane, const std::u16string& key) {
  std::u16string path;
  for (const std::u16string& folder : StoredFormsAbove(key, &path)) {
    if (lane.storedFolders.count(folder) != 0) storedFolders.insert(folder);
  }
  if (lane.storedPaths.count(path) != 0) storedPaths.insert(path);
  const auto time = lane.transferTimes.find(key);
  if (time != lane.transferTimes.end()) transferTimes[key] = time->second;
}

void CS3FileSystem::LendFolders(CS3FileSystem* lane, const std::u16string& key) const {
  for (const std::u16string& folder : StoredFormsAbove(key, nullptr)) {
    if (storedFolders.count(folder) != 0) lane->storedFolders.insert(folder);
  }
}
