#include "s3/listing_pager.h"

#include <utility>

#include "common/wide_string.h"
#include "platform/last_error.h"
#include "s3/request_kinds.h"
#include "s3/s3_client.h"
#include "support/event_reporter.h"
#include "support/url_encode.h"

ListingPager::ListingPager(std::u16string bucket, std::u16string prefix, int max_pages,
                           bool create_bucket)
    : bucket_(std::move(bucket)),
      prefix_(std::move(prefix)),
      max_pages_(max_pages),
      create_bucket_(create_bucket) {}

bool ListingPager::Next(S3ListResult* page) {
  if (state_ != State::kListing) return false;
  if (pages_ >= max_pages_) {
    Refuse(u"still truncated after " + Utf8ToU16(std::to_string(pages_)) + u" pages");
    return false;
  }
  ServiceListRequest request(bucket_);
  if (!prefix_.empty()) request.m_query.Set(u"prefix", prefix_);
  if (pages_ > 0) request.m_query.Set(u"marker", EncodeKeyForUrl(marker_));
  S3Client client;
  S3ListResult result =
      create_bucket_ ? client.ListWithBucket(request) : client.ListObjects(request);
  if (result.m_iRetry != 0) {
    state_ = State::kFailed;
    return false;
  }
  ++pages_;
  if (result.IsTruncated()) {
    std::u16string last;
    if (!result.LastListedKey(&last)) {
      Refuse(u"a truncated page lists no key");
      return false;
    }
    // S3 lists keys in the order of their UTF-8 bytes.
    if (U16ToUtf8(last) <= U16ToUtf8(marker_)) {
      Refuse(u"the page after \"" + marker_ + u"\" ends at \"" + last +
             u"\", which does not come after it");
      return false;
    }
    marker_ = std::move(last);
  } else {
    state_ = State::kComplete;
  }
  *page = std::move(result);
  return true;
}

void ListingPager::Refuse(const std::u16string& cause) {
  state_ = State::kFailed;
  unending_ = true;
  const std::u16string text =
      u"listing of bucket " + bucket_ + u" under \"" + prefix_ + u"\" refused: " + cause;
  Report(text);
  platform::SetLastError(platform::kLastErrorS3);
  platform::SetLastErrorText(text);
}
