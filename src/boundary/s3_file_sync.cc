// CS3File::Synchronize, the entry to the synchronisation engine.  The file
// object lives below the file systems (layout/s3_file.h); this one slot,
// which runs the engine above them, is defined here at the boundary.

#include "layout/s3_file.h"
#include "common/wide_string.h"
#include "sync/sync_driver.h"

int CS3File::Synchronize(const wchar_t* local_root, const wchar_t* catalog_root,
                         const wchar_t* s3_root) {
  if (local_root == nullptr || catalog_root == nullptr || s3_root == nullptr) return 1;
  try {
    const int32_t r = RunSynchronization(WideToU16(local_root), WideToU16(catalog_root),
                                         WideToU16(s3_root), nullptr, SyncRunOptions());
    return r == kSyncRunDone ? 0 : 1;
  } catch (...) {
    return 1;  // nothing may cross the library boundary
  }
}
