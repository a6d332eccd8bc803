// Removing stored versions of one path without harming the others.
//
// Chunk keys carry no stamp: chunk N of \docs\a.txt is "$data$/docs/a.txt_"
// and N in five digits in every version of the path, whoever stored it (the
// synchronisation's versions with time-text stamps, the host's own with
// HTTP-date stamps, the one unstamped version of the snapshot-assisted
// build).  One chunk object may therefore be named by several index objects
// at once, and a removal deletes only the chunks that no remaining index
// object names, then the index objects themselves.
//
// The index objects that may name a chunk of a path are read from a listing
// of the backup bucket under the path's file key followed by "_": the
// versions of the path in every stamp form, and those of longer paths that
// begin the same way (\docs\a.txt_old), which are read as well but never
// removed.  A removal deletes nothing at all when that listing fails or any
// index object it read is not readable whole (it could not be fetched, or a
// record of it is malformed): the chunks it names are unknown, and the
// index objects to remove stay, so that a later removal can find their
// chunks again.
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

// The index objects listed under one path.
struct PathIndexObjects {
  bool complete = false;             // every page was listed
  std::vector<std::u16string> keys;  // keys ending with "_Info", as listed
};

// Lists `bucket` under the file key of `path` (local form, "\docs\a.txt")
// followed by "_", every page, keeping the keys that end with "_Info".
PathIndexObjects ListPathIndexObjects(const std::u16string& bucket,
                                      const std::u16string& path);

// Fetches the index object `key` of `bucket` and stores the chunk key of
// every record in *chunks, in order.  False when it could not be fetched or
// is not well formed to its end.
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
  kRemoved,     // every index object asked for and its own chunks are gone
  kRefused,     // the listing failed or an index object could not be read
                // whole: nothing was deleted
  kIncomplete,  // a deletion failed; after a failed chunk deletion every
                // index object asked for stays, to be found again
};

// Removes what `removal` names, given the listing of its path
// (ListPathIndexObjects): the chunks named by the index objects removed
// and the released chunks, where they are chunk keys of the path and no
// other listed index object names them; then the index objects.
RemovalResult RemoveVersions(const VersionRemoval& removal,
                             const PathIndexObjects& listing);

#endif  // KELTOS3_SRC_LAYOUT_VERSION_REMOVAL_H_
