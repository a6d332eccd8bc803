// Checking what is stored: reading stored versions in full (`keltos3
// verify`) and finding chunk objects that no index object names (`keltos3
// prune`).
//
// Both work on a pair of buckets: the index objects' and the chunks'.  The
// host's own file objects keep them apart ("QuexBucket", "QuexDataBucket");
// a synchronised tree keeps both in the bucket of its root.
//
// Verify reads each version as a reader would, but to its end and without
// stopping at the first failed attempt of a chunk: the index object whole
// (every record, and its bytes against its ETag), then every chunk, checked
// by its length and its CRC-32C or, for a chunk recorded without one, its
// ETag (layout/chunk_check.h).  A chunk is fetched up to 5 times before it
// counts as damaged, as a read does.
//
// Prune lists every chunk-shaped object of the data bucket (both key forms,
// layout/object_keys.h) and every index object of both buckets, reads each
// index object whole, and takes the chunks none of them names.  When any
// index object cannot be read whole, the chunks it names are unknown and
// nothing is taken.  A store writes its chunks first and its index object
// last, so the chunks of a store still running are unnamed for a while:
// the chunks of one version (one path, in the earlier form) whose newest
// was stored less than `min_age_seconds` ago are left alone.
//
// Prune can only see index objects in the two buckets it is given: chunks
// that an index object in a third bucket names (a host configured with
// another backup bucket over the same data bucket) are taken for orphans.
//
// Every function builds its own requests and clients; nothing is shared.

#ifndef KELTOS3_SRC_LAYOUT_STORE_CHECK_H_
#define KELTOS3_SRC_LAYOUT_STORE_CHECK_H_

#include <cstdint>
#include <string>
#include <vector>

struct StoreBuckets {
  std::u16string bucket;       // index objects
  std::u16string data_bucket;  // chunks
};

// The keys of every index object of `bucket` ("$file$" ... "_Info"), in
// listing order.  False when a page could not be listed.
bool ListIndexObjects(const std::u16string& bucket, std::vector<std::u16string>* keys);

// The stored name an index key stands for: without "$file$" and "_Info",
// "\" for every "/" ($file$/docs/a.txt_S_Info gives \docs\a.txt_S).
std::u16string StoredNameOfIndexKey(const std::u16string& index_key);

enum class VersionHealth {
  kIntact,      // every chunk read back as the index object records it
  kDamaged,     // the index object or a chunk is damaged or missing
  kUnreadable,  // a request failed: the server or the network, not the data
  kMissing,     // no index object under that name
};

struct VersionCheck {
  VersionHealth health = VersionHealth::kIntact;
  int32_t chunks = 0;         // chunks the index object lists
  uint64_t bytes = 0;         // the version's size
  std::string detail;         // what is wrong, in words; empty when intact
};

// Reads the version whose index object is `index_key` in full.
VersionCheck CheckVersion(const StoreBuckets& buckets, const std::u16string& index_key);

// A chunk object prune found unnamed.
struct OrphanChunk {
  std::u16string key;
  uint64_t size = 0;
};

struct PrunePlan {
  bool listed = false;                   // every listing was complete
  std::vector<std::u16string> unreadable;  // index objects not readable whole
  std::vector<OrphanChunk> orphans;      // unnamed and old enough to remove
  std::vector<OrphanChunk> recent;       // unnamed, but a store may be writing them
  int64_t named_chunks = 0;              // chunk objects an index object names
};

// What prune would remove now (`now_unix_seconds`); nothing is deleted.
PrunePlan PlanPrune(const StoreBuckets& buckets, int64_t now_unix_seconds,
                    int64_t min_age_seconds);

#endif  // KELTOS3_SRC_LAYOUT_STORE_CHECK_H_
