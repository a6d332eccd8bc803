#include "s3/request_kinds.h"

#include "common/wide_string.h"
#include "settings/s3_config.h"

namespace {

constexpr char16_t kAclHeader[] = u"x-amz-acl";
constexpr char16_t kPrivateAcl[] = u"private";
constexpr char16_t kMarkerContentType[] = u"text/plain";

}  // namespace

ServiceListRequest::ServiceListRequest(const std::u16string& bucket) {
  m_strVerb = u"GET";
  m_strBucket = bucket;
  m_iAnswerLimit = kListingPageBytes;
}

GetObjectRequest::GetObjectRequest(const std::u16string& bucket,
                                   const std::u16string& key) {
  m_strVerb = u"GET";
  m_strBucket = bucket;
  m_strKey = key;
}

PutObjectRequest::PutObjectRequest(const std::u16string& bucket,
                                   const std::u16string& key) {
  m_strVerb = u"PUT";
  m_strBucket = bucket;
  m_strKey = key;
  SetHeader(kAclHeader, kPrivateAcl);
  m_strContentType = kMarkerContentType;
}

DeleteObjectRequest::DeleteObjectRequest(const std::u16string& bucket,
                                         const std::u16string& key) {
  m_strVerb = u"DELETE";
  m_strBucket = bucket;
  m_strKey = key;
}

CreateBucketRequest::CreateBucketRequest(const std::u16string& bucket) {
  m_strVerb = u"PUT";
  m_strBucket = bucket;
}

FolderListRequest::FolderListRequest(const std::u16string& bucket) {
  m_strVerb = u"GET";
  m_strBucket = bucket;
  m_query.Set(u"prefix", kFolderMarkerPrefix);
  m_iAnswerLimit = kListingPageBytes;
}

FolderMarkerRequest::FolderMarkerRequest(const std::u16string& path) {
  CS3Config config;
  m_strVerb = u"PUT";
  m_strBucket = config.GetBucket();
  m_strKey = FolderMarkerKey(path);
  SetHeader(kAclHeader, kPrivateAcl);
  m_strContentType = kMarkerContentType;
}

std::u16string FolderMarkerKey(const std::u16string& path) {
  std::u16string d = path;
  if (!d.empty() && d.front() == u'\\') d.erase(0, 1);
  d = ReplaceAll(std::move(d), u"\\", u"/");
  if (!d.empty() && d.back() == u'/') d.pop_back();
  return kFolderMarkerPrefix + d;
}

std::u16string FolderKeyToPath(const std::u16string& key) {
  return ReplaceAll(ReplaceAll(key, kFolderMarkerPrefix, u"\\"), u"/", u"\\");
}
