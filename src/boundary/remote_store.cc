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
#include "s3/request_kinds.h"
#include "s3/s3_client.h"
#include "s3/s3_list_result.h"
#include "settings/s3_config.h"
#include "support/url_encode.h"

namespace {

// One page of a bucket listing; `marker` empty for the first page.
S3ListResult ListPage(const std::u16string& bucket, const std::u16string& marker,
                      bool create_bucket) {
  ServiceListRequest request(bucket);
  if (!marker.empty()) request.m_query.Set(u"marker", EncodeKeyForUrl(marker));
  S3Client client;
  return create_bucket ? client.ListWithBucket(request) : client.ListObjects(request);
}

// Whether paging goes on after `page`: it was truncated and names a marker
// beyond the one it was asked for (a server that hands the same marker back
// would otherwise keep the loop going for ever).
bool MorePages(const S3ListResult& page, const std::u16string& asked) {
  return page.m_iTruncated != 0 && !page.m_strNextMarker.empty() &&
         page.m_strNextMarker != asked;
}

}  // namespace

extern "C" {

unsigned long long GetUsedSpace(void) {
  try {
    const SettingsScope settings;  // read once for the whole call
    CS3Config config;
    const std::u16string bucket = config.GetDataBucket();
    uint64_t total = 0;
    std::u16string marker;
    while (true) {
      S3ListResult page = ListPage(bucket, marker, false);
      if (page.m_iRetry != 0) break;  // a failed page adds nothing
      page.ParseList();
      const uint64_t size = page.SumSizes();
      if (page.m_iRetry != 0) break;
      total = size > std::numeric_limits<uint64_t>::max() - total
                  ? std::numeric_limits<uint64_t>::max()
                  : total + size;
      if (!MorePages(page, marker)) break;
      marker = page.m_strNextMarker;
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
    // Other versions of the path name the same chunk keys: the removal
    // reads them all first and deletes only what no other one names.  When
    // the version, or any other of the path, cannot be read whole, nothing
    // is deleted, so that its chunks can still be found by a later call.
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
    std::u16string marker;
    while (true) {
      S3ListResult page = ListPage(bucket, marker, true);
      if (page.m_iRetry != 0) break;
      page.ParseFolderList();
      if (page.m_iRetry != 0) break;
      for (const std::u16string& item : page.m_items) {
        list += item;
        list += u';';
      }
      if (!MorePages(page, marker)) break;
      marker = page.m_strNextMarker;
    }
    text = U16ToWide(list);
  } catch (...) {
    text.clear();
  }
  return text.c_str();
}

}  // extern "C"
