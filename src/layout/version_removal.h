// Removing stored versions of one path without harming the others, and
// reading what index objects name.
//
// A version stored by this build names chunks of its own (a chunk token in
// every key, layout/object_keys.h).  Versions stored by earlier builds named
// the same keys for every version of a path ("$data$/docs/a.txt_" and N in
// five digits, whoever stored it: the synchronisation's versions with
// time-text stamps, the host's own with HTTP-date stamps, the one unstamped
// version of the snapshot-assisted build).  One chunk object may therefore
// be named by several index objects at once, and a removal deletes only the
// chunks that no remaining index object names.
//
// The index objects that may name a chunk of a path are read from a listing
// of the backup bucket under the path's file key followed by "_": the
// versions of the path in every stamp form, and those of longer paths that
// begin the same way (\docs\a.txt_old), which are read as well but never
// removed.  A removal deletes nothing at all when that listing fails or any
// index object it read is not readable whole (it could not be fetched, a
// record of it is malformed, or its bytes contradict its ETag): the chunks
// it names are unknown.
//
// The index objects go first, their chunks after them: a version is either
// listed with every chunk it names, or not listed at all.  A chunk whose
// deletion fails is left behind unnamed, for `keltos3 prune` (store_check.h)
// to find; it is never a listed version that cannot be read.
//
// Only chunk keys of the path itself are ever deleted: an index object is
// read from the network, and one that names another path's chunks must not
// make the library delete them.
//
// Every function builds its own requests and clients (s3/s3_client.h).
// Thread safety: none needed; nothing is shared between calls.

#ifndef KELTOS3_SRC_LAYOUT_VERSION_REMOVAL_H_
#define KELTOS3_SRC_LAYOUT_VERSION_REMOVAL_H_

#include <string>
#include <vector>

#include "layout/index_record.h"
#include "s3/listing_pager.h"
#include "s3/s3_list_result.h"

// The objects of a bucket under one prefix.
struct StoredObjects {
  bool complete = false;               // every page was listed
  std::vector<S3ListedObject> objects;  // in listing order
};

// Lists `bucket` under `prefix` (not yet percent-encoded; empty: the whole
// bucket), every page, at most `max_pages` of them (see ListingPager).
StoredObjects ListStoredObjects(const std::u16string& bucket,
                                const std::u16string& prefix,
                                int max_pages = ListingPager::kMaxBucketPages);

// The index objects listed under one path.
struct PathIndexObjects {
  bool complete = false;             // every page was listed
  std::vector<std::u16string> keys;  // keys ending with "_Info", as listed
};

// Lists `bucket` under the file key of `path` (local form, "\docs\a.txt")
// followed by "_", every page, keeping the keys that end with "_Info".
PathIndexObjects ListPathIndexObjects(const std::u16string& bucket,
                                      const std::u16string& path);

// How reading an index object turned out.
enum class IndexObjectRead {
  kWhole,       // every record read
  kMissing,     // the server has no such object (404)
  kNotFetched,  // the request failed otherwise
  kDamaged,     // fetched, but a record is malformed, the object is cut
                // short, or its bytes contradict its ETag
};

// Fetches the index object `key` of `bucket` and stores its records in
// *records, in order (nothing unless it was read whole).  *why (when given)
// says in a few words what went wrong.
IndexObjectRead ReadIndexObject(const std::u16string& bucket, const std::u16string& key,
                                std::vector<IndexRecord>* records,
                                std::string* why = nullptr);

// The chunk key of every record of the index object `key` (ReadIndexObject),
// in order, in *chunks.
bool ReadChunkKeys(const std::u16string& bucket, const std::u16string& key,
                   std::vector<std::u16string>* chunks);

// Deletes the object; true when it is gone (deleted, or not there: 404).
bool DeleteStoredObject(const std::u16string& bucket, const std::u16string& key);

// What one removal takes away.
struct VersionRemoval {
  std::u16string bucket;       // the index objects'
  std::u16string data_bucket;  // the chunks'
  std::u16string path;         // local form, "\docs\a.txt"
  // Index objects to remove; those the listing does not hold are gone
  // already and passed over.
  std::vector<std::u16string> index_keys;
  // Chunk keys of a version whose index object was replaced in place (its
  // key now names a newer version): deleted unless a remaining index object
  // names them.
  std::vector<std::u16string> released_chunks;
  // A listed index object whose chunk keys are known (the version just
  // stored): not fetched again, its chunks kept.
  std::u16string known_key;
  std::vector<std::u16string> known_chunks;
};

enum class RemovalResult {
  kRemoved,     // every index object asked for is gone (a chunk whose
                // deletion failed is left behind, named by none)
  kRefused,     // the listing failed or an index object could not be read
                // whole: nothing was deleted
  kIncomplete,  // an index object could not be deleted: it stays listed
                // with all its chunks, to be removed again
};

// Removes what `removal` names, given the listing of its path
// (ListPathIndexObjects): the index objects, then the chunks they named and
// the released chunks, where they are chunk keys of the path and no
// remaining listed index object names them.
RemovalResult RemoveVersions(const VersionRemoval& removal,
                             const PathIndexObjects& listing);

#endif  // KELTOS3_SRC_LAYOUT_VERSION_REMOVAL_H_
