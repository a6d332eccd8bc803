// S3Client: the library's S3 REST client.  It holds the credentials, turns
// an S3Request into a signed CNHttpRequest, sends it with repeats and
// interprets the answers.  Requests are signed with signature version 2, or
// with AWS Signature Version 4 when "SignatureVersion" is 4; buckets are
// addressed virtual-hosted (bucket.host), or path-style (host/bucket/key)
// when "PathStyle" is 1.
//
// A client is built per piece of work: the constructor reads the access key
// id, the secret access key and the secure flag from the settings once;
// every operation reads the other settings (host, port, pause, bucket) at
// the moment it needs them.
//
// Failure is reported only through the returned records: m_iRetry is 1
// after the last attempt failed, and status and text are those of the last
// completed exchange.  Nothing is thrown or logged here; the transport logs
// S3 error answers.
//
// A listing (ListObjects, ListWithBucket, BucketExists, FolderExists,
// CheckService) counts as failed, and is repeated like any failed attempt,
// when an answer with a 2xx status does not hold the complete S3 listing
// document (S3ListResult::HoldsListingDocument): a captive portal's page or
// an answer cut short never reads as an empty listing.
//
// Thread safety: one thread at a time per client; the credentials are only
// read after construction.

#ifndef KELTOS3_SRC_S3_S3_CLIENT_H_
#define KELTOS3_SRC_S3_S3_CLIENT_H_

#include <cstdint>
#include <string>

#include "common/sorted_map.h"
#include "s3/http_request.h"
#include "s3/request_kinds.h"
#include "s3/s3_list_result.h"
#include "s3/s3_message.h"
#include "s3/s3_request.h"

class S3Client {
 public:
  S3Client();
  S3Client(const S3Client&) = delete;
  S3Client& operator=(const S3Client&) = delete;

  // ---- Operations ---------------------------------------------------------

  // The generic exchange: replaces request.m_strKey by its percent-encoded
  // form (the caller's record keeps it), builds and signs one CNHttpRequest,
  // then sends it up to 5 times until an attempt succeeds, pausing
  // "RequestPause" milliseconds (CS3Config::GetRequestPause) after every
  // attempt, the last and the successful one included.  A version-4
  // request is signed again for every repeat with the time of that repeat
  // (a server refuses a date more than 15 minutes off), unless the caller
  // gave its own "x-amz-date".  The result carries the request's bucket,
  // encoded key and verb.
  S3Response PerformRequest(S3Request& request);

  // 1 when a service listing succeeds, else 0.
  int CheckService();

  // 1 when the service listing names `bucket` exactly (case-sensitive).  A
  // failed listing gives 0, as for a missing bucket.
  int BucketExists(const std::u16string& bucket);

  // PerformRequest of a prepared ServiceListRequest; the caller then calls
  // ParseList or SumSizes on the result.
  S3ListResult ListObjects(S3Request& request);

  // As ListObjects, but first creates the request's bucket when
  // BucketExists reports it missing (the creation's answer is dropped).
  S3ListResult ListWithBucket(S3Request& request);

  // PerformRequest; the result's body holds the object's bytes.
  S3Response GetObject(S3Request& request);
  S3Response PutObject(S3Request& request);
  S3Response DeleteObject(S3Request& request);

  // 1 when `bucket` (created when missing, see ListWithBucket) holds the
  // folder marker of `name` in local form ("\a\b"), else 0.  One listing
  // whose prefix is that marker's key, whatever the number of folders.
  int FolderExists(const std::u16string& bucket, const std::u16string& name);

  // Stores the folder marker of `request` (a FolderMarkerRequest), after the
  // markers of all its ancestors, outermost first: creates the bucket when
  // missing; sends nothing and returns an empty response when the marker is
  // already listed; otherwise stores the parent's marker first (recursively)
  // and returns the answer to this marker's own PUT.
  S3Response CreateFolder(S3Request& request);

  // ---- Signing --------------------------------------------------------------

