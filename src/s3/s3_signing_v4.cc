// Signature version 4: the S3Client members that prepare and sign a
// CNHttpRequest with AWS Signature Version 4 (s3/signature_v4.h).

#include <string>

#include "common/wide_string.h"
#include "s3/s3_client.h"
#include "s3/signature_v4.h"
#include "settings/s3_config.h"
#include "support/http_date.h"

namespace {

constexpr char16_t kAmzDate[] = u"x-amz-date";
constexpr char16_t kContentSha256[] = u"x-amz-content-sha256";
constexpr char16_t kAuthorization[] = u"Authorization";

// Port of an https URL that its Host header leaves out.
constexpr int32_t kDefaultHttpsPort = 443;

std::u16string EncodeV4(const std::u16string& text, bool keep_slash) {
  return Utf8ToU16(sigv4::EncodeForSignatureV4(U16ToUtf8(text), keep_slash));
}

}  // namespace

std::u16string S3Client::EncodePathV4(const std::u16string& path) {
  return EncodeV4(path, true);
}

std::u16string S3Client::BuildQueryStringV4(const CSortedMap<std::u16string>& query) {
  std::u16string text;
  for (int i = 0; i < query.Count(); ++i) {
    text += i == 0 ? u"?" : u"&";
    text += EncodeV4(query.KeyAt(i), false) + u"=" + EncodeV4(query.ValueAt(i), false);
  }
  return text;
}

void S3Client::PrepareRequestV4(const CNHttpRequest& http, S3Request& request) {
  // The Host header is written out rather than left to the transport, so
  // that the value signed is the value sent.
  std::u16string host = http.GetHost();
  if (http.GetPort() != kDefaultHttpsPort) {
    host += u":" + Utf8ToU16(std::to_string(http.GetPort()));
  }
  request.SetHeader(u"host", host);

  // A date in the version-4 form is kept; any other (the RFC 1123 text of a
  // caller used to version 2) gives way to the current time.
  if (!sigv4::IsAmzDate(U16ToUtf8(request.m_headers.Lookup(kAmzDate)))) {
    request.SetHeader(kAmzDate, Utf8ToU16(FormatAmzDate()));
  }

  // The body is in memory: its hash is the payload hash.
  const size_t length = request.GetBody() != nullptr && request.GetBodyLength() > 0
                            ? static_cast<size_t>(request.GetBodyLength())
                            : 0;
  request.SetHeader(kContentSha256,
                    Utf8ToU16(sigv4::Sha256Hex(request.GetBody(), length)));
}

bool S3Client::IsSignedV4(const CNHttpRequest& http) {
  return http.GetHeaders().Lookup(kAuthorization).rfind(u"AWS4-", 0) == 0;
}

void S3Client::SignAgainV4(CNHttpRequest& http) {
  // The body and so its hash are the same; only the date moves on.
  http.ReplaceHeader(kAmzDate, Utf8ToU16(FormatAmzDate()));
  SignRequestV4(http);
}

void S3Client::SignRequestV4(CNHttpRequest& http) {
  sigv4::Request signed_request;
  signed_request.method = U16ToUtf8(http.GetVerb());
  signed_request.path = U16ToUtf8(http.GetPath());
  const CSortedMap<std::u16string>& headers = http.GetHeaders();
  for (int i = 0; i < headers.Count(); ++i) {
    // The signature of an earlier attempt is replaced, not signed.
    if (headers.KeyAt(i) == kAuthorization) continue;
    signed_request.headers.emplace_back(U16ToUtf8(headers.KeyAt(i)), U16ToUtf8(headers.ValueAt(i)));
  }
  signed_request.payload_hash = U16ToUtf8(headers.Lookup(kContentSha256));

  CS3Config config;
  http.ReplaceHeader(kAuthorization,
                     Utf8ToU16(sigv4::Authorization(signed_request, U16ToUtf8(m_strAccessKeyId),
                                                    U16ToUtf8(m_strSecretKey),
                                                    U16ToUtf8(config.GetRegion()),
                                                    U16ToUtf8(headers.Lookup(kAmzDate)))));
}
