// The synchronisation driver: the body of KS3File::Synchronize.  Builds one
// file system of each kind on the three roots, loads their trees, runs the
// engine over them and releases everything.  The tree maps and the tables
// of the run have the capacity of "SyncCapacity" (CS3Config).
//
// Before the engine runs, the driver refuses every run that could only be
// a mistake and would otherwise cost the user files: each refusal changes
// nothing and returns its own result.
//   - The catalog root is the local root, lies inside it or contains it
//     (compared as paths, "." and ".." resolved; links are not followed):
//     the catalog's records would be taken for the user's files.
//   - The local tree could not be read whole (CQUEXFSManager::
//     LastScanComplete): missing entries would look deleted.
//   - The remote tree could not be listed, or holds index objects in the
//     form of the other build of the library (CS3FileSystem::LoadTree).
//   - One live side has no entry at all while the catalog records some, and
//     the caller did not allow it: a wrong bucket, an emptied bucket or a
//     disk that is not mounted would otherwise delete every file on the
//     other side.
//   - The catalog was made with another remote root (endpoint, bucket or
//     path): its records describe another tree, and every difference would
//     be taken for a deletion.  A catalog without that record takes the
//     run's root.
//   - The run would delete more than the allowed share of the files the
//     catalog records on one live side (SyncRunOptions::max_delete_percent,
//     "SyncMaxDelete"): a side that is mostly wrong, not empty.

#ifndef KELTOS3_SRC_SYNC_SYNC_DRIVER_H_
#define KELTOS3_SRC_SYNC_SYNC_DRIVER_H_

#include <cstdint>
#include <string>

class SyncObserver;

// Results of RunSynchronization.  Every result but kSyncRunDone means that
// nothing was changed.
enum SyncRunResult : int32_t {
  kSyncRunDone = 0,          // the run was carried out (whatever single actions did)
  kSyncRunRemoteFailed = 1,  // the remote tree could not be loaded
  kSyncRunLocalFailed = 2,   // the local root is missing or a directory of it
                             // could not be listed
  kSyncRunRemoteEmpty = 4,   // the remote tree is empty, the catalog is not
  kSyncRunLocalEmpty = 5,    // the local tree is empty, the catalog is not
  kSyncRunOtherLayout = 6,   // the remote tree is in the other build's form
  kSyncRunCatalogOverlap = 7,  // the catalog root and the local root overlap
  kSyncRunTooManyDeletions = 8,  // the run would delete more than the allowed
                                 // share of the recorded files on one side
  kSyncRunOtherRemoteRoot = 9,   // the catalog belongs to another remote root
};

struct SyncRunOptions {
  bool dry_run = false;      // report the actions, change nothing
  // Run even when one live side is empty.  Such a run deletes everything
  // the catalog records on the other side, and the share of deletions is
  // then not limited either.
  bool allow_empty = false;
  // The largest share of the files the catalog records, in percent, that
  // the run may delete on either live side; -1 takes "SyncMaxDelete" from
  // the settings (50 by default).  Values above 100 read as 100 (no limit).
  int max_delete_percent = -1;
};

// What a run found that the caller may want to tell the user, filled by
// RunSynchronization when it is given (whatever the result; fields that do
// not apply stay as they are).
struct SyncRunFacts {
  // Deletions the run's changes would carry to each live side, counted
  // before any cap on the actions of one run, and the files the catalog
  // records that the run compared.  Filled once the trees are loaded.
  int64_t local_deletions = 0;
  int64_t remote_deletions = 0;
  int64_t recorded_files = 0;
  // The limit that applied, in percent.
  int32_t max_delete_percent = 0;
  // kSyncRunTooManyDeletions: the side that would lose too many files
  // (SIDE_LOCAL or SIDE_REMOTE, sync/sync_types.h; the one that would lose
  // more when both would).
  int32_t refused_side = 0;
  // kSyncRunOtherRemoteRoot: the remote root the catalog records and the
  // one of this run, both as "endpoint bucket\path" (for example
  // "s3.amazonaws.com:443 backups\docs").
  std::u16string catalog_remote_root;
  std::u16string run_remote_root;
};

// Runs one synchronisation of local_root (a local directory), catalog_root
// (the catalog directory) and s3_root (a bucket name, optionally followed by
// a path inside it; trailing backslashes are ignored).  `observer` (may be
// null) sees every action and every conflict; `facts` (may be null)
// receives what the run found (above).
int32_t RunSynchronization(const std::u16string& local_root,
                           const std::u16string& catalog_root,
                           const std::u16string& s3_root,
                           SyncObserver* observer,
                           const SyncRunOptions& options,
                           SyncRunFacts* facts = nullptr);

// True when the directory paths `a` and `b` (library form) are the same or
// one lies below the other.  Compared as text after dropping empty and "."
// components and resolving ".." components.
bool PathsOverlap(const std::u16string& a, const std::u16string& b);

#endif  // KELTOS3_SRC_SYNC_SYNC_DRIVER_H_