  // Builds the signed HTTP request for `request` (whose key is already
  // percent-encoded), reading "SignatureVersion" and "PathStyle" once:
  //   host  bucket + "." + GetHost, or GetHost alone for an empty bucket or
  //         path-style addressing;
  //   port  GetPort;
  //   path  "/" [+ bucket + "/" when path-style and the bucket is not empty]
  //         + key + query: for version 2 the key as given and
  //         BuildQueryString; for version 4 the same path in its version-4
  //         encoding (EncodePathV4) and BuildQueryStringV4;
  // then the verb, the body, the "content-type" header (also set on
  // `request`, even when empty), for version 4 the headers of
  // PrepareRequestV4, every header of `request` in map order, and last
  // SignRequest (version 2) or SignRequestV4.  In both addressing styles
  // version 2 signs the resource "/" + bucket + "/" + key.  The HTTP
  // request sends the body of `request` without copying it: `request` must
  // outlive it, its body unchanged.
  CNHttpRequest MakeHttpRequest(S3Request& request);

  // Adds "x-amz-date" (FormatHttpDate) to both requests unless `request`
  // already has one, then the "Authorization" header "AWS " + access key id
  // + ":" + signature to `http`.
  void SignRequest(CNHttpRequest& http, S3Request& request);

  // The version 2 string to sign: the verb of `http`; the values of
  // content-md5, content-type and date (date empty when x-amz-date is set);
  // each lower-case "x-amz-" header with a non-empty value as name + ":" +
  // trimmed value, in name order; each of these followed by "\n"; then the
  // resource "/" [+ bucket + "/"] [+ key] and the sub-resources ?acl,
  // ?torrent, ?logging, ?location that the query holds, in that order.
  std::u16string BuildStringToSign(const CNHttpRequest& http,
                                   const S3Request& request) const;

  // Base64 of HMAC-SHA1(secret, text): always 28 characters.  Both texts
  // are hashed as their UTF-8 bytes, which for the ASCII texts of a normal
  // request are exactly the one byte per character that is sent; for a
  // non-ASCII header value it is the UTF-8 form the transport sends.
  static std::u16string ComputeSignature(const std::u16string& secret,
                                         const std::u16string& text);

  // "?" before the first parameter and "&" before each later one, in name
  // order; name + "=" + value only for a non-empty value (an empty value
  // leaves its separator alone).  Names and values are taken verbatim.  An
  // empty map gives the empty text.
  static std::u16string BuildQueryString(
      const CSortedMap<std::u16string>& query);

  // ---- Signature version 4 (s3_signing_v4.cc) ------------------------------

  // A request path in the form version 4 signs and sends: percent escapes
  // decoded, then every byte but letters, digits, "-", ".", "_", "~" and
  // "/" written as "%XX" (a key's "%2F" becomes "/", its "%2E" ".").
  static std::u16string EncodePathV4(const std::u16string& path);

  // "?" before the first parameter and "&" before each later one, in name
  // order; every parameter as name + "=" + value (also for an empty value),
  // both in the version-4 encoding with "/" encoded too.  Empty map: empty.
  static std::u16string BuildQueryStringV4(
      const CSortedMap<std::u16string>& query);

  // Sets on `request` the headers a version-4 signature needs beyond the
  // request's own, before they are copied to `http`: "host" (the host of
  // `http`, with ":" + port unless the port is 443), "x-amz-date" (kept when
  // it already has the form YYYYMMDDTHHMMSSZ, else the current time in that
  // form) and "x-amz-content-sha256" (the SHA-256 hex of the body).
  void PrepareRequestV4(const CNHttpRequest& http, S3Request& request);

  // Adds to `http` the "Authorization" header "AWS4-HMAC-SHA256
  // Credential=<id>/<date>/<Region>/s3/aws4_request, SignedHeaders=...,
  // Signature=..." over `http` exactly as it is sent: its verb, path and
  // query, every header it sends (but Content-Length) and its
  // x-amz-content-sha256 and x-amz-date values.
  void SignRequestV4(CNHttpRequest& http);

  // True when `http` carries a version-4 signature.
  static bool IsSignedV4(const CNHttpRequest& http);

  // Signs `http`, signed with version 4 before, again for a repeat: a new
  // "x-amz-date" of the current time, the rest (the body's hash included)
  // as it was.
  void SignAgainV4(CNHttpRequest& http);

 private:
  // PerformRequest for a listing: an attempt whose 2xx answer does not hold
  // the listing document counts as failed.
  S3ListResult PerformListing(S3Request& request);

  // The exchange behind PerformRequest and PerformListing.
  S3Response Perform(S3Request& request, bool expect_listing);

  std::u16string m_strAccessKeyId;
  std::u16string m_strSecretKey;
  int32_t m_iSecure = 1;
};

#endif  // KELTOS3_SRC_S3_S3_CLIENT_H_
