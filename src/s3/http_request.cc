#include "s3/http_request.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include "common/layout_policy.h"
#include "common/wide_string.h"
#include "platform/env.h"
#include "platform/http.h"
#include "platform/last_error.h"
#include "platform/path.h"
#include "s3/shared_throttle.h"
#include "s3/xml_text.h"
#include "settings/s3_config.h"

const char kSenderMutexName[] = "CNHttpRequest::m_iSenderCount";

std::atomic<std::int32_t> CNHttpRequest::m_iSenderCount{0};
std::atomic<std::int32_t> CNHttpRequest::m_iReceiverCount{0};

namespace {

constexpr char16_t kErrorStart[] = u"<Error><Code>";
constexpr char16_t kErrorEnd[] = u"</Code><Message>";

// The answer's bytes, up to the announced Content-Length and never beyond.
// Storage grows with the bytes that really arrive, so an answer that
// announces more than it sends costs only what it sent.
class AnswerBytes {
 public:
  explicit AnswerBytes(std::int32_t announced) : announced_(announced) {}

  // Appends what fits below the announced length.  Returns false when the
  // storage cannot be allocated.
  bool Append(const std::uint8_t* data, size_t length) {
    const size_t room = static_cast<size_t>(announced_) - filled_;
    const size_t n = std::min(length, room);
    if (n == 0) return true;
    if (filled_ + n > capacity_ && !Grow(filled_ + n)) return false;
    std::memcpy(data_.get() + filled_, data, n);
    filled_ += n;
    return true;
  }

  bool complete() const { return filled_ == static_cast<size_t>(announced_); }

  // Reads the next piece of at most `piece` bytes straight into the
  // storage.  *got receives the count (0 at the end of the answer).
  // Returns false when the read failed or the storage cannot be allocated.
  bool ReadFrom(platform::HttpRequestHandle* request, size_t piece, std::uint32_t* got) {
    *got = 0;
    const size_t n = std::min(piece, static_cast<size_t>(announced_) - filled_);
    if (n == 0) {
      // Anything beyond the announced length is not the answer's; reading
      // on finds the end (or the break) of the transfer.
      std::uint8_t spill[512];
      return request->ReadData(spill, sizeof(spill), got);
    }
    if (filled_ + n > capacity_ && !Grow(filled_ + n)) return false;
    if (!request->ReadData(data_.get() + filled_, static_cast<std::uint32_t>(n), got)) return false;
    *got = std::min<std::uint32_t>(*got, static_cast<std::uint32_t>(n));
    filled_ += *got;
    return true;
  }

  // The bytes, exactly the announced length of them.  REQUIRES: complete().
  std::unique_ptr<std::uint8_t[]> Release() { return std::move(data_); }

 private:
  bool Grow(size_t needed) {
    const size_t limit = static_cast<size_t>(announced_);
    size_t capacity = std::max<size_t>(capacity_ * 2, 1024 * 1024);
    capacity = std::min(std::max(capacity, needed), limit);
    std::unique_ptr<std::uint8_t[]> grown(new (std::nothrow) std::uint8_t[capacity]);
    if (grown == nullptr) return false;
    if (filled_ > 0) std::memcpy(grown.get(), data_.get(), filled_);
    data_ = std::move(grown);
    capacity_ = capacity;
    return true;
  }

  const std::int32_t announced_;
  std::unique_ptr<std::uint8_t[]> data_;
  size_t capacity_ = 0;
  size_t filled_ = 0;
};

// Tells the event log why an answer was refused: it was longer than what
// the request can take.
void ReportOversizedAnswer(std::uint64_t bytes, std::uint32_t limit) {
  const std::u16string text = u"answer refused: " + Utf8ToU16(std::to_string(bytes)) +
                              u" bytes or more where at most " +
                              Utf8ToU16(std::to_string(limit)) + u" were expected";
  Report(text);
  platform::SetLastErrorText(text);
}

}  // namespace

