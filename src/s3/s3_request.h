// S3Request: the description of one S3 request as an operation fills it in
// (verb, bucket, key, headers, content type, query parameters, body), before
// S3Client turns it into a signed CNHttpRequest.
//
// The verb is "PUT" and everything else empty when a record is constructed.
// The key is the plain object key until S3Client::PerformRequest replaces it
// by its percent-encoded form; the record keeps the encoded key afterwards.
// Header names are written in lower case ("x-amz-acl", "content-type"):
// only lower-case "x-amz-" names are signed.
//
// Thread safety: none; a record belongs to the operation that built it.

#ifndef KELTOS3_SRC_S3_S3_REQUEST_H_
#define KELTOS3_SRC_S3_S3_REQUEST_H_

#include <string>

#include "common/sorted_map.h"
#include "s3/s3_message.h"

class S3Request : public S3Message {
 public:
  S3Request();
  S3Request(const S3Request&) = delete;
  S3Request& operator=(const S3Request&) = delete;
  ~S3Request();

  // Inserts the header, or replaces the value of an existing header of
  // exactly that name.  A new name is dropped when the map is full.
  void SetHeader(const std::u16string& name, const std::u16string& value);

  std::u16string m_strContentType;
  // Query parameters and sub-resources.  Values go into the request path
  // verbatim: callers percent-encode them (EncodeKeyForUrl).
  CSortedMap<std::u16string> m_query{100};
  // True when only the bytes of a successful answer are of use (content
  // downloads): its text is then not collected (CNHttpRequest::SetBytesOnly).
  bool m_bBytesOnly = false;
};

#endif  // KELTOS3_SRC_S3_S3_REQUEST_H_
