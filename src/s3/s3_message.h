// The records of one S3 exchange: S3Message, the common part of a request
// and an answer, and S3Response, the outcome of one exchange as the
// transport (s3/http_request.h) leaves it.
//
// Thread safety: none; a record is used by one thread at a time.

#ifndef KELTOS3_SRC_S3_S3_MESSAGE_H_
#define KELTOS3_SRC_S3_S3_MESSAGE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "common/sorted_map.h"
#include "support/event_reporter.h"

class S3Message {
 public:
  // No body, empty texts, an empty header map of capacity 100.
  S3Message();
  // Copies verb, bucket, key, headers and the body (into a buffer of its
  // own); the copy opens its own event reporter.
  S3Message(const S3Message& other);
  S3Message& operator=(const S3Message& other);
  virtual ~S3Message();

  // Frees the old body, then copies `length` bytes from `data`.  A null
  // `data` or a `length` of 0 or below leaves the message without a body,
  // and so does a copy that cannot be allocated.
  void SetBody(const std::uint8_t* data, std::int32_t length);
  // Frees the old body and takes `data` (`length` bytes) as the new one; a
  // null `data` or a `length` of 0 or below leaves no body.
  void AdoptBody(std::unique_ptr<std::uint8_t[]> data, std::int32_t length);
  // Gives up the body: the caller owns it, the message has none.
  std::unique_ptr<std::uint8_t[]> ReleaseBody();
  // Null and 0 when there is no body.
  const std::uint8_t* GetBody() const { return m_pBody.get(); }
  std::int32_t GetBodyLength() const { return m_iBodyLength; }

 private:
  std::unique_ptr<std::uint8_t[]> m_pBody;
  std::int32_t m_iBodyLength = 0;

 public:
  std::u16string m_strVerb;
  std::u16string m_strBucket;
  std::u16string m_strKey;
  CSortedMap<std::u16string> m_headers{100};
  // Opened with the record and closed with it; reports nothing itself.
  CEventReporter m_reporter;
};

class S3Response : public S3Message {
 public:
  // Status 0, empty text, retry 0, no body, no headers.
  S3Response();
  // A copy takes bucket, key, verb, text, status, body (a buffer of its
  // own) and retry; the header map is not copied, so a copy-constructed
  // response has an empty one and an assigned one keeps its own.
  // Self-assignment changes nothing.  A copy whose body cannot be
  // allocated has no body and retry 1.
  S3Response(const S3Response& other);
  S3Response& operator=(const S3Response& other);
  // The same fields, moved: the text and the body change hands without a
  // copy, and `other` is left with neither.
  S3Response(S3Response&& other) noexcept;
  S3Response& operator=(S3Response&& other) noexcept;
  ~S3Response() override;

  // HTTP status of the last exchange that got an answer; 0 at first.
  std::int32_t m_iStatus = 0;
  // The answer body decoded as text (see CNHttpRequest::Send).
  std::u16string m_strText;
  // 1 when the exchange failed and may be repeated, 0 otherwise.
  std::int32_t m_iRetry = 0;
  // The answer's ETag header as sent (quotes included); empty when it had
  // none.  Copied and moved with the response, unlike the header map.
  std::u16string m_strETag;

 private:
  void CopyFrom(const S3Response& other);
  void MoveFrom(S3Response& other) noexcept;
};

#endif  // KELTOS3_SRC_S3_S3_MESSAGE_H_
