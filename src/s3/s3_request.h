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

#include <cstdint>
#include <string>

#include "common/sorted_map.h"
#include "s3/s3_message.h"

// What an answer may hold, by its kind; a longer one fails its exchange.
// An error answer, and the answer to a request that asks for no content
// (a store, a deletion, a bucket's creation): an S3 error document, a few
// KiB, whatever names and request texts it repeats.
inline constexpr std::uint32_t kSmallAnswerBytes = 64 * 1024;
// A listing page: up to 1000 entries, each with a key of up to 1024 bytes
// (six times that when every character is escaped) and its elements.
inline constexpr std::uint32_t kListingPageBytes = 8 * 1024 * 1024;

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
  // The most bytes a successful answer may hold (CNHttpRequest::
  // SetAnswerLimit): kSmallAnswerBytes unless the kind says more (listings:
  // kListingPageBytes; an object's content: its known length).
  std::uint32_t m_iAnswerLimit = kSmallAnswerBytes;
};

#endif  // KELTOS3_SRC_S3_S3_REQUEST_H_
