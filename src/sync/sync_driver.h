// The synchronisation driver: the body of KS3File::Synchronize.  Builds one
// file system of each kind on the three roots, loads their trees, runs the
// engine over them and releases everything.

#ifndef KELTOS3_SRC_SYNC_SYNC_DRIVER_H_
#define KELTOS3_SRC_SYNC_SYNC_DRIVER_H_

#include <cstdint>
#include <string>

class SyncObserver;

// Results of RunSynchronization.
enum SyncRunResult : int32_t {
  kSyncRunDone = 0,          // the run was carried out (whatever single actions did)
  kSyncRunRemoteFailed = 1,  // the remote tree could not be loaded; nothing changed
  kSyncRunLocalFailed = 2,   // the local root is missing or a directory of it
                             // could not be listed; nothing changed
};

// Runs one synchronisation of local_root (a local directory), catalog_root
// (the catalog directory) and s3_root (a bucket name, optionally followed by
// a path inside it).  `observer` (may be null) sees every action; with
// `dry_run` nothing is changed and the actions are only reported.
int32_t RunSynchronization(const std::u16string& local_root,
                           const std::u16string& catalog_root,
                           const std::u16string& s3_root,
                           SyncObserver* observer, bool dry_run);

#endif  // KELTOS3_SRC_SYNC_SYNC_DRIVER_H_
