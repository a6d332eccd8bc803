// The HTTP handles of platform/http.h on WinINet.
//
//   session      InternetOpenW ("User-Agent", named proxy with the proxy
//                credentials, or the preconfigured access), timeouts set
//   connection   InternetConnectW (HTTP service, no user name or password)
//   request      HttpOpenRequestW (HTTP/1.1, secure, no cache write, no
//                cookies, no redirects), HttpAddRequestHeadersW (add and
//                replace), HttpSendRequestW with the whole body, or
//                HttpSendRequestExW + InternetWriteFile + HttpEndRequestW,
//                HttpQueryInfoW (the status as a number, Content-Length and
//                ETag as text), InternetReadFile
//
// Closing a WinINet handle also invalidates the handles opened below it, and
// the caller may destroy the three objects in any order, so each object
// keeps a reference to its parent's handle: a handle is closed only after
// every handle below it.

#include "platform/win32_api.h"

#include <wininet.h>

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

#include "common/wide_string.h"
#include "platform/http_checks.h"
#include "platform/http_win32.h"
#include "platform/last_error.h"

namespace platform {
namespace {

constexpr wchar_t kAgentName[] = L"User-Agent";
constexpr DWORD kConnectTimeoutMs = 30 * 1000;
constexpr DWORD kTransferTimeoutMs = 60 * 1000;

// Why a WinINet call failed, as the thread's last-error text: WinINet's
// own words for the code where it has them, with "certificate" first where
// verification refused the peer.
void NoteFailure(DWORD code) {
  std::u16string text = u"WinINet error " + Utf8ToU16(std::to_string(code));
  wchar_t* words = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      ::GetModuleHandleW(L"wininet.dll"), code, 0, reinterpret_cast<wchar_t*>(&words), 0, nullptr);
  if (n > 0 && words != nullptr) {
    std::u16string said = WideToU16(std::wstring(words, n));
    while (!said.empty() && (said.back() == u'\r' || said.back() == u'\n' || said.back() == u' ')) {
      said.pop_back();
    }
    if (!said.empty()) text = said + u" (" + text + u")";
  }
  if (words != nullptr) ::LocalFree(words);
  switch (code) {
    case ERROR_INTERNET_INVALID_CA:
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SEC_CERT_NO_REV:
    case ERROR_INTERNET_SEC_CERT_REV_FAILED:
    case ERROR_INTERNET_SEC_CERT_REVOKED:
    case ERROR_INTERNET_SEC_INVALID_CERT:
      text = u"TLS certificate verification failed: " + text;
      break;
    default:
      break;
  }
  SetLastErrorText(text);
}

// One WinINet handle, closed when the last reference to it goes, and the
// handle it was opened under.
class InternetHandle {
 public:
  InternetHandle(HINTERNET handle, std::shared_ptr<InternetHandle> parent)
      : handle_(handle), parent_(std::move(parent)) {}
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
  ~InternetHandle() { ::InternetCloseHandle(handle_); }
  HINTERNET get() const { return handle_; }

 private:
  const HINTERNET handle_;
  const std::shared_ptr<InternetHandle> parent_;
};

using HandleRef = std::shared_ptr<InternetHandle>;

bool IsAscii(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x80;
  });
}

std::wstring WideFromUtf8(const std::string& text) {
  return ToWide(Utf8ToU16(text));
}

// Sets a string option: the length counts the characters' bytes without
// the terminator, and the text stays terminated for the implementations
// that read up to it.
bool SetStringOption(HINTERNET handle, DWORD option, const std::wstring& value) {
  return ::InternetSetOptionW(handle, option, const_cast<wchar_t*>(value.c_str()),
                              static_cast<DWORD>(value.size() * sizeof(wchar_t))) != 0;
}

bool SetTimeout(HINTERNET handle, DWORD option, DWORD milliseconds) {
  return ::InternetSetOptionW(handle, option, &milliseconds, sizeof(milliseconds)) != 0;
}

