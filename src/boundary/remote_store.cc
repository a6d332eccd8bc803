// The remote-store functions: GetUsedSpace, DeleteS3File and GetDirList.
// Each call builds its settings, requests and clients on the spot and keeps
// nothing between calls, except the text GetDirList hands back, which each
// thread keeps until its next GetDirList call.

#include <cstdint>
#include <limits>
#include <string>

#include "KeltoS3.h"
#include "common/wide_string.h"
#include "layout/object_keys.h"
#include "layout/version_removal.h"
#include "s3/listing_pager.h"
#include "s3/s3_list_result.h"
#include "settings/s3_config.h"

extern "C" {

unsigned long long GetUsedSpace(void) {
  try {
    const SettingsScope settings;  // read once for the whole call
    CS3Config config;
    const std::u16string bucket = config.GetDataBucket();
    uint64_t total = 0;
    ListingPager pager(bucket, u"", ListingPager::kMaxBucketPages);
    S3ListResult page;
    while (pager.Next(&page)) {  // a failed page adds nothing
      page.ParseList();
      const uint64_t size = page.SumSizes();
      if (page.m_iRetry != 0) break;
      total = size > std::numeric_limits<uint64_t>::max() - total
                  ? std::numeric_limits<uint64_t>::max()
                  : total + size;
    }
    return total;
  } catch (...) {
    return 0;
  }
}

int DeleteS3File(const wchar_t* name) {
  try {
    const SettingsScope settings;  // read once for the whole call
    if (name == nullptr) return 0;
    // Versions of earlier builds share chunk keys with the other versions
    // of their path: the removal reads them all first and deletes only what
    // no other one names.  When the version, or any other of the path,
    // cannot be read whole, nothing is deleted.  The index object goes
    // before its chunks, so that the version is never listed without them.
    const std::u16string stored_name = WideToU16(name);
    CS3Config config;
    VersionRemoval removal;
    removal.bucket = config.GetBucket();
    removal.data_bucket = config.GetDataBucket();
    removal.path = PathOfStoredName(stored_name);
    removal.index_keys.push_back(IndexKeyOf(FileKeyOf(stored_name)));
    RemoveVersions(removal, ListPathIndexObjects(removal.bucket, removal.path));
  } catch (...) {
  }
  return 0;
}

const wchar_t* GetDirList(void) {
  static thread_local std::wstring text;
  try {
    const SettingsScope settings;  // read once for the whole call
    text.clear();
    CS3Config config;
    const std::u16string bucket = config.GetBucket();
    std::u16string list;
    ListingPager pager(bucket, u"", ListingPager::kMaxBucketPages, /*create_bucket=*/true);
    S3ListResult page;
    while (pager.Next(&page)) {
      page.ParseFolderList();
      if (page.m_iRetry != 0) break;
      for (const std::u16string& item : page.m_items) {
        list += item;
        list += u';';
      }
    }
    text = U16ToWide(list);
  } catch (...) {
    text.clear();
  }
  return text.c_str();
}

}  // extern "C"
