#include "s3/s3_message.h"

#include <cstring>
#include <new>
#include <utility>

S3Message::S3Message() = default;

S3Message::S3Message(const S3Message& other)
    : m_strVerb(other.m_strVerb),
      m_strBucket(other.m_strBucket),
      m_strKey(other.m_strKey),
      m_headers(other.m_headers) {
  SetBody(other.GetBody(), other.GetBodyLength());
}

S3Message& S3Message::operator=(const S3Message& other) {
  if (this == &other) return *this;
  SetBody(other.GetBody(), other.GetBodyLength());
  m_strVerb = other.m_strVerb;
  m_strBucket = other.m_strBucket;
  m_strKey = other.m_strKey;
  m_headers = other.m_headers;
  return *this;
}

S3Message::~S3Message() = default;

void S3Message::SetBody(const std::uint8_t* data, std::int32_t length) {
  m_pBody.reset();
  m_iBodyLength = 0;
  if (data == nullptr || length <= 0) return;
  std::unique_ptr<std::uint8_t[]> copy(new (std::nothrow) std::uint8_t[static_cast<size_t>(length)]);
  if (copy == nullptr) return;
  std::memcpy(copy.get(), data, static_cast<size_t>(length));
  AdoptBody(std::move(copy), length);
}

void S3Message::AdoptBody(std::unique_ptr<std::uint8_t[]> data, std::int32_t length) {
  m_pBody.reset();
  m_iBodyLength = 0;
  if (data == nullptr || length <= 0) return;
  m_pBody = std::move(data);
  m_iBodyLength = length;
}

std::unique_ptr<std::uint8_t[]> S3Message::ReleaseBody() {
  m_iBodyLength = 0;
  return std::move(m_pBody);
}

S3Response::S3Response() = default;

S3Response::S3Response(const S3Response& other) : S3Message() { CopyFrom(other); }

S3Response& S3Response::operator=(const S3Response& other) {
  if (this != &other) CopyFrom(other);
  return *this;
}

S3Response::S3Response(S3Response&& other) noexcept : S3Message() { MoveFrom(other); }

S3Response& S3Response::operator=(S3Response&& other) noexcept {
  if (this != &other) MoveFrom(other);
  return *this;
}

S3Response::~S3Response() = default;

void S3Response::CopyFrom(const S3Response& other) {
  m_strBucket = other.m_strBucket;
  m_strKey = other.m_strKey;
  m_strVerb = other.m_strVerb;
  m_strText = other.m_strText;
  m_strETag = other.m_strETag;
  m_iStatus = other.m_iStatus;
  SetBody(other.GetBody(), other.GetBodyLength());
  m_iRetry = other.m_iRetry;
  // A body that could not be copied must not pass for a complete answer.
  if (GetBodyLength() != other.GetBodyLength()) m_iRetry = 1;
}

void S3Response::MoveFrom(S3Response& other) noexcept {
  m_strBucket = std::move(other.m_strBucket);
  m_strKey = std::move(other.m_strKey);
  m_strVerb = std::move(other.m_strVerb);
  m_strText = std::move(other.m_strText);
  m_strETag = std::move(other.m_strETag);
  m_iStatus = other.m_iStatus;
  const std::int32_t length = other.GetBodyLength();
  AdoptBody(other.ReleaseBody(), length);
  m_iRetry = other.m_iRetry;
}
