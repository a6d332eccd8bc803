// The synchronisation driver: the body of KS3File::Synchronize.  Builds one
// file system of each kind on the three roots, loads their trees, runs the
// engine over them and releases everything.
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
};

struct SyncRunOptions {
  bool dry_run = false;      // report the actions, change nothing
  bool allow_empty = false;  // run even when one live side is empty
};

// Runs one synchronisation of local_root (a local directory), catalog_root
// (the catalog directory) and s3_root (a bucket name, optionally followed by
// a path inside it; trailing backslashes are ignored).  `observer` (may be
// null) sees every action.
int32_t RunSynchronization(const std::u16string& local_root,
                           const std::u16string& catalog_root,
                           const std::u16string& s3_root,
                           SyncObserver* observer,
                           const SyncRunOptions& options);

// True when the directory paths `a` and `b` (library form) are the same or
// one lies below the other.  Compared as text after dropping empty and "."
// components and resolving ".." components.
bool PathsOverlap(const std::u16string& a, const std::u16string& b);

#endif  // KELTOS3_SRC_SYNC_SYNC_DRIVER_H_