class WinInetRequest final : public HttpRequestHandle {
 public:
  // `collect_body`: a streamed body is collected and sent in one call once
  // its last byte is written (see SendRequestStreamed).
  WinInetRequest(HandleRef handle, bool collect_body,
                 const HttpSessionOptions& options)
      : handle_(std::move(handle)),
        collect_body_(collect_body),
        options_(options) {}

  bool AddHeaderLine(const std::string& line) override {
    if (started_) return false;
    std::string name;
    std::string value;
    if (!SplitHeaderLine(line, &name, &value) || !IsAscii(value)) return false;
    const auto added = std::find_if(
        added_.begin(), added_.end(),
        [&name](const std::string& n) { return EqualsIgnoreAsciiCase(n, name); });
    if (IsBlankOnly(value)) {
      // "Name:" with the replace flag removes the header.  Only a header
      // added here can be there, and for one that is not some WinINets add
      // the empty line instead.
      if (added == added_.end()) return true;
      const std::wstring removal = WideFromUtf8(name + ":");
      added_.erase(added);
      return ::HttpAddRequestHeadersW(handle_->get(), removal.c_str(),
                                      static_cast<DWORD>(removal.size()),
                                      HTTP_ADDREQ_FLAG_REPLACE) != 0;
    }
    const std::wstring wide = WideFromUtf8(line);
    if (!::HttpAddRequestHeadersW(handle_->get(), wide.c_str(),
                                  static_cast<DWORD>(wide.size()),
                                  HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE)) {
      return false;
    }
    if (added == added_.end()) added_.push_back(name);
    return true;
  }

  bool SendRequest(const std::uint8_t* body, std::uint32_t length) override {
    if (started_) return false;
    if (length > 0 && body == nullptr) return false;
    started_ = true;
    ended_ = true;  // the whole exchange happens in this call
    body_bytes_ = length;
    end_ok_ = Timed([&] {
      return ::HttpSendRequestW(handle_->get(), nullptr, 0,
                                const_cast<std::uint8_t*>(body), length) != 0;
    });
    return end_ok_;
  }

  bool SendRequestStreamed(std::uint64_t total_length) override {
    if (started_) return false;
    if (total_length > std::numeric_limits<DWORD>::max()) return false;
    started_ = true;
    body_bytes_ = total_length;
    if (collect_body_) {
      // Through a proxy the body is collected and sent whole: a proxy that
      // asks for authentication makes WinINet send the request again, and
      // only a body handed over in one call can be sent again.
      announced_left_ = total_length;
      body_.reserve(static_cast<size_t>(total_length));
      if (total_length == 0) SendCollectedBody();
      return !ended_ || end_ok_;
    }
    INTERNET_BUFFERSW buffers{};
    buffers.dwStructSize = sizeof(buffers);
    buffers.dwBufferTotal = static_cast<DWORD>(total_length);
    if (!Timed([&] {
          return ::HttpSendRequestExW(handle_->get(), &buffers, nullptr, 0, 0) != 0;
        })) {
      ended_ = true;
      return false;
    }
    announced_left_ = total_length;
    return true;
  }

  bool WriteData(const std::uint8_t* data, std::uint32_t length,
                 std::uint32_t* written) override {
    *written = 0;
    if (!started_ || (ended_ && !dropping_)) return false;
    if (length == 0) return true;
    if (data == nullptr || length > announced_left_) return false;
    if (collect_body_) {
      body_.insert(body_.end(), data, data + length);
      announced_left_ -= length;
      if (announced_left_ == 0 && !SendCollectedBody()) return false;
      *written = length;
      return true;
    }
    if (!dropping_) {
      std::uint32_t done = 0;
      while (done < length) {
        DWORD n = 0;
        if (!Timed([&] {
              return ::InternetWriteFile(handle_->get(), data + done, length - done,
                                         &n) != 0;
            }) ||
            n == 0) {
          break;
        }
        done += n;
      }
      if (done < length) {
        // The server may have answered and closed early: with an error
        // answer in hand, the rest of the body is dropped.
        if (!EndStreamedSend() || !IsErrorAnswer()) {
          announced_left_ -= done;
          return false;
        }
        dropping_ = true;
      }
    }
    announced_left_ -= length;
    *written = length;
    return true;
  }

