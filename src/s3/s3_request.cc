#include "s3/s3_request.h"

S3Request::S3Request() { m_strVerb = u"PUT"; }

S3Request::~S3Request() = default;

void S3Request::SetHeader(const std::u16string& name,
                          const std::u16string& value) {
  m_headers.Set(name, value);
}
