#include "s3/s3_client.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "common/wide_string.h"
#include "platform/env.h"
#include "platform/last_error.h"
#include "s3/signature_v4.h"
#include "settings/s3_config.h"
#include "support/event_reporter.h"
#include "support/url_encode.h"

namespace {

// Sends of one request before its failure is final.
constexpr int kMaxAttempts = 5;

// One trace line per attempt, for a person reading the trace: verb,
// bucket and key (as the caller named it) with the query, the HTTP status
// and the S3 error code of the answer, or why no answer came, and the time
// the attempt took.
void TraceAttempt(const S3Request& request, const std::u16string& key,
                  const CNHttpRequest& http, std::uint32_t milliseconds) {
  std::u16string line = request.m_strVerb + u" " + request.m_strBucket + u"/" + key;
  for (int i = 0; i < request.m_query.Count(); ++i) {
    line += (i == 0 ? u"?" : u"&") + request.m_query.KeyAt(i) + u"=" + request.m_query.ValueAt(i);
  }
  if (http.AnswerRead()) {
    const S3Response& answer = http.GetResponseRef();
    line += u" " + Utf8ToU16(std::to_string(answer.m_iStatus));
    const size_t code = answer.m_strText.find(u"<Code>");
    const size_t code_end = answer.m_strText.find(u"</Code>", code);
    if (answer.m_iRetry != 0 && code != std::u16string::npos &&
        code_end != std::u16string::npos && code_end - code <= 80) {
      line += u" " + answer.m_strText.substr(code + 6, code_end - code - 6);
    }
  } else {
    line += u" failed: " + platform::GetLastErrorText();
  }
  line += u" " + Utf8ToU16(std::to_string(milliseconds)) + u" ms\n";
  Trace(line);
}

}  // namespace

S3Client::S3Client() {
  CS3Config config;
  m_strAccessKeyId = config.GetAccount();
  m_strSecretKey = config.GetPassword();
  m_iSecure = config.IsSecure();
}

S3Response S3Client::Perform(S3Request& request, bool expect_listing) {
  S3Response result;
  CS3Config config;
  const int32_t pause = std::max<int32_t>(config.GetRequestPause(), 0);

  const std::u16string plain_key = request.m_strKey;
  request.m_strKey = EncodeKeyForUrl(request.m_strKey);
  // A date the caller set in the version-4 form is kept for every attempt.
  const bool caller_date =
      sigv4::IsAmzDate(U16ToUtf8(request.m_headers.Lookup(u"x-amz-date")));
  // The HTTP request sends the record's own body, which outlives it.
  CNHttpRequest http = MakeHttpRequest(request);
  const bool sign_again = !caller_date && IsSignedV4(http);
  // A request whose body did not reach the HTTP request would go out empty
  // and be stored as an empty object: fail instead, unsent.
  const bool body_lent = http.GetBodyLength() == request.GetBodyLength();

  for (int attempt = 0; body_lent && attempt < kMaxAttempts; ++attempt) {
    if (attempt > 0 && sign_again) SignAgainV4(http);
    const std::uint32_t start = platform::CurrentEnv()->GetTickCount();
    http.Send();
    TraceAttempt(request, plain_key, http, platform::CurrentEnv()->GetTickCount() - start);
    // A send that read no answer leaves the last answer's status, text and
    // body in place, marked failed.
    if (http.AnswerRead()) {
      result = http.TakeResponse();
    } else {
      result.m_iRetry = 1;
    }
    if (expect_listing && result.m_iRetry == 0 &&
        !S3ListResult::IsListingDocument(request.m_strBucket,
                                         result.m_strText)) {
      result.m_iRetry = 1;
    }
    platform::CurrentEnv()->Sleep(static_cast<uint32_t>(pause));
    if (result.m_iRetry == 0) break;
  }

  if (!body_lent) result.m_iRetry = 1;
  result.m_strBucket = request.m_strBucket;
  result.m_strKey = request.m_strKey;
  result.m_strVerb = request.m_strVerb;
  return result;
}