  // Read as text: the numeric form of the query holds 32 bits at most and
  // would wrap a larger length into a plausible one.
  bool QueryContentLength(std::uint64_t* length) override {
    return AwaitAnswer() && ReadContentLength(length);
  }

  bool QueryStatusCode(std::uint32_t* status) override {
    if (!AwaitAnswer()) return false;
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (!::HttpQueryInfoW(handle_->get(),
                          HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                          &value, &size, nullptr) ||
        value == 0) {
      return false;
    }
    *status = value;
    return true;
  }

  bool QueryETag(std::string* value) override {
    std::wstring text;
    if (!AwaitAnswer() || !QueryText(HTTP_QUERY_ETAG, &text)) return false;
    std::string etag = U16ToUtf8(FromWide(text));
    while (!etag.empty() && (etag.front() == ' ' || etag.front() == '\t')) etag.erase(0, 1);
    while (!etag.empty() && (etag.back() == ' ' || etag.back() == '\t')) etag.pop_back();
    *value = etag;
    return true;
  }

  bool ReadData(std::uint8_t* buffer, std::uint32_t size,
                std::uint32_t* read) override {
    *read = 0;
    if (!AwaitAnswer()) return false;
    // Like a blocking read: the call returns once `size` bytes are in or the
    // answer has ended; a failure after some bytes shows at the next call.
    // Each read takes what has arrived: a read of more would wait for all
    // of it, past the deadline, from a peer that sends a little at a time.
    std::uint32_t copied = 0;
    while (copied < size) {
      DWORD available = 0;
      DWORD n = 0;
      if (!Timed([&] {
            return ::InternetQueryDataAvailable(handle_->get(), &available, 0, 0) != 0;
          }) ||
          (available > 0 &&
           !Timed([&] {
             return ::InternetReadFile(handle_->get(), buffer + copied,
                                       std::min<DWORD>(available, size - copied), &n) != 0;
           }))) {
        if (copied == 0) return false;
        break;
      }
      if (n == 0) break;
      copied += n;
    }
    *read = copied;
    return true;
  }

  bool EndRequest() override { return AwaitAnswer(); }

 private:
  // The answer of the exchange is in: for a streamed send, once every
  // announced byte went out (or the rest was dropped) and HttpEndRequestW
  // has read the answer's head.
  bool AwaitAnswer() {
    if (!started_) return false;
    if (!ended_ && announced_left_ > 0) return false;  // body unsent
    if (!ended_) EndStreamedSend();
    if (end_ok_ && !answer_counted_) {
      answer_counted_ = true;
      std::uint64_t length = 0;
      if (ReadContentLength(&length)) answer_bytes_ = length;
    }
    return end_ok_;
  }

  // The answer's Content-Length, read as text: the numeric form of the
  // query holds 32 bits at most and would wrap a larger length into a
  // plausible one.
  bool ReadContentLength(std::uint64_t* length) {
    std::wstring text;
    return QueryText(HTTP_QUERY_CONTENT_LENGTH, &text) &&
           ParseContentLengthValue(U16ToUtf8(FromWide(text)), length);
  }

