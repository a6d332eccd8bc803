// Additions to the exported surface for hosts that talk to people: why the
// last operation failed, which build is loaded, the buckets, a version's
// size and time, and taking back a version whose store was given up.
// Each call builds its settings, requests and clients on the spot, like the
// remote-store functions.

#include <string>
#include <vector>

#include "KeltoS3.h"
#include "layout/s3_file.h"
#include "common/layout_policy.h"
#include "common/wide_string.h"
#include "layout/info_index.h"
#include "layout/object_keys.h"
#include "layout/version_removal.h"
#include "platform/file_time.h"
#include "platform/last_error.h"
#include "s3/request_kinds.h"
#include "s3/s3_client.h"
#include "s3/s3_list_result.h"
#include "s3/xml_text.h"
#include "settings/s3_config.h"
#include "support/time_text.h"
#include "support/url_encode.h"

#if !defined(KELTOS3_VERSION)
#define KELTOS3_VERSION "0.0.0"
#endif
#define KELTOS3_WIDEN_TEXT(text) L##text
#define KELTOS3_WIDE(text) KELTOS3_WIDEN_TEXT(text)

namespace {

// Finds the text between `open` and `close` in text[from, end): true with
// it in *out, and the position after `close` in *next when given.
bool Between(const std::u16string& text, const std::u16string& open,
             const std::u16string& close, size_t from, size_t end,
             std::u16string* out, size_t* next = nullptr) {
  const size_t start = text.find(open, from);
  if (start == std::u16string::npos || start >= end) return false;
  const size_t stop = text.find(close, start + open.size());
  if (stop == std::u16string::npos || stop > end) return false;
  *out = text.substr(start + open.size(), stop - start - open.size());
  if (next != nullptr) *next = stop + close.size();
  return true;
}

// The LastModified of `key` in a bucket listing page, as Unix seconds.
bool ListedTime(const std::u16string& page, const std::u16string& key, int64_t* seconds) {
  size_t at = 0;
  std::u16string element;
  while (Between(page, u"<Contents>", u"</Contents>", at, page.size(), &element, &at)) {
    std::u16string listed;
    std::u16string modified;
    if (!Between(element, u"<Key>", u"</Key>", 0, element.size(), &listed) ||
        DecodeXmlText(listed) != key) {
      continue;
    }
    *seconds = 0;
    if (Between(element, u"<LastModified>", u"</LastModified>", 0, element.size(), &modified)) {
      platform::FileTime time = 0;
      ParseTimeText(modified, &time);
      *seconds = platform::UnixSecondsFromFileTime(time);
    }
    return true;
  }
  return false;
}

// "\docs\a.txt" from the file key "$file$/docs/a.txt".
std::u16string PathOfFileKey(const std::u16string& file_key) {
  std::u16string path = file_key.substr(std::min<size_t>(file_key.size(), 6));
  for (char16_t& c : path) {
    if (c == u'/') c = u'\\';
  }
  return path;
}

}  // namespace

extern "C" {

const wchar_t* KeltoS3GetLastErrorText(void) {
  static thread_local std::wstring text;
  try {
    text = U16ToWide(platform::GetLastErrorText());
  } catch (...) {
    text.clear();
  }
  return text.c_str();
}

const wchar_t* KeltoS3GetVersion(void) {
  if (CurrentLayout().InUseRetry() != nullptr) {
    return L"KeltoS3 " KELTOS3_WIDE(KELTOS3_VERSION) L", snapshot-assisted build";
  }
  return L"KeltoS3 " KELTOS3_WIDE(KELTOS3_VERSION) L", standard build";
}

int KeltoS3BucketExists(const wchar_t* bucket) {
  try {
    const SettingsScope settings;  // read once for the whole call
    if (bucket == nullptr || bucket[0] == L'\0') return 0;
    ServiceListRequest request(u"");
    S3ListResult result = S3Client().ListObjects(request);
    if (result.m_iRetry != 0) return -1;
    result.ParseList();
    if (result.m_iRetry != 0) return -1;
    for (const std::u16string& name : result.m_items) {
      if (name == WideToU16(bucket)) return 1;
    }
    return 0;
  } catch (...) {
    return -1;
  }
}

int KeltoS3CreateBucket(const wchar_t* bucket) {
  try {
    const SettingsScope settings;  // read once for the whole call
    if (bucket == nullptr || bucket[0] == L'\0') return 1;
    CreateBucketRequest create(WideToU16(bucket));
    return S3Client().PerformRequest(create).m_iRetry == 0 ? 0 : 1;
  } catch (...) {
    return 1;
  }
}

int KeltoS3GetStoredInfo(const wchar_t* stored_name, long long* size, long long* stored_time) {
  try {
    const SettingsScope settings;  // read once for the whole call
    if (stored_name == nullptr) return 1;
    CS3Config config;
    const std::u16string bucket = config.GetBucket();
    const std::u16string key = IndexKeyOf(FileKeyOf(WideToU16(stored_name)));
    ServiceListRequest listing(bucket);
    listing.m_query.Set(u"prefix", EncodeKeyForUrl(key));
    const S3ListResult page = S3Client().ListObjects(listing);
    if (page.m_iRetry != 0) return 2;
    int64_t seconds = 0;
    if (!ListedTime(page.m_strText, key, &seconds)) return 1;

    GetObjectRequest get(bucket, key);
    get.m_iAnswerLimit = CS3InfoIndex::MaxObjectBytes(key);
    const S3Response object = S3Client().GetObject(get);
    if (object.m_iRetry != 0) return 2;
    CS3InfoIndex index;
    index.LoadFromBytes(object.GetBody(), object.GetBodyLength());
    IndexRecord last;
    if (object.GetBodyLength() > 0 && !index.Record(index.Count() - 1, &last)) {
      platform::SetLastErrorText(u"the index object is damaged");
      return 2;
    }
    if (size != nullptr) *size = index.Count() == 0 ? 0 : static_cast<long long>(last.end + 1);
    if (stored_time != nullptr) *stored_time = seconds;
    return 0;
  } catch (...) {
    return 2;
  }
}

int KeltoS3AbandonWrite(KS3File* file) {
  try {
    const SettingsScope settings;  // read once for the whole call
    CS3File* object = dynamic_cast<CS3File*>(file);
    if (object == nullptr) return 1;
    // While a version is written its records are appended, one per chunk
    // tried, and not yet loaded; a loaded index is a version being read,
    // whose chunks are not this object's to take back.
    object->WaitForTransfers();  // chunks still going up are the version's too
    const CS3InfoIndex& written = object->GetIndex();
    if (written.IsLoaded() || written.Used() == 0) {
      object->Reset();
      return 0;
    }
    CS3InfoIndex records;
    records.LoadFromBytes(written.Data(), written.Used());
    VersionRemoval removal;
    removal.bucket = object->GetBucket();
    removal.data_bucket = object->GetDataBucket();
    removal.path = PathOfFileKey(object->GetFileKey());
    for (int32_t i = 0; i < records.Count(); ++i) {
      IndexRecord record;
      if (records.Record(i, &record)) removal.released_chunks.push_back(record.key);
    }
    object->Reset();
    const RemovalResult result =
        RemoveVersions(removal, ListPathIndexObjects(removal.bucket, removal.path));
    return result == RemovalResult::kRemoved ? 0 : 1;
  } catch (...) {
    return 1;
  }
}

}  // extern "C"
