// ListingPager: the paging of every bucket listing.
//
// A listing is read page by page; each page after the first is asked for
// with the "marker" of the one before (its last key), and the listing ends
// with the first page that is not truncated.  The pages come from the
// network, so the pager checks that they lead somewhere, and every listing
// ends:
//   - the marker strictly increases, in the order S3 lists keys (the UTF-8
//     bytes of the keys, compared as unsigned numbers): a truncated page
//     whose last key does not come after the marker it was asked with (a
//     page handed back again, pages that alternate) fails the listing;
//   - a truncated page that lists no key fails the listing;
//   - at most the pager's page bound is listed: a listing that is still
//     truncated after that many pages fails.
// A listing that fails one of these checks is reported as an error event
// naming the bucket, the prefix and the cause, and sets the thread's last
// error to platform::kLastErrorS3 (the server's answers cannot be used) and
// its last-error text to the same words.  A
// page whose request failed ends the listing as failed too, reported by the
// transport as ever.  The pages before a failure have been handed to the
// caller; what they are worth then is the caller's decision.
//
// Use:
//   ListingPager pager(bucket, EncodeKeyForUrl(prefix), kMaxBucketPages);
//   S3ListResult page;
//   while (pager.Next(&page)) { ...read the page with its own parser... }
//   if (!pager.Complete()) ...
//
// Thread safety: none; a pager belongs to the operation that made it.

#ifndef KELTOS3_SRC_S3_LISTING_PAGER_H_
#define KELTOS3_SRC_S3_LISTING_PAGER_H_

#include <string>

#include "s3/s3_list_result.h"

class ListingPager {
 public:
  // Page bound of a listing of a whole bucket or tree: 100 million keys in
  // pages of 1000.
  static constexpr int kMaxBucketPages = 100000;
  // Page bound of a listing of one path's versions.
  static constexpr int kMaxPathPages = 1000;

  // Lists `bucket` under `prefix` (already percent-encoded; empty: no
  // "prefix" parameter), at most `max_pages` pages.  With `create_bucket`
  // every page is listed with S3Client::ListWithBucket, else ListObjects.
  ListingPager(std::u16string bucket, std::u16string prefix, int max_pages,
               bool create_bucket = false);

  // Lists the next page into *page and returns true; false when the
  // listing has ended (Complete) or failed, *page then unchanged.
  bool Next(S3ListResult* page);

  // True once the last page (one that is not truncated) was handed out.
  bool Complete() const { return state_ == State::kComplete; }
  // True when the listing failed because its pages did not lead to an end
  // (a marker that did not move on, or the page bound): asking again would
  // meet the same server.  False for a failed request.
  bool Unending() const { return unending_; }

 private:
  enum class State { kListing, kComplete, kFailed };

  // Ends the listing as failed for `cause`, reported as described above.
  void Refuse(const std::u16string& cause);

  const std::u16string bucket_;
  const std::u16string prefix_;
  const int max_pages_;
  const bool create_bucket_;
  State state_ = State::kListing;
  bool unending_ = false;
  int pages_ = 0;
  std::u16string marker_;  // the last key of the page before, decoded
};

#endif  // KELTOS3_SRC_S3_LISTING_PAGER_H_