CNHttpRequest::CNHttpRequest() : m_hSenderMutex(kSenderMutexName) {
  CS3Config config;
  m_iBandwidthLimit = config.IsBandwidthLimited();
  m_iUploadWidth = config.GetUploadWidth();
  m_iDownloadWidth = config.GetDownloadWidth();
}

CNHttpRequest::CNHttpRequest(const CNHttpRequest& other)
    : m_headers(other.m_headers),
      m_strHost(other.m_strHost),
      m_iPort(other.m_iPort),
      m_strVerb(other.m_strVerb),
      m_strPath(other.m_strPath),
      m_response(other.m_response),
      m_bBytesOnly(other.m_bBytesOnly),
      m_iAnswerLimit(other.m_iAnswerLimit),
      m_hSenderMutex(kSenderMutexName),
      m_iBandwidthLimit(other.m_iBandwidthLimit),
      m_iUploadWidth(other.m_iUploadWidth),
      m_iDownloadWidth(other.m_iDownloadWidth) {
  SetBody(other.GetBody(), other.GetBodyLength());
}

CNHttpRequest& CNHttpRequest::operator=(const CNHttpRequest& other) {
  if (this == &other) return *this;
  m_headers = other.m_headers;
  LendBody(nullptr, 0);
  SetBody(other.GetBody(), other.GetBodyLength());
  m_strHost = other.m_strHost;
  m_iPort = other.m_iPort;
  m_strVerb = other.m_strVerb;
  m_strPath = other.m_strPath;
  m_response = other.m_response;
  m_bBytesOnly = other.m_bBytesOnly;
  m_iAnswerLimit = other.m_iAnswerLimit;
  m_iBandwidthLimit = other.m_iBandwidthLimit;
  m_iUploadWidth = other.m_iUploadWidth;
  m_iDownloadWidth = other.m_iDownloadWidth;
  return *this;
}

CNHttpRequest::~CNHttpRequest() = default;

void CNHttpRequest::SetHost(const std::u16string& host) { m_strHost = host; }
void CNHttpRequest::SetPort(std::int32_t port) { m_iPort = port; }
void CNHttpRequest::SetVerb(const std::u16string& verb) { m_strVerb = verb; }
void CNHttpRequest::SetPath(const std::u16string& path) { m_strPath = path; }

void CNHttpRequest::SetBody(const std::uint8_t* data, std::int32_t length) {
  if (data == nullptr || length <= 0) return;
  // A copy that cannot be allocated leaves the old body in place.
  std::unique_ptr<std::uint8_t[]> copy(new (std::nothrow) std::uint8_t[static_cast<size_t>(length)]);
  if (copy == nullptr) return;
  std::memcpy(copy.get(), data, static_cast<size_t>(length));
  m_pBody = std::move(copy);
  m_pBodyData = m_pBody.get();
  m_iBodyLength = length;
}

void CNHttpRequest::LendBody(const std::uint8_t* data, std::int32_t length) {
  m_pBody.reset();
  const bool any = data != nullptr && length > 0;
  m_pBodyData = any ? data : nullptr;
  m_iBodyLength = any ? length : 0;
}

void CNHttpRequest::ReplaceHeader(const std::u16string& name, const std::u16string& value) {
  m_headers.Set(name, value);
}

void CNHttpRequest::SetHeader(const std::u16string& name, const std::u16string& value) {
  const int index = m_headers.Find(name);
  if (index >= 0) {
    const std::u16string old = m_headers.ValueAt(index);
    if (old != value) {
      m_headers.Set(name, old + value);
      return;
    }
  }
  m_headers.Set(name, value);
}

std::u16string CNHttpRequest::Fail() {
  m_response.m_iRetry = 1;
  return std::u16string();
}