  // The text of one answer header (`info`, an HTTP_QUERY_ value); false
  // when the answer has none.
  bool QueryText(DWORD info, std::wstring* out) {
    std::wstring text(32, L'\0');
    for (;;) {
      DWORD bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
      if (::HttpQueryInfoW(handle_->get(), info, text.data(), &bytes, nullptr)) {
        text.resize(bytes / sizeof(wchar_t));
        *out = std::move(text);
        return true;
      }
      if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER ||
          bytes / sizeof(wchar_t) <= text.size()) {
        return false;
      }
      text.resize(bytes / sizeof(wchar_t));
    }
  }

  // Runs one call that waits for the peer and counts the time it took
  // against the deadline.  Once the time spent has passed the deadline,
  // the call is not made and fails, as does every later one.  A single
  // call is bounded by the transfer timeout, so an exchange ends at most
  // that much after its deadline.
  template <typename Call>
  bool Timed(const Call& call) {
    if (spent_ms_ > DeadlineMs()) expired_ = true;
    if (expired_) return false;
    const ULONGLONG start = ::GetTickCount64();
    const bool ok = call();
    if (!ok) NoteFailure(::GetLastError());
    spent_ms_ += ::GetTickCount64() - start;
    if (spent_ms_ > DeadlineMs()) expired_ = true;
    return ok && !expired_;
  }

  std::uint64_t DeadlineMs() const {
    return ExchangeDeadlineMs(options_, body_bytes_, answer_bytes_);
  }

  bool SendCollectedBody() {
    ended_ = true;
    end_ok_ = Timed([&] {
      return ::HttpSendRequestW(handle_->get(), nullptr, 0, body_.data(),
                                static_cast<DWORD>(body_.size())) != 0;
    });
    std::vector<std::uint8_t>().swap(body_);
    return end_ok_;
  }

  bool EndStreamedSend() {
    if (!ended_) {
      ended_ = true;
      end_ok_ = Timed([&] { return ::HttpEndRequestW(handle_->get(), nullptr, 0, 0) != 0; });
    }
    return end_ok_;
  }

  bool IsErrorAnswer() {
    DWORD value = 0;
    DWORD size = sizeof(value);
    return ::HttpQueryInfoW(handle_->get(),
                            HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                            &value, &size, nullptr) &&
           value >= 300;
  }

  const HandleRef handle_;
  const bool collect_body_;
  std::vector<std::uint8_t> body_;  // a collected body, until it is sent
  std::vector<std::string> added_;  // names of the header lines added
  bool started_ = false;
  // The answer has been awaited (one-shot send, HttpEndRequestW, or a
  // failed start), and whether that succeeded.
  bool ended_ = false;
  bool end_ok_ = false;
  std::uint64_t announced_left_ = 0;
  bool dropping_ = false;
  // What the exchange's deadline is reckoned from: the session's options,
  // the announced body and the answer's announced length (0 until read).
  const HttpSessionOptions options_;
  std::uint64_t body_bytes_ = 0;
  std::uint64_t answer_bytes_ = 0;
  bool answer_counted_ = false;  // the answer's length has been read
  // The time the exchange's calls spent waiting, in ms.
  std::uint64_t spent_ms_ = 0;
  bool expired_ = false;
};

class WinInetConnection final : public HttpConnection {
 public:
  WinInetConnection(HandleRef handle, const HttpSessionOptions& options)
      : handle_(std::move(handle)), options_(options) {}

