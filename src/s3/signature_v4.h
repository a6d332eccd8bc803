// AWS Signature Version 4 for the service "s3": the pieces that turn a
// request, as it goes out, into its "Authorization" header.
//
// Everything here works on the 8-bit text that is sent (the UTF-8 form of
// the request's texts).  The request path is signed exactly as it is sent,
// so it must already be in the form a version-4 server expects: every byte
// outside the unreserved set (ASCII letters, digits, "-", ".", "_", "~")
// percent-encoded with upper-case hex digits, "/" kept between path
// segments, and every query parameter written as name=value in that
// encoding (EncodeForSignatureV4 gives that form).  Servers differ in
// whether they sign the raw path or re-encode it; a path already in this
// form reads the same to both.
//
// Thread safety: pure functions.

#ifndef KELTOS3_SRC_S3_SIGNATURE_V4_H_
#define KELTOS3_SRC_S3_SIGNATURE_V4_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sigv4 {

// The name of the algorithm, first word of the "Authorization" value.
extern const char kAlgorithm[];  // "AWS4-HMAC-SHA256"

// `text` with every percent escape ("%" and two hex digits) decoded and the
// bytes then encoded as version 4 asks: unreserved bytes stay, "/" stays
// when `keep_slash`, every other byte becomes "%XX".  A "%" that starts no
// escape is a byte like any other (encoded "%25").  Total.
std::string EncodeForSignatureV4(std::string_view text, bool keep_slash);

// True for a date text of the form "YYYYMMDDTHHMMSSZ" (FormatAmzDate),
// digits where the form has digits.
bool IsAmzDate(std::string_view text);

// Lower-case hex of the SHA-256 of `length` bytes at `data` (null only with
// length 0).
std::string Sha256Hex(const std::uint8_t* data, std::size_t length);

// The request as it goes out.  Header lines are applied in order the way
// the transport applies them: a name replaces an earlier one of the same
// name in any case, and a value of blanks only removes the header.
struct Request {
  std::string method;
  std::string path;  // "/" + path + ["?" + query], as sent
  std::vector<std::pair<std::string, std::string>> headers;
  std::string payload_hash;  // value of x-amz-content-sha256
};

// The canonical request: method, path, query (parameters sorted, each as
// name=value), one "name:value" line per header sent (lower-case names in
// order, values trimmed and inner runs of blanks made one blank) except
// Content-Length, which the transport writes itself, then the signed header
// names joined by ";" (also stored in `*signed_headers`), then the payload
// hash.  Lines are joined by "\n".
std::string CanonicalRequest(const Request& request, std::string* signed_headers);

// "AWS4-HMAC-SHA256\n" + amz_date + "\n" + scope + "\n" + SHA-256 hex of the
// canonical request.  The scope is date/region/s3/aws4_request.
std::string StringToSign(const std::string& amz_date, const std::string& scope,
                         const std::string& canonical_request);

// date (YYYYMMDD) + "/" + region + "/s3/aws4_request".
std::string CredentialScope(const std::string& date, const std::string& region);

// Lower-case hex of the HMAC-SHA256 of `string_to_sign` under the key chain
// "AWS4" + secret → date → region → "s3" → "aws4_request".
std::string Signature(const std::string& secret, const std::string& date,
                      const std::string& region, const std::string& string_to_sign);

// The whole "Authorization" value for `request`, signed at `amz_date` (whose
// first eight characters are the date of the scope):
// "AWS4-HMAC-SHA256 Credential=<id>/<scope>, SignedHeaders=<names>,
// Signature=<hex>".
std::string Authorization(const Request& request, const std::string& access_key_id,
                          const std::string& secret, const std::string& region,
                          const std::string& amz_date);

}  // namespace sigv4

#endif  // KELTOS3_SRC_S3_SIGNATURE_V4_H_
