// The file-object factory pair.  No exception leaves these functions.

#include <new>

#include "KeltoS3.h"
#include "layout/s3_file.h"
#include "settings/s3_config.h"

extern "C" {

int CreateS3FileObject(KS3File** out) {
  if (out == nullptr) return 1;
  DestroyS3FileObject(out);  // an object already held goes first
  try {
    const SettingsScope settings;  // read once for the whole call
    CS3File* file = new (std::nothrow) CS3File();
    if (file == nullptr) return 1;
    *out = file;
    return 0;
  } catch (...) {
    *out = nullptr;
    return 1;
  }
}

int DestroyS3FileObject(KS3File** out) {
  if (out == nullptr || *out == nullptr) return 0;
  try {
    // Only file objects made by CreateS3FileObject are handed back here.
    delete static_cast<CS3File*>(*out);
    *out = nullptr;
    return 0;
  } catch (...) {
    *out = nullptr;
    return 1;
  }
}

}  // extern "C"