  std::unique_ptr<HttpRequestHandle> OpenRequest(const std::string& verb,
                                                 const std::string& path,
                                                 bool /*secure*/) override {
    // Every request is made over TLS, whatever was asked.
    if (!IsHttpToken(verb) || !IsRequestTarget(path) || !IsAscii(path)) {
      return nullptr;
    }
    DWORD flags = INTERNET_FLAG_SECURE | INTERNET_FLAG_NO_CACHE_WRITE |
                  INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_COOKIES |
                  INTERNET_FLAG_NO_UI;
    // Proxy authentication needs WinINet's authentication; without a proxy
    // nothing may answer a server's challenge with the user's credentials.
    if (!options_.use_proxy) flags |= INTERNET_FLAG_NO_AUTH;
    const std::wstring wide_verb = WideFromUtf8(verb);
    const std::wstring wide_path = WideFromUtf8(path);
    const HINTERNET request =
        ::HttpOpenRequestW(handle_->get(), wide_verb.c_str(), wide_path.c_str(),
                           L"HTTP/1.1", nullptr, nullptr, flags, 0);
    if (request == nullptr) return nullptr;
    auto handle = std::make_shared<InternetHandle>(request, handle_);
    // Proxy credentials are taken from the request handle by every WinINet
    // (the session's copy is not read by all of them).
    if (options_.use_proxy &&
        (!SetStringOption(request, INTERNET_OPTION_PROXY_USERNAME,
                          WideFromUtf8(options_.proxy_user_name)) ||
         !SetStringOption(request, INTERNET_OPTION_PROXY_PASSWORD,
                          WideFromUtf8(options_.proxy_password)))) {
      return nullptr;
    }
    SetTimeout(request, INTERNET_OPTION_SEND_TIMEOUT, kTransferTimeoutMs);
    SetTimeout(request, INTERNET_OPTION_RECEIVE_TIMEOUT, kTransferTimeoutMs);
    return std::make_unique<WinInetRequest>(std::move(handle), options_.use_proxy,
                                            options_);
  }

 private:
  const HandleRef handle_;
  const HttpSessionOptions options_;
};

class WinInetSession final : public HttpSession {
 public:
  WinInetSession(HandleRef handle, const HttpSessionOptions& options)
      : handle_(std::move(handle)), options_(options) {}

  std::unique_ptr<HttpConnection> Connect(const std::string& host,
                                          std::uint16_t port) override {
    if (!IsHostText(host)) return nullptr;
    const std::wstring wide_host = WideFromUtf8(host);
    const HINTERNET connection = ::InternetConnectW(
        handle_->get(), wide_host.c_str(),
        port != 0 ? port : INTERNET_DEFAULT_HTTPS_PORT, nullptr, nullptr,
        INTERNET_SERVICE_HTTP, 0, 0);
    if (connection == nullptr) return nullptr;
    return std::make_unique<WinInetConnection>(
        std::make_shared<InternetHandle>(connection, handle_), options_);
  }

 private:
  const HandleRef handle_;
  const HttpSessionOptions options_;
};

}  // namespace

std::unique_ptr<HttpSession> OpenWinInetHttpSession(
    const HttpSessionOptions& options) {
  // A proxy that is asked for but not named would silently become a direct
  // connection.
  if (options.use_proxy && options.proxy.empty()) return nullptr;
  const std::wstring proxy = WideFromUtf8(options.proxy);
  const HINTERNET session =
      options.use_proxy
          ? ::InternetOpenW(kAgentName, INTERNET_OPEN_TYPE_PROXY, proxy.c_str(),
                            nullptr, 0)
          : ::InternetOpenW(kAgentName, INTERNET_OPEN_TYPE_PRECONFIG, nullptr,
                            nullptr, 0);
  if (session == nullptr) return nullptr;
  auto handle = std::make_shared<InternetHandle>(session, nullptr);
  if (options.use_proxy) {
    // The session's proxy credentials, for the WinINet that reads them
    // there; the requests get their own copy.
    SetStringOption(session, INTERNET_OPTION_PROXY_USERNAME,
                    WideFromUtf8(options.proxy_user_name));
    SetStringOption(session, INTERNET_OPTION_PROXY_PASSWORD,
                    WideFromUtf8(options.proxy_password));
  }
  SetTimeout(session, INTERNET_OPTION_CONNECT_TIMEOUT, kConnectTimeoutMs);
  SetTimeout(session, INTERNET_OPTION_SEND_TIMEOUT, kTransferTimeoutMs);
  SetTimeout(session, INTERNET_OPTION_RECEIVE_TIMEOUT, kTransferTimeoutMs);
  return std::make_unique<WinInetSession>(std::move(handle), options);
}

}  // namespace platform
