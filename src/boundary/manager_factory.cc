// The manager factory pair.  No exception leaves these functions.

#include <new>

#include "KeltoS3.h"
#include "boundary/s3_files_manager.h"

extern "C" {

int CreateS3FileManagerObject(KS3FilesManager** out) {
  if (out == nullptr) return 1;
  DestroyS3FileManagerObject(out);  // an object already held goes first
  try {
    S3FilesManager* manager = new (std::nothrow) S3FilesManager();
    if (manager == nullptr) return 1;
    *out = manager;
    return 0;
  } catch (...) {
    *out = nullptr;
    return 1;
  }
}

int DestroyS3FileManagerObject(KS3FilesManager** out) {
  if (out == nullptr || *out == nullptr) return 0;
  try {
    // Only managers made by CreateS3FileManagerObject are handed back here.
    delete static_cast<S3FilesManager*>(*out);
    *out = nullptr;
    return 0;
  } catch (...) {
    *out = nullptr;
    return 1;
  }
}

}  // extern "C"
