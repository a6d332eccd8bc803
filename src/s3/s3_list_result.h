// S3ListResult: the answer to a listing request (GET on the service or on a
// bucket) and what is read out of it: the listed names, the truncated flag
// and next marker for paging, and the total of the listed sizes.
//
// The answer text is read by plain text search, without an XML parser.
// Every reader here is total: any text gives a defined result in time
// linear in its length.  Listed names are XML character data and are
// decoded (DecodeXmlText) before they are stored, so a stored "a&b.txt" is
// listed as "a&b.txt", never as its escaped form.
//
// Paging: s3/listing_pager.h asks for the pages, each with the last key of
// the page before as "marker", and checks that they lead to an end.
//
// Thread safety: none; a result belongs to the operation that made it.

#ifndef KELTOS3_SRC_S3_S3_LIST_RESULT_H_
#define KELTOS3_SRC_S3_S3_LIST_RESULT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "s3/s3_message.h"

// One "<Contents>" element of a bucket listing.
struct S3ListedObject {
  std::u16string key;            // decoded
  uint64_t size = 0;             // 0 when the element has no "<Size>"
  std::u16string last_modified;  // as listed; empty when absent
  std::u16string etag;           // decoded; empty when absent
};

class S3ListResult : public S3Response {
 public:
  S3ListResult();
  // Copies bucket, key, verb, text, status and retry of `response` (not its
  // body or headers).  The service-listing flag is 1 when the bucket is empty.
  explicit S3ListResult(const S3Response& response);

  // True when the text holds the whole S3 listing document that a request
  // on this result's bucket is answered with: "<ListAllMyBucketsResult" ...
  // "</ListAllMyBucketsResult>" for the service (empty bucket),
  // "<ListBucketResult" ... "</ListBucketResult>" for a bucket.  Anything
  // else (an HTML page from a captive portal, an answer cut short, the
  // service listing where a bucket listing was asked for) is not a listing.
  bool HoldsListingDocument() const;

  // The same test for an answer `text` to a listing of `bucket`.
  static bool IsListingDocument(const std::u16string& bucket,
                                const std::u16string& text);

  // Reads one listing page into m_items (replacing what they held): the
  // bucket names between "<Name>" and "</Name>" of a service listing, or the
  // keys between "<Key>" and "</Key>" of a bucket listing (which also resets
  // m_iSize to 0), each decoded, in answer order.  m_iTruncated is 1 when the
  // text holds "<IsTruncated>true</IsTruncated>"; m_strNextMarker is then the
  // last item, else empty.
  // A damaged page sets m_iRetry to 1: an opening tag without its closing
  // tag (the items before it are kept, the scan ends there), or a page that
  // says it is truncated but lists nothing (m_iTruncated is then 0, since an
  // empty marker would start the paging over from the first page).
  void ParseList();

  // As ParseList over "<Key>" ... "</Key>", but every decoded key is stored
  // in local form: each "$folder$" becomes "\", then each "/" becomes "\"
  // ("$folder$a/b" lists as "\a\b").  m_strNextMarker is the last key decoded
  // but not converted, as S3 expects it back.
  void ParseFolderList();

  // For a bucket listing: m_iSize becomes the sum of every "<Size>" ...
  // "</Size>" value of the text, each read as a decimal number (leading
  // blanks and a sign accepted, stops at the first non-digit; a negative
  // value counts 0, a value beyond 64 bits and the sum saturate at
  // UINT64_MAX); returns m_iSize.  An unterminated "<Size>" ends the sum
  // and sets m_iRetry to 1.  For a service listing (empty bucket) m_iSize
  // is 0 and 0 is returned.
  uint64_t SumSizes();

  // True when the text holds "<IsTruncated>true</IsTruncated>".
  bool IsTruncated() const;

  // The decoded text of the last "<Key>" ... "</Key>" pair of the text (the
  // key a following page starts after), in *key.  False when there is none.
  bool LastListedKey(std::u16string* key) const;

  // For a bucket listing: the size of the object `key` (decoded, compared
  // exactly) as its "<Contents>" element gives it, in *size.  False when no
  // element of the text lists that key with a "<Size>".
  bool ListedSize(const std::u16string& key, uint64_t* size) const;

  // For a bucket listing: every "<Contents>" element that names a key, in
  // answer order, with its size (read as SumSizes reads it) and its
  // "<LastModified>" text.  An element without its closing tag ends the
  // list.
  std::vector<S3ListedObject> ListedObjects() const;

  int32_t m_iServiceList = 0;  // 1 when the bucket is empty
  uint64_t m_iSize = 0;
  int32_t m_iTruncated = 0;
  std::u16string m_strNextMarker;
  std::vector<std::u16string> m_items;

 private:
  // Collects the decoded text of every `open` ... `close` pair into m_items
  // and sets the truncated flag and marker.  `as_folders` converts the
  // stored items as ParseFolderList describes.
  void ParseItems(const std::u16string& open, const std::u16string& close,
                  bool as_folders);
};

#endif  // KELTOS3_SRC_S3_S3_LIST_RESULT_H_
