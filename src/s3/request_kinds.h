// The request kinds of the S3 operations: each is an S3Request set up by its
// own constructor.  Everything a kind does not name keeps the S3Request
// defaults (verb "PUT", empty content type, no headers, no query, no body).
//
//   kind                 verb    bucket          key            extra
//   ServiceListRequest   GET     given (empty =  -              callers add "prefix"/"marker"
//                                the service)
//   GetObjectRequest     GET     given           given
//   PutObjectRequest     PUT     given           given          x-amz-acl private, text/plain;
//                                                               the caller sets the body
//   DeleteObjectRequest  DELETE  given           given
//   CreateBucketRequest  PUT     given           -
//   FolderListRequest    GET     given           -              prefix "$folder$" (verbatim)
//   FolderMarkerRequest  PUT     backup bucket   marker key     x-amz-acl private, text/plain
//
// Keys are the plain object keys; S3Client::PerformRequest percent-encodes
// them.  The listings take answers of up to kListingPageBytes; every other
// kind kSmallAnswerBytes, which a GetObjectRequest's caller raises to the
// length of the content it expects (S3Request::m_iAnswerLimit).

#ifndef KELTOS3_SRC_S3_REQUEST_KINDS_H_
#define KELTOS3_SRC_S3_REQUEST_KINDS_H_

#include <string>

#include "s3/s3_request.h"

// The prefix of every folder-marker key.
inline constexpr char16_t kFolderMarkerPrefix[] = u"$folder$";

class ServiceListRequest : public S3Request {
 public:
  explicit ServiceListRequest(const std::u16string& bucket);
};

class GetObjectRequest : public S3Request {
 public:
  GetObjectRequest(const std::u16string& bucket, const std::u16string& key);
};

class PutObjectRequest : public S3Request {
 public:
  PutObjectRequest(const std::u16string& bucket, const std::u16string& key);
};

class DeleteObjectRequest : public S3Request {
 public:
  DeleteObjectRequest(const std::u16string& bucket, const std::u16string& key);
};

class CreateBucketRequest : public S3Request {
 public:
  explicit CreateBucketRequest(const std::u16string& bucket);
};

class FolderListRequest : public S3Request {
 public:
  explicit FolderListRequest(const std::u16string& bucket);
};

// The marker of the directory `path` in the backup bucket named by the
// settings (CS3Config::GetBucket, read here).  The key is FolderMarkerKey.
class FolderMarkerRequest : public S3Request {
 public:
  explicit FolderMarkerRequest(const std::u16string& path);
};

// "$folder$" + the path without one leading "\", with "/" for every "\" and
// without one trailing "/": \docs\2009\ gives "$folder$docs/2009", "a" gives
// "$folder$a", the empty path gives "$folder$".
std::u16string FolderMarkerKey(const std::u16string& path);

// A listed marker key in local form: every "$folder$" becomes "\", then
// every "/" becomes "\" ("$folder$a/b" gives "\a\b").
std::u16string FolderKeyToPath(const std::u16string& key);

#endif  // KELTOS3_SRC_S3_REQUEST_KINDS_H_
