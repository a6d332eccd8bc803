// The parts of CS3InfoIndex that talk to the store: construction from the
// settings, Load and Store.

#include "common/layout_policy.h"
#include "common/wide_string.h"
#include "layout/chunk_check.h"
#include "layout/info_index.h"
#include "layout/object_keys.h"
#include "s3/request_kinds.h"
#include "s3/s3_client.h"
#include "settings/s3_config.h"
#include "support/http_date.h"
#include "support/url_encode.h"

namespace {

std::u16string SettingsBucket() { return CS3Config().GetBucket(); }
std::u16string SettingsDataBucket() { return CS3Config().GetDataBucket(); }

}  // namespace

CS3InfoIndex::CS3InfoIndex()
    : CS3InfoIndex(SettingsBucket(), SettingsDataBucket(),
                   CurrentLayout().VersionedKeys() ? BytesToU16(FormatHttpDate())
                                                   : std::u16string()) {}

bool CS3InfoIndex::Load(const std::u16string& index_key, bool* fetched) {
  m_strIndexKey = index_key;
  if (fetched != nullptr) *fetched = false;

  // Only the first page matters: it is enough to know that something is
  // stored under the key.
  ServiceListRequest listing(m_strBucket);
  listing.m_query.Set(u"prefix", EncodeKeyForUrl(index_key));
  S3ListResult page = S3Client().ListObjects(listing);
  page.ParseList();
  if (page.m_items.empty()) return false;
  LoadListed(index_key, fetched);
  return true;
}

void CS3InfoIndex::LoadListed(const std::u16string& index_key, bool* fetched) {
  m_strIndexKey = index_key;
  if (fetched != nullptr) *fetched = false;
  GetObjectRequest get(m_strBucket, index_key);
  get.m_iAnswerLimit = MaxObjectBytes(index_key);
  const S3Response object = S3Client().GetObject(get);
  // A failed fetch, or bytes that are not the ones the server stored,
  // leave a loaded index without records: the version was listed, but none
  // of it can be read.
  if (object.m_iRetry != 0 ||
      ETagContradicts(object.m_strETag, object.GetBody(),
                      static_cast<size_t>(object.GetBodyLength()))) {
    LoadFromBytes(nullptr, 0);
  } else {
    LoadFromBytes(object.GetBody(), object.GetBodyLength());
    if (fetched != nullptr) *fetched = IsWhole();
  }
}

bool CS3InfoIndex::Store() {
  if (CurrentLayout().VersionedKeys()) {
    m_strIndexKey = VersionedIndexKey(m_strIndexKey, m_strStamp);
  }
  PutObjectRequest put(m_strBucket, m_strIndexKey);
  put.SetBody(m_pBuffer.get(), m_iUsed);
  const S3Response answer = S3Client().PutObject(put);
  return answer.m_iRetry == 0;
}
