// Request assembly and signature version 2: the S3Client members that turn
// an S3Request into a signed CNHttpRequest (version 4 in s3_signing_v4.cc).

#include <cryptopp/hmac.h>
#include <cryptopp/sha.h>

#include <string>
#include <string_view>

#include "KeltoS3.h"
#include "common/wide_string.h"
#include "s3/s3_client.h"
#include "settings/s3_config.h"
#include "support/http_date.h"

namespace {

constexpr char16_t kAmzPrefix[] = u"x-amz-";
constexpr char16_t kAmzDate[] = u"x-amz-date";
constexpr char16_t kContentType[] = u"content-type";

// The sub-resources that take part in the string to sign, in the order
// they are appended.
constexpr const char16_t* kSignedSubResources[] = {u"acl", u"torrent",
                                                   u"logging", u"location"};

bool IsAmzHeader(const std::u16string& name) {
  return name.compare(0, std::char_traits<char16_t>::length(kAmzPrefix),
                      kAmzPrefix) == 0;
}

bool IsWhiteSpace(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' ||
         c == u'\f';
}

std::u16string Trim(const std::u16string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsWhiteSpace(text[begin])) ++begin;
  while (end > begin && IsWhiteSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// The value of the header `name`, or the empty text.
std::u16string HeaderValue(const CSortedMap<std::u16string>& headers,
                           const std::u16string& name) {
  return headers.Lookup(name);
}

}  // namespace

CNHttpRequest S3Client::MakeHttpRequest(S3Request& request) {
  CNHttpRequest http;
  CS3Config config;
  const bool version4 = config.GetSignatureVersion() == 4;
  const bool path_style = config.IsPathStyle() != 0;

  const std::u16string endpoint = config.GetHost();
  const std::u16string& bucket = request.m_strBucket;
  http.SetHost(bucket.empty() || path_style ? endpoint : bucket + u"." + endpoint);
  http.SetPort(config.GetPort());
  // Path-style, "/bucket/" addresses the bucket itself: the same resource
  // that version 2 signs for a virtual-hosted request.
  std::u16string path = u"/";
  if (path_style && !bucket.empty()) path += bucket + u"/";
  path += request.m_strKey;
  http.SetPath(version4 ? EncodePathV4(path) + BuildQueryStringV4(request.m_query)
                        : path + BuildQueryString(request.m_query));
  http.SetVerb(request.m_strVerb);

  // Set on both, even when empty, so that it is signed as it is sent.
  http.SetHeader(kContentType, request.m_strContentType);
  request.SetHeader(kContentType, request.m_strContentType);

  http.LendBody(request.GetBody(), request.GetBodyLength());
  http.SetBytesOnly(request.m_bBytesOnly);
  http.SetAnswerLimit(request.m_iAnswerLimit);
  if (version4) PrepareRequestV4(http, request);
  for (int i = 0; i < request.m_headers.Count(); ++i) {
    http.SetHeader(request.m_headers.KeyAt(i), request.m_headers.ValueAt(i));
  }

  if (version4) {
    SignRequestV4(http);
  } else {
    SignRequest(http, request);
  }
  return http;
}

void S3Client::SignRequest(CNHttpRequest& http, S3Request& request) {
  if (request.m_headers.Find(kAmzDate) < 0) {
    const std::u16string date = BytesToU16(FormatHttpDate());
    http.SetHeader(kAmzDate, date);
    request.SetHeader(kAmzDate, date);
  }
  const std::u16string signature =
      ComputeSignature(m_strSecretKey, BuildStringToSign(http, request));
  http.SetHeader(u"Authorization",
                 u"AWS " + m_strAccessKeyId + u":" + signature);
}

std::u16string S3Client::BuildStringToSign(const CNHttpRequest& http,
                                           const S3Request& request) const {
  std::u16string text = http.GetVerb() + u"\n";

  // The canonical header set, large enough for every header of the request
  // besides the three standard entries.
  const CSortedMap<std::u16string>& headers = request.m_headers;
  CSortedMap<std::u16string> canonical(headers.Capacity() + 3);
  for (const char16_t* name : {u"content-type", u"content-md5", u"date"}) {
    canonical.Set(name, HeaderValue(headers, name));
  }
  for (int i = 0; i < headers.Count(); ++i) {
    const std::u16string name = headers.KeyAt(i);
    if (IsAmzHeader(name)) canonical.Set(name, headers.ValueAt(i));
  }
  if (!HeaderValue(headers, kAmzDate).empty()) canonical.Set(u"date", u"");

  for (int i = 0; i < canonical.Count(); ++i) {
    const std::u16string name = canonical.KeyAt(i);
    const std::u16string value = canonical.ValueAt(i);
    if (!IsAmzHeader(name)) {
      text += value;
    } else if (!value.empty()) {
      text += name + u":" + Trim(value);
    }
    text += u"\n";
  }

  text += u"/";
  if (!request.m_strBucket.empty()) text += request.m_strBucket + u"/";
  text += request.m_strKey;
  if (request.m_query.Count() > 0) {
    for (const char16_t* sub_resource : kSignedSubResources) {
      if (request.m_query.Find(sub_resource) >= 0) {
        text += u"?";
        text += sub_resource;
      }
    }
  }
  return text;
}

std::u16string S3Client::ComputeSignature(const std::u16string& secret,
                                          const std::u16string& text) {
  // Hashed as UTF-8: for ASCII text one byte per character, and for any
  // other text the bytes the transport actually sends.
  const std::string key = U16ToUtf8(secret);
  const std::string message = U16ToUtf8(text);

  CryptoPP::HMAC<CryptoPP::SHA1> hmac(
      reinterpret_cast<const CryptoPP::byte*>(key.data()), key.size());
  hmac.Update(reinterpret_cast<const CryptoPP::byte*>(message.data()),
              message.size());
  unsigned char digest[CryptoPP::SHA1::DIGESTSIZE];
  hmac.Final(digest);

  char encoded[100] = {};
  CBase64 base64;
  const int length = base64.EncodeBase64(digest, encoded, sizeof(digest),
                                         static_cast<int>(sizeof(encoded)));
  if (length <= 0) return std::u16string();
  return BytesToU16(std::string_view(encoded, static_cast<size_t>(length)));
}

std::u16string S3Client::BuildQueryString(
    const CSortedMap<std::u16string>& query) {
  std::u16string text;
  for (int i = 0; i < query.Count(); ++i) {
    text += i == 0 ? u"?" : u"&";
    const std::u16string value = query.ValueAt(i);
    if (!value.empty()) text += query.KeyAt(i) + u"=" + value;
  }
  return text;
}