S3Response S3Client::PerformRequest(S3Request& request) {
  return Perform(request, false);
}

S3ListResult S3Client::PerformListing(S3Request& request) {
  return S3ListResult(Perform(request, true));
}

int S3Client::CheckService() {
  ServiceListRequest request(u"");
  return PerformListing(request).m_iRetry == 0 ? 1 : 0;
}

int S3Client::BucketExists(const std::u16string& bucket) {
  ServiceListRequest request(u"");
  S3ListResult result = PerformListing(request);
  if (result.m_iRetry != 0) return 0;
  result.ParseList();
  const auto& items = result.m_items;
  return std::find(items.begin(), items.end(), bucket) != items.end() ? 1 : 0;
}

S3ListResult S3Client::ListObjects(S3Request& request) {
  return PerformListing(request);
}

S3ListResult S3Client::ListWithBucket(S3Request& request) {
  if (!BucketExists(request.m_strBucket)) {
    CreateBucketRequest create(request.m_strBucket);
    PerformRequest(create);
  }
  return PerformListing(request);
}

S3Response S3Client::GetObject(S3Request& request) {
  return PerformRequest(request);
}

S3Response S3Client::PutObject(S3Request& request) {
  return PerformRequest(request);
}

S3Response S3Client::DeleteObject(S3Request& request) {
  return PerformRequest(request);
}

int S3Client::FolderExists(const std::u16string& bucket,
                           const std::u16string& name) {
  // Listed by the marker's own key as prefix: the marker sorts before every
  // longer key that begins with it, so the first page holds it whenever it
  // exists, however many folders the bucket has.
  FolderListRequest request(bucket);
  const std::u16string marker = FolderMarkerKey(name);
  const size_t folder_prefix = std::char_traits<char16_t>::length(kFolderMarkerPrefix);
  request.m_query.Set(u"prefix", marker.substr(0, folder_prefix) +
                                     EncodeKeyForUrl(marker.substr(folder_prefix)));
  S3ListResult result = ListWithBucket(request);
  if (result.m_iRetry != 0) return 0;
  result.ParseFolderList();
  const auto& items = result.m_items;
  return std::find(items.begin(), items.end(), name) != items.end() ? 1 : 0;
}

S3Response S3Client::CreateFolder(S3Request& request) {
  // Walks outwards from the folder itself, checking each marker the way a
  // recursion over the parents would (bucket, then listing), until one is
  // found or the outermost folder is reached; then stores the missing
  // markers outermost first.  A loop rather than a recursion, so that the
  // depth of a path cannot exhaust the stack.
  std::vector<std::unique_ptr<S3Request>> ancestors;  // innermost first
  S3Request* current = &request;
  bool listed = false;
  while (true) {
    const std::u16string bucket = current->m_strBucket;
    if (!BucketExists(bucket)) {
      CreateBucketRequest create(bucket);
      PerformRequest(create);
    }
    if (FolderExists(bucket, FolderKeyToPath(current->m_strKey))) {
      listed = true;
      break;
    }
    const std::u16string& key = current->m_strKey;
    const size_t slash = key.rfind(u'/');
    if (key.empty() || slash == std::u16string::npos || slash == 0) break;
    std::u16string parent = key.substr(0, slash);
    parent.erase(0, std::min<size_t>(
                        std::char_traits<char16_t>::length(kFolderMarkerPrefix),
                        parent.size()));
    ancestors.push_back(std::make_unique<FolderMarkerRequest>(parent));
    // The ancestors' markers go where the folder's own goes (the same as the
    // settings' backup bucket unless a caller addressed another bucket).
    ancestors.back()->m_strBucket = request.m_strBucket;
    current = ancestors.back().get();
  }

  // `current` is the marker that was found listed (nothing to store for it)
  // or the outermost one, which is stored first.
  if (listed) {
    if (current == &request) return S3Response();
    ancestors.pop_back();
  }
  for (auto it = ancestors.rbegin(); it != ancestors.rend(); ++it) {
    PerformRequest(**it);
  }
  return PerformRequest(request);
}