std::int32_t CNHttpRequest::ChangeCount(std::atomic<std::int32_t>* counter,
                                        std::int32_t delta) {
  // Waits without a time limit.  Should the mutex be unusable, the atomic
  // counter still keeps this process's count right.
  const platform::NamedMutexLock lock(&m_hSenderMutex);
  return counter->fetch_add(delta) + delta;
}

std::u16string CNHttpRequest::Send() {
  platform::Env* const env = platform::CurrentEnv();

  // 1. A new attempt: status, text and body stay until an answer is read.
  m_response.m_iRetry = 0;
  m_bAnswerRead = false;

  // 2. No host: nothing to talk to, and no platform call made.
  if (m_strHost.empty()) return Fail();

  // 3. Session, with the proxy and its credentials when asked for.
  CS3Config config;
  platform::HttpSessionOptions options;
  options.use_proxy = config.UseProxy() != 0;
  if (options.use_proxy) {
    options.proxy = U16ToUtf8(config.GetProxyServer());
    options.proxy_user_name = U16ToUtf8(config.GetProxyUserName());
    options.proxy_password = U16ToUtf8(config.GetProxyPassword());
  }
  options.ca_cert_file = platform::ToPosixPath(config.GetCACertFile());
  // An answer may not hold more than its limit, so a longer announced
  // length must not stretch the deadline either.
  const std::uint32_t success_limit = std::min<std::uint32_t>(
      m_iAnswerLimit, static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max()));
  options.expected_answer_bytes = std::max(success_limit, kSmallAnswerBytes);
  std::unique_ptr<platform::HttpSession> session = env->OpenHttpSession(options);
  std::unique_ptr<platform::HttpConnection> connection;
  std::unique_ptr<platform::HttpRequestHandle> request;
  // Closes the handles in the order session, request, connection.
  auto close = [&] {
    session.reset();
    request.reset();
    connection.reset();
  };
  if (session == nullptr) {
    close();
    return Fail();
  }

  // 4. Connection to the host and port.
  if (m_iPort < 0 || m_iPort > std::numeric_limits<std::uint16_t>::max()) {
    close();
    return Fail();
  }
  connection = session->Connect(U16ToUtf8(m_strHost), static_cast<std::uint16_t>(m_iPort));
  if (connection == nullptr) {
    close();
    return Fail();
  }

  // 5. The request, always over TLS.
  request = connection->OpenRequest(U16ToUtf8(m_strVerb), U16ToUtf8(m_strPath), true);
  if (request == nullptr) {
    close();
    return Fail();
  }

  // 6. Header lines in map order, each adding or replacing.  A line the
  // platform refuses (one that would split the request) fails the exchange
  // rather than going out without it.
  for (int i = 0; i < m_headers.Count(); ++i) {
    const std::u16string line = m_headers.KeyAt(i) + u": " + m_headers.ValueAt(i);
    if (!request->AddHeaderLine(U16ToUtf8(line))) {
      close();
      return Fail();
    }
  }

  // 7. A "Content-Length" entry of the map gets the real body length.
  if (m_headers.Find(u"Content-Length") >= 0) {
    if (!request->AddHeaderLine("Content-Length: " + std::to_string(m_iBodyLength))) {
      close();
      return Fail();
    }
  }

  // Transfers that run side by side share the width through one timeline
  // per direction (s3/shared_throttle.h); one transfer at a time keeps its
  // own pacing.
  const bool side_by_side = m_iBandwidthLimit && CS3Config().GetTransfers() > 1;

  // 8. The body: whole, or streamed chunk by chunk under the upload limit.
  if (m_iBodyLength > kOneShotBodyLimit) {
    if (!request->SendRequestStreamed(static_cast<std::uint64_t>(m_iBodyLength))) {
      close();
      return Fail();
    }
    const std::int32_t piece = m_iBandwidthLimit ? kUploadChunkBytes
                                                 : static_cast<std::int32_t>(kUnlimitedPieceBytes);
    ThrottlePacer pacer;
    for (std::int32_t offset = 0; offset < m_iBodyLength;) {
      const std::int32_t chunk = std::min(piece, m_iBodyLength - offset);
      std::int32_t n = 0;
      std::uint32_t start = 0;
      if (m_iBandwidthLimit) {
        n = ChangeCount(&m_iSenderCount, 1);
        start = env->GetTickCount();
      }
      std::uint32_t written = 0;
      const bool ok = request->WriteData(m_pBodyData + offset,
                                         static_cast<std::uint32_t>(chunk), &written);
      if (m_iBandwidthLimit) {
        const std::uint32_t end = env->GetTickCount();
        const std::uint32_t moved = ok ? static_cast<std::uint32_t>(chunk) : 0;
        const bool last = offset + chunk >= m_iBodyLength;
        const std::uint32_t pause =
            side_by_side ? SharedThrottle::Uploads().PauseAfter(end, moved, m_iUploadWidth, last)
                         : pacer.PauseAfter(start, end, n, moved, m_iUploadWidth, last);
        if (pause > 0) env->Sleep(pause);
        ChangeCount(&m_iSenderCount, -1);
      }
      if (!ok || written != static_cast<std::uint32_t>(chunk)) {
        close();
        return Fail();
      }
      offset += chunk;
    }
  } else if (!request->SendRequest(m_pBodyData, static_cast<std::uint32_t>(m_iBodyLength))) {
    close();
    return Fail();
  }

  // 9. The status and the announced answer length (0 when there is none).
  // An answer is held to what its kind can need: one that announces more
  // fails before anything is read (the limits are below 2^31, so the length
  // also fits the body's 32-bit length).
  std::uint32_t status = 0;
  if (!request->QueryStatusCode(&status)) {
    close();
    return Fail();
  }
  const bool success = status >= 200 && status <= 299;
  const std::uint32_t limit = success ? success_limit : kSmallAnswerBytes;
  std::uint64_t content_length = 0;
  if (!request->QueryContentLength(&content_length)) content_length = 0;
  if (content_length > limit) {
    ReportOversizedAnswer(content_length, limit);
    close();
    return Fail();
  }
  std::unique_ptr<AnswerBytes> answer_bytes;
  if (content_length > 0) {
    answer_bytes = std::make_unique<AnswerBytes>(static_cast<std::int32_t>(content_length));
  }

  // 10. The answer in pieces, each cleared before it is read and ending at
  // its first zero byte as text, under the download limit.  A successful
  // bytes-only answer has no text: without the limit it is read straight
  // into its storage.
  std::string answer_text;
  bool read_failed = false;
  const bool bytes_only = m_bBytesOnly && answer_bytes != nullptr && success;
  std::uint64_t received = 0;
  std::uint8_t piece[kReadPieceBytes + 1];
  ThrottlePacer pacer;
  const bool straight = bytes_only && !m_iBandwidthLimit;
  while (straight) {
    std::uint32_t got = 0;
    if (!answer_bytes->ReadFrom(request.get(), kUnlimitedPieceBytes, &got)) {
      read_failed = true;
      break;
    }
    if (got == 0) break;
    received += got;
    if (received > limit) {
      ReportOversizedAnswer(received, limit);
      read_failed = true;
      break;
    }
  }
  while (!straight) {
    std::memset(piece, 0, sizeof(piece));
    std::int32_t n = 0;
    std::uint32_t start = 0;
    if (m_iBandwidthLimit) {
      n = ChangeCount(&m_iReceiverCount, 1);
      start = env->GetTickCount();
    }
    std::uint32_t got = 0;
    const bool ok = request->ReadData(piece, kReadPieceBytes, &got);
    got = std::min(got, kReadPieceBytes);
    if (m_iBandwidthLimit) {
      const std::uint32_t end = env->GetTickCount();
      const std::uint32_t pause =
          side_by_side
              ? SharedThrottle::Downloads().PauseAfter(end, got, m_iDownloadWidth, got == 0)
              : pacer.PauseAfter(start, end, n, got, m_iDownloadWidth, got == 0);
      if (pause > 0) env->Sleep(pause);
      ChangeCount(&m_iReceiverCount, -1);
    }
    if (!ok) {
      read_failed = true;
      break;
    }
    if (got == 0) break;
    received += got;
    if (received > limit) {
      ReportOversizedAnswer(received, limit);
      read_failed = true;
      break;
    }
    if (!bytes_only) {
      piece[got] = 0;
      answer_text.append(reinterpret_cast<const char*>(piece),
                         std::strlen(reinterpret_cast<const char*>(piece)));
    }
    if (answer_bytes != nullptr && !answer_bytes->Append(piece, got)) {
      read_failed = true;  // no memory for the answer
      break;
    }
  }
  // An answer cut short (a failed read, or fewer bytes than announced) is
  // not the server's answer; it must not pass for one.
  if (read_failed || (answer_bytes != nullptr && !answer_bytes->complete())) {
    close();
    return Fail();
  }

  // 11. The text, decoded as UTF-8.
  const std::u16string text = Utf8ToU16(answer_text);

  // 12. The status code.
  m_response.m_iStatus = static_cast<std::int32_t>(
      std::min<std::uint32_t>(status, std::numeric_limits<std::int32_t>::max()));

  // 13. Anything but 2xx failed; an S3 error document is reported.  The
  // snapshot-assisted layout also reports any other error answer whole.
  if (m_response.m_iStatus < 200 || m_response.m_iStatus > 299) {
    if (text.find(kErrorStart) != std::u16string::npos &&
        text.find(kErrorEnd) != std::u16string::npos) {
      SetS3Error(text);
    } else {
      platform::SetLastErrorText(u"the server answered with HTTP status " +
                                 Utf8ToU16(std::to_string(m_response.m_iStatus)));
    }
    if (CurrentLayout().ReportsPlainErrorAnswers() &&
        text.find(kErrorStart) == std::u16string::npos) {
      Report(text + u"\r\n");
    }
    m_response.m_iRetry = 1;
  }

  // 14. Text, ETag and bytes of this answer (no bytes without a
  // Content-Length).  The request's own body stays for a repeated Send.
  m_response.m_strText = text;
  std::string etag;
  m_response.m_strETag = request->QueryETag(&etag) ? Utf8ToU16(etag) : std::u16string();
  m_bAnswerRead = true;
  if (answer_bytes != nullptr) {
    m_response.AdoptBody(answer_bytes->Release(), static_cast<std::int32_t>(content_length));
  } else {
    m_response.SetBody(nullptr, 0);
  }

  // 15. End the request (its result does not matter once the answer is
  // read), close the handles, return the text.
  request->EndRequest();
  close();
  return text;
}

void SetS3Error(const std::u16string& answer_text) {
  std::u16string code = answer_text;
  const size_t start = code.find(kErrorStart);
  if (start != std::u16string::npos) {
    code.erase(0, start + std::char_traits<char16_t>::length(kErrorStart));
  }
  const size_t end = code.find(kErrorEnd);
  if (end != std::u16string::npos) code.erase(end);
  Report(code);
  platform::SetLastError(platform::kLastErrorS3);
  // For the host: the code and S3's own words, "NoSuchBucket: The specified
  // bucket does not exist" (the message only when the document has one).
  std::u16string text = code;
  const size_t message = answer_text.find(u"<Message>");
  const size_t message_end = answer_text.find(u"</Message>", message);
  if (message != std::u16string::npos && message_end != std::u16string::npos) {
    const size_t from = message + std::char_traits<char16_t>::length(u"<Message>");
    text += u": " + DecodeXmlText(std::u16string_view(answer_text)
                                       .substr(from, std::min<size_t>(message_end - from, 512)));
  }
  platform::SetLastErrorText(text);
}
