// The exported constructors and copy operations of the abstract interfaces,
// and the last-error addition.  The interfaces hold only their virtual-table
// pointer, so there is nothing to copy.

#include "KeltoS3.h"
#include "platform/last_error.h"

KS3FilesManager::KS3FilesManager() = default;
KS3FilesManager::KS3FilesManager(const KS3FilesManager&) = default;
KS3FilesManager& KS3FilesManager::operator=(const KS3FilesManager&) = default;

KS3File::KS3File() = default;
KS3File::KS3File(const KS3File&) = default;
KS3File& KS3File::operator=(const KS3File&) = default;

extern "C" unsigned int KeltoS3GetLastError(void) {
  return platform::GetLastError();
}
