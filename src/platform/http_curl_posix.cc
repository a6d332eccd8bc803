// The HTTP handles of platform/http.h on libcurl.
//
// Every request is one curl easy handle driven by a multi handle, so the
// exchange can be pushed forward step by step in the order the caller asks
// for it:
//
//   AddHeaderLine        collects the lines; nothing goes out yet.
//   SendRequest          starts the transfer with the whole body and drives
//                        it until the answer's headers are in.
//   SendRequestStreamed  starts the transfer with an announced length and
//                        drives it until curl asks for the first body byte.
//   WriteData            collects the caller's pieces into batches of
//                        kSendBatchBytes and hands each batch to curl (the
//                        read callback pauses the upload until the next one
//                        arrives), driving the transfer until curl has taken
//                        all of it; after an early error answer (status 300
//                        or more) libcurl stops sending and the rest is
//                        dropped.  Batching keeps small pieces from each
//                        becoming a TLS record and a system call of its own;
//                        a piece of a whole batch or more goes to curl from
//                        the caller's memory, uncopied.
//   Query...             drive the transfer until the answer's headers are in.
//   ReadData             pulls answer bytes out of a bounded buffer that the
//                        write callback fills; the download is paused while
//                        the buffer is full, so memory stays bounded whatever
//                        the answer's size.  While the buffer is empty the
//                        write callback fills the caller's buffer directly.
//
// The handles come from the process's connection pool (platform/curl_pool.h):
// a request whose transfer ended cleanly hands its connection back for the
// next request with the same host, port, trust file and proxy settings; any
// other request closes its connection.  A request goes out on the wire at
// most once: should libcurl find a reused connection dead and want to send
// the request again on a new one, the transfer fails instead, exactly as a
// failed send on a new connection would, and the caller's repeat rules apply.
//
// The answer's Content-Length is libcurl's; a length too large for libcurl
// to represent (which it then ignores) is reported as the largest 64-bit
// value, so that the caller still refuses it.
//
// Options, chosen so that the server sees exactly the caller's request:
//   - the URL is "https://" + host + ":" + port + path, the path taken as is
//     (CURLOPT_PATH_AS_IS) and only https allowed (CURLOPT_PROTOCOLS_STR):
//     TLS on every request whatever the port;
//   - certificate and host name always verified; against the file of the
//     session options alone when one is set (CURLOPT_CAINFO, and no
//     CURLOPT_CAPATH), else the system's trust store;
//   - HTTP/1.1, no redirects followed, no compression asked for;
//   - the default "Accept: */*" and "Expect: 100-continue" lines removed;
//     no User-Agent (libcurl sends none unless told); a body goes out with
//     CURLOPT_UPLOAD and CURLOPT_INFILESIZE_LARGE, so it carries
//     "Content-Length: <announced length>" (also 0) and no Content-Type;
//   - a proxy, when asked for, through CURLOPT_PROXY with its user name and
//     password (an https request tunnels with CONNECT; the proxy's answers
//     to CONNECT are not mixed into the server's headers); otherwise
//     libcurl's default, the proxies preconfigured in the environment;
//   - CURLOPT_NOSIGNAL; TLS sessions resumed through the pool's share object;
//   - a dead peer never hangs a run: connecting (TCP, TLS and proxy tunnel)
//     is given kConnectTimeoutSeconds, and a transfer that moves less than
//     one byte per second for kLowSpeedSeconds is aborted.
//
// The exchange's deadline (platform/http.h, reckoned by ExchangeDeadlineMs
// of platform/http_checks.h) is kept here rather than with
// CURLOPT_TIMEOUT, which would also count the caller's pauses between
// calls: Wait() adds up the time spent in curl_multi_poll, the only place
// where a request waits for its peer, and ends the transfer as timed out
// once the sum passes the deadline.

#include "platform/http_curl.h"

#include <curl/curl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/curl_pool.h"
#include "platform/http_checks.h"
#include "platform/last_error.h"

namespace platform {
namespace {

constexpr long kConnectTimeoutSeconds = 30;
constexpr long kLowSpeedSeconds = 60;
constexpr long kLowSpeedBytesPerSecond = 1;
// Longest wait of one poll round; curl's own timers cut it shorter.
constexpr int kPollMilliseconds = 1000;
// Answer bytes held for ReadData before the download is paused.
constexpr size_t kReceiveBufferLimit = 64 * 1024;
// Streamed body bytes collected before they are handed to curl (the size of
// curl's own upload buffer).
constexpr size_t kSendBatchBytes = 64 * 1024;

// Why a transfer failed, as the thread's last-error text: libcurl's words
// for the code, with "certificate" first where verification refused the
// peer, so that a host can tell that from a server that is not there.
void NoteFailure(CURLcode code) {
  std::string text = curl_easy_strerror(code);
  if (code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CACERT_BADFILE ||
      code == CURLE_SSL_CERTPROBLEM || code == CURLE_SSL_ISSUER_ERROR) {
    text = "TLS certificate verification failed (" + text + ")";
  }
  std::u16string wide;
  for (const char c : text) wide.push_back(static_cast<unsigned char>(c));
  SetLastErrorText(wide);
}

// curl_global_init is not thread-safe; it runs once per process.
bool GlobalInit() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] { ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
  return ok;
}

// Value of a "Content-Length:" header line, saturating at the largest
// 64-bit value; false when the line is not one or the value is no number.
bool ParseContentLengthLine(const char* data, size_t size, std::uint64_t* value) {
  static const char kName[] = "content-length:";
  const size_t name_length = sizeof(kName) - 1;
  if (size < name_length) return false;
  if (!EqualsIgnoreAsciiCase(std::string(data, name_length), kName)) return false;
  return ParseContentLengthValue(std::string_view(data + name_length, size - name_length),
                                 value);
}

class CurlRequest final : public HttpRequestHandle {
 public:
  CurlRequest(const HttpSessionOptions& options, std::string url, std::string verb)
      : options_(options), url_(std::move(url)), verb_(std::move(verb)) {}

  ~CurlRequest() override {
    if (added_) curl_multi_remove_handle(multi_, easy_);
    // Only a connection whose exchange ended cleanly (or never began) is
    // kept; destroying the channel closes any other.
    if (channel_ != nullptr && (!started_ || (finished_ && result_ == CURLE_OK))) {
      ReturnCurlChannel(std::move(channel_));
    }
    channel_.reset();
    if (header_list_ != nullptr) curl_slist_free_all(header_list_);
  }

  bool Init(const std::string& pool_key) {
    channel_ = TakeCurlChannel(pool_key);
    if (channel_ == nullptr) return false;
    easy_ = channel_->easy();
    multi_ = channel_->multi();
    return true;
  }

  bool AddHeaderLine(const std::string& line) override {
    if (started_) return false;
    std::string name;
    std::string value;
    if (!SplitHeaderLine(line, &name, &value)) return false;
    auto it = std::find_if(headers_.begin(), headers_.end(),
                           [&](const std::pair<std::string, std::string>& h) {
                             return EqualsIgnoreAsciiCase(h.first, name);
                           });
    // libcurl drops a line whose value is only blanks, so such a value
    // removes the header like an empty one does.
    if (IsBlankOnly(value)) {
      if (it != headers_.end()) headers_.erase(it);
      return true;
    }
    if (it != headers_.end()) {
      *it = {name, value};
    } else {
      headers_.emplace_back(name, value);
    }
    return true;
  }

  bool SendRequest(const std::uint8_t* body, std::uint32_t length) override {
    if (started_) return false;
    if (length > 0 && body == nullptr) return false;
    body_length_ = length;
    one_shot_body_.assign(body, body + length);
    send_data_ = one_shot_body_.data();
    send_left_ = one_shot_body_.size();
    announced_left_ = length;
    const bool upload = length > 0 || verb_ == "PUT" || verb_ == "POST";
    if (!Start(upload, length)) return false;
    Drive([this] { return headers_done_; });
    return headers_done_;
  }

  bool SendRequestStreamed(std::uint64_t total_length) override {
    if (started_) return false;
    if (total_length > static_cast<std::uint64_t>(
                           std::numeric_limits<curl_off_t>::max())) {
      return false;
    }
    announced_left_ = total_length;
    accept_left_ = total_length;
    batch_.reserve(static_cast<size_t>(std::min<std::uint64_t>(total_length, kSendBatchBytes)));
    body_length_ = total_length;
    if (!Start(true, total_length)) return false;
    // Connected (and the request head on its way) once curl asks for body
    // bytes; an empty body goes out at once and the answer is awaited.
    Drive([this] { return send_paused_ || headers_done_; });
    return send_paused_ || headers_done_;
  }

  bool WriteData(const std::uint8_t* data, std::uint32_t length,
                 std::uint32_t* written) override {
    *written = 0;
    if (!started_) return false;
    if (length == 0) return true;
    if (data == nullptr || length > accept_left_) return false;
    // An error answer that arrives before the whole body went out makes
    // libcurl stop sending; the rest of the body is then dropped, so that
    // the answer can still be read.
    if (!dropping_ && headers_done_ && (EarlyErrorAnswer() || finished_)) Drop();
    if (dropping_) {
      accept_left_ -= length;
      *written = length;
      return true;
    }
    if (finished_) return false;
    if (batch_.empty() && length >= kSendBatchBytes) {
      // A piece as large as a batch goes to curl from the caller's memory.
      accept_left_ -= length;
      if (!SendBytes(data, length)) return false;
      *written = length;
      return true;
    }
    batch_.insert(batch_.end(), data, data + length);
    accept_left_ -= length;
    if (batch_.size() < kSendBatchBytes && accept_left_ > 0) {
      *written = length;
      return true;
    }
    if (!SendBatch()) return false;
    *written = length;
    return true;
  }

  bool QueryContentLength(std::uint64_t* length) override {
    if (!AwaitHeaders()) return false;
    curl_off_t known = -1;
    if (curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &known) ==
            CURLE_OK &&
        known >= 0) {
      *length = static_cast<std::uint64_t>(known);
      return true;
    }
    // libcurl ignores a length it cannot represent and reads to the end of
    // the connection; the caller still learns that a length was announced.
    if (content_length_seen_ && !chunked_) {
      *length = content_length_;
      return true;
    }
    return false;
  }

  bool QueryStatusCode(std::uint32_t* status) override {
    if (!AwaitHeaders()) return false;
    long code = 0;
    if (curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK ||
        code <= 0) {
      return false;
    }
    *status = static_cast<std::uint32_t>(code);
    return true;
  }

  bool QueryETag(std::string* value) override {
    if (!AwaitHeaders() || !etag_seen_) return false;
    *value = etag_;
    return true;
  }

  bool ReadData(std::uint8_t* buffer, std::uint32_t size,
                std::uint32_t* read) override {
    *read = 0;
    if (!AwaitHeaders()) return false;
    // Like a blocking read of the platform facility: the call returns once
    // `size` bytes are in or the answer has ended.
    std::uint32_t copied = 0;
    while (copied < size) {
      const size_t available = ReceiveBuffered();
      if (available > 0) {
        const size_t n = std::min<size_t>(available, size - copied);
        std::memcpy(buffer + copied, receive_.data() + receive_offset_, n);
        receive_offset_ += n;
        if (receive_offset_ == receive_.size()) {
          receive_.clear();
          receive_offset_ = 0;
        }
        copied += static_cast<std::uint32_t>(n);
        continue;
      }
      if (finished_) break;
      if (send_paused_ && announced_left_ > 0 && !dropping_) break;  // body unsent
      // Nothing is buffered: what curl delivers next goes straight into the
      // caller's buffer (OnWrite), sparing a copy and a pause.
      direct_ = buffer + copied;
      direct_room_ = size - copied;
      const bool resumed = recv_paused_;
      bool driving = true;
      if (resumed) {
        ResumeReceive();
      } else {
        driving = Step();
      }
      const std::uint32_t delivered = size - copied - static_cast<std::uint32_t>(direct_room_);
      direct_ = nullptr;
      direct_room_ = 0;
      copied += delivered;
      if (resumed || !driving) continue;  // after a transfer's end, take what it left
      if (delivered == 0 && ReceiveBuffered() == 0 && !Wait()) break;
    }
    *read = copied;
    if (copied > 0) return true;  // a failure shows at the next read
    return finished_ && result_ == CURLE_OK;
  }

  bool EndRequest() override { return started_ && !Failed(); }

 private:
  bool Failed() const { return finished_ && result_ != CURLE_OK; }

  // True once the answer's headers are in with a status of 300 or more.
  bool EarlyErrorAnswer() const {
    if (!headers_done_) return false;
    long code = 0;
    curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &code);
    return code >= 300;
  }

  size_t ReceiveBuffered() const { return receive_.size() - receive_offset_; }

  // Stops sending: the body bytes not yet taken are dropped.
  void Drop() {
    dropping_ = true;
    announced_left_ = 0;
    batch_.clear();
  }

  // Hands the collected batch to curl and drives the transfer until curl
  // took all of it, or an early error answer ended the upload (the rest is
  // then dropped).  False when the transfer failed first.
  bool SendBatch() {
    const bool sent = SendBytes(batch_.data(), batch_.size());
    batch_.clear();
    return sent;
  }

  // Hands `length` bytes at `data` to curl and drives the transfer until
  // curl has taken them all (or the server answered early).
  bool SendBytes(const std::uint8_t* data, size_t length) {
    send_data_ = data;
    send_left_ = length;
    ResumeSend();
    Drive([this] { return send_left_ == 0 || EarlyErrorAnswer(); });
    const size_t left = send_left_;
    send_data_ = nullptr;
    send_left_ = 0;
    if (left == 0) return true;
    if (headers_done_ && (EarlyErrorAnswer() || finished_)) {
      Drop();
      return true;
    }
    return false;
  }

  bool Start(bool upload, std::uint64_t length) {
    started_ = true;
    if (!Configure(upload, length)) {
      finished_ = true;
      result_ = CURLE_FAILED_INIT;
      return false;
    }
    if (curl_multi_add_handle(multi_, easy_) != CURLM_OK) {
      finished_ = true;
      result_ = CURLE_FAILED_INIT;
      return false;
    }
    added_ = true;
    return true;
  }

  bool Configure(bool upload, std::uint64_t length) {
    bool ok = true;
    auto set = [&ok](CURLcode code) { ok = ok && code == CURLE_OK; };
    set(curl_easy_setopt(easy_, CURLOPT_URL, url_.c_str()));
    set(curl_easy_setopt(easy_, CURLOPT_PATH_AS_IS, 1L));
    set(curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "https"));
    set(curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, "https"));
    set(curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 0L));
    set(curl_easy_setopt(easy_, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)));
    set(curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L));
    set(curl_easy_setopt(easy_, CURLOPT_BUFFERSIZE, 256L * 1024));
    if (channel_->share() != nullptr) {
      set(curl_easy_setopt(easy_, CURLOPT_SHARE, channel_->share()));
    }
    ok = ok && channel_->WatchSockets();
    set(curl_easy_setopt(easy_, CURLOPT_PREREQFUNCTION, &CurlRequest::OnPrerequest));
    set(curl_easy_setopt(easy_, CURLOPT_PREREQDATA, this));
    set(curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYPEER, 1L));
    set(curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYHOST, 2L));
    if (!options_.ca_cert_file.empty()) {
      // The file alone: libcurl would otherwise also trust every CA of the
      // system's certificate directory beside it.
      set(curl_easy_setopt(easy_, CURLOPT_CAINFO, options_.ca_cert_file.c_str()));
      set(curl_easy_setopt(easy_, CURLOPT_CAPATH, nullptr));
    }
    set(curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds));
    set(curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedBytesPerSecond));
    set(curl_easy_setopt(easy_, CURLOPT_LOW_SPEED_TIME, kLowSpeedSeconds));
    if (options_.use_proxy) {
      set(curl_easy_setopt(easy_, CURLOPT_PROXY, options_.proxy.c_str()));
      set(curl_easy_setopt(easy_, CURLOPT_PROXYUSERNAME, options_.proxy_user_name.c_str()));
      set(curl_easy_setopt(easy_, CURLOPT_PROXYPASSWORD, options_.proxy_password.c_str()));
      set(curl_easy_setopt(easy_, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_ANY)));
      set(curl_easy_setopt(easy_, CURLOPT_HTTPPROXYTUNNEL, 1L));
    }
    set(curl_easy_setopt(easy_, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L));

    if (upload) {
      set(curl_easy_setopt(easy_, CURLOPT_UPLOAD, 1L));
      set(curl_easy_setopt(easy_, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(length)));
      set(curl_easy_setopt(easy_, CURLOPT_READFUNCTION, &CurlRequest::OnRead));
      set(curl_easy_setopt(easy_, CURLOPT_READDATA, this));
      if (verb_ != "PUT") {
        set(curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, verb_.c_str()));
      }
    } else if (verb_ == "HEAD") {
      set(curl_easy_setopt(easy_, CURLOPT_NOBODY, 1L));
    } else if (verb_ != "GET") {
      set(curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, verb_.c_str()));
    }
    set(curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &CurlRequest::OnHeader));
    set(curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this));
    set(curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlRequest::OnWrite));
    set(curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this));

    // The caller's lines, then the removal of libcurl's defaults that the
    // caller did not set itself ("Name:" with nothing after the colon tells
    // libcurl to leave its own line out).
    bool has_accept = false;
    bool has_expect = false;
    for (const auto& [name, value] : headers_) {
      has_accept = has_accept || EqualsIgnoreAsciiCase(name, "Accept");
      has_expect = has_expect || EqualsIgnoreAsciiCase(name, "Expect");
      ok = ok && Append(name + ": " + value);
    }
    if (!has_accept) ok = ok && Append("Accept:");
    if (!has_expect) ok = ok && Append("Expect:");
    set(curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, header_list_));
    return ok;
  }

  bool Append(const std::string& line) {
    curl_slist* list = curl_slist_append(header_list_, line.c_str());
    if (list == nullptr) return false;
    header_list_ = list;
    return true;
  }

  // One round: let curl work, collect the end of the transfer, and wait
  // for the sockets when nothing is ready.  Returns false when no further
  // progress can come of driving (the transfer ended or the multi handle
  // failed).
  bool Step() {
    if (finished_) return false;
    int running = 0;
    if (curl_multi_perform(multi_, &running) != CURLM_OK) {
      finished_ = true;
      result_ = CURLE_FAILED_INIT;
      return false;
    }
    int queued = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &queued)) {
      if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy_) {
        finished_ = true;
        result_ = msg->data.result;
        if (result_ != CURLE_OK) NoteFailure(result_);
      }
    }
    if (finished_) return false;
    return true;
  }

  // Waits until a socket is ready or one of curl's timers is due, but never
  // past the deadline; a request whose waiting reached it ends as timed out.
  bool Wait() {
    // The answer's length counts once its headers announced one.
    const std::uint64_t answer = content_length_seen_ && !chunked_ ? content_length_ : 0;
    const std::uint64_t deadline_ms = ExchangeDeadlineMs(options_, body_length_, answer);
    const std::uint64_t waited_ms = waited_micros_ / 1000;
    if (waited_ms >= deadline_ms) {
      finished_ = true;
      result_ = CURLE_OPERATION_TIMEDOUT;
      SetLastErrorText(u"the exchange passed its deadline");
      return false;
    }
    const std::uint64_t left_ms = deadline_ms - waited_ms;
    const int timeout = static_cast<int>(std::min<std::uint64_t>(kPollMilliseconds, left_ms));
    const auto start = std::chrono::steady_clock::now();
    int ready = 0;
    const CURLMcode polled = curl_multi_poll(multi_, nullptr, 0, timeout, &ready);
    waited_micros_ += static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - start)
            .count());
    if (polled != CURLM_OK) {
      finished_ = true;
      result_ = CURLE_FAILED_INIT;
      return false;
    }
    return true;
  }

  // Drives the transfer until `done` holds or the transfer ended.  Every
  // caller's condition includes the states in which only a further call of
  // the caller can move the exchange on (a paused direction), so this never
  // waits for something that cannot come.
  template <typename Done>
  void Drive(Done done) {
    while (!done() && Step()) {
      if (done() || !Wait()) break;
    }
  }

  bool AwaitHeaders() {
    if (!started_) return false;
    if (!headers_done_) {
      Drive([this] { return headers_done_ || (send_paused_ && announced_left_ > 0); });
    }
    return headers_done_;
  }

  void ResumeSend() {
    if (!send_paused_) return;
    send_paused_ = false;
    // Keep the download paused if it is; the call may run the callbacks.
    curl_easy_pause(easy_, recv_paused_ ? CURLPAUSE_RECV : CURLPAUSE_CONT);
  }

  void ResumeReceive() {
    if (!recv_paused_) return;
    recv_paused_ = false;
    curl_easy_pause(easy_, send_paused_ ? CURLPAUSE_SEND : CURLPAUSE_CONT);
  }

  // Called once a connection is ready, before the request goes out on it.
  // A second call would send the request again on a new connection.
  static int OnPrerequest(void* user, char*, char*, int, int) {
    CurlRequest* self = static_cast<CurlRequest*>(user);
    if (self->request_sent_) return CURL_PREREQFUNC_ABORT;
    self->request_sent_ = true;
    return CURL_PREREQFUNC_OK;
  }

  static size_t OnRead(char* buffer, size_t size, size_t count, void* user) {
    CurlRequest* self = static_cast<CurlRequest*>(user);
    const size_t room = size * count;
    if (self->send_left_ == 0) {
      if (self->announced_left_ == 0) return 0;
      self->send_paused_ = true;
      return CURL_READFUNC_PAUSE;
    }
    const size_t n = std::min(room, self->send_left_);
    std::memcpy(buffer, self->send_data_, n);
    self->send_data_ += n;
    self->send_left_ -= n;
    self->announced_left_ -= n;
    return n;
  }

  static size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    CurlRequest* self = static_cast<CurlRequest*>(user);
    const size_t n = size * count;
    if (self->headers_done_) return n;  // trailers of a chunked answer
    if (n >= 5 && std::memcmp(data, "HTTP/", 5) == 0) {
      // A new answer (after an interim 1xx one): forget what came before.
      self->content_length_seen_ = false;
      self->content_length_ = 0;
      self->chunked_ = false;
      self->etag_seen_ = false;
      self->etag_.clear();
      return n;
    }
    if ((n == 2 && data[0] == '\r' && data[1] == '\n') || (n == 1 && data[0] == '\n')) {
      long code = 0;
      curl_easy_getinfo(self->easy_, CURLINFO_RESPONSE_CODE, &code);
      if (code >= 200 || code < 100) self->headers_done_ = true;
      return n;
    }
    std::uint64_t length = 0;
    if (ParseContentLengthLine(data, n, &length)) {
      if (!self->content_length_seen_) self->content_length_ = length;
      self->content_length_seen_ = true;
    } else if (n >= 18 && EqualsIgnoreAsciiCase(std::string(data, 18), "transfer-encoding:")) {
      self->chunked_ = true;
    } else if (n >= 5 && EqualsIgnoreAsciiCase(std::string(data, 5), "etag:")) {
      std::string_view value(data + 5, n - 5);
      while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
        value.remove_prefix(1);
      }
      while (!value.empty() && (value.back() == '\r' || value.back() == '\n' ||
                                value.back() == ' ' || value.back() == '\t')) {
        value.remove_suffix(1);
      }
      self->etag_.assign(value);
      self->etag_seen_ = true;
    }
    return n;
  }

  static size_t OnWrite(char* data, size_t size, size_t count, void* user) {
    CurlRequest* self = static_cast<CurlRequest*>(user);
    const size_t n = size * count;
    if (self->direct_room_ > 0 && self->ReceiveBuffered() == 0) {
      const size_t taken = std::min(n, self->direct_room_);
      std::memcpy(self->direct_, data, taken);
      self->direct_ += taken;
      self->direct_room_ -= taken;
      if (taken == n) return n;
      // The rest of this block (less than one of curl's blocks) is held;
      // having taken part of it, the callback must not pause.
      self->receive_.clear();
      self->receive_offset_ = 0;
      self->receive_.append(data + taken, n - taken);
      return n;
    }
    const size_t held = self->ReceiveBuffered();
    if (held > 0 && held + n > kReceiveBufferLimit) {
      self->recv_paused_ = true;
      return CURL_WRITEFUNC_PAUSE;
    }
    if (self->receive_offset_ > 0) {
      self->receive_.erase(0, self->receive_offset_);
      self->receive_offset_ = 0;
    }
    self->receive_.append(data, n);
    return n;
  }

  const HttpSessionOptions options_;
  const std::string url_;
  const std::string verb_;

  std::unique_ptr<CurlChannel> channel_;
  CURL* easy_ = nullptr;   // the channel's
  CURLM* multi_ = nullptr;  // the channel's
  curl_slist* header_list_ = nullptr;
  bool added_ = false;
  std::vector<std::pair<std::string, std::string>> headers_;

  bool started_ = false;
  bool request_sent_ = false;
  bool finished_ = false;
  CURLcode result_ = CURLE_OK;

  // Upload: the bytes curl may take now, the announced bytes curl has not
  // yet taken, and those the caller has not yet given (collected in batch_).
  std::vector<std::uint8_t> one_shot_body_;
  std::vector<std::uint8_t> batch_;
  const std::uint8_t* send_data_ = nullptr;
  size_t send_left_ = 0;
  std::uint64_t announced_left_ = 0;
  std::uint64_t accept_left_ = 0;
  std::uint64_t body_length_ = 0;
  bool send_paused_ = false;
  // The server answered early; further body bytes are dropped.
  bool dropping_ = false;

  // Answer.
  bool headers_done_ = false;
  bool content_length_seen_ = false;
  std::uint64_t content_length_ = 0;
  bool chunked_ = false;
  bool etag_seen_ = false;
  std::string etag_;
  std::string receive_;
  size_t receive_offset_ = 0;
  // Set by ReadData while it drives the transfer with nothing buffered: the
  // caller's buffer and its room left, which OnWrite fills first.
  std::uint8_t* direct_ = nullptr;
  size_t direct_room_ = 0;
  bool recv_paused_ = false;

  // Time spent waiting for the peer so far.
  std::uint64_t waited_micros_ = 0;
};

class CurlConnection final : public HttpConnection {
 public:
  CurlConnection(const HttpSessionOptions& options, std::string host, std::uint16_t port)
      : options_(options), host_(std::move(host)), port_(port) {}

  std::unique_ptr<HttpRequestHandle> OpenRequest(const std::string& verb,
                                                 const std::string& path,
                                                 bool /*secure*/) override {
    // Every request is made over TLS, whatever was asked.
    if (!IsHttpToken(verb) || !IsRequestTarget(path)) return nullptr;
    std::string url = "https://" + host_;
    if (port_ != 0) url += ":" + std::to_string(port_);
    url += path;
    auto request = std::make_unique<CurlRequest>(options_, std::move(url), verb);
    if (!request->Init(PoolKey())) return nullptr;
    return request;
  }

 private:
  // Everything a kept connection must match to carry this request, each
  // part ended by a zero byte (no part can hold one).  The trust file counts
  // with its identity and time, so that a file replaced in place is read
  // afresh; the proxies named in the environment count while no proxy is
  // configured, as libcurl reads them at every transfer.
  std::string PoolKey() const {
    std::string key;
    const auto add = [&key](const std::string& part) {
      key += part;
      key += '\0';
    };
    add(host_);
    add(std::to_string(port_));
    add(options_.ca_cert_file);
    struct stat info {};
    if (!options_.ca_cert_file.empty() && ::stat(options_.ca_cert_file.c_str(), &info) == 0) {
      add(std::to_string(info.st_dev) + ':' + std::to_string(info.st_ino) + ':' +
          std::to_string(info.st_size) + ':' + std::to_string(info.st_mtim.tv_sec) + '.' +
          std::to_string(info.st_mtim.tv_nsec));
    }
    if (options_.use_proxy) {
      add("proxy");
      add(options_.proxy);
      add(options_.proxy_user_name);
      add(options_.proxy_password);
    } else {
      for (const char* name : {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                               "no_proxy", "NO_PROXY"}) {
        const char* value = std::getenv(name);
        add(std::string(name) + '=' + (value != nullptr ? value : ""));
      }
    }
    return key;
  }

  const HttpSessionOptions options_;
  const std::string host_;
  const std::uint16_t port_;
};

class CurlSession final : public HttpSession {
 public:
  explicit CurlSession(const HttpSessionOptions& options) : options_(options) {}

  std::unique_ptr<HttpConnection> Connect(const std::string& host,
                                          std::uint16_t port) override {
    if (!IsHostText(host)) return nullptr;
    return std::make_unique<CurlConnection>(options_, host, port);
  }

 private:
  const HttpSessionOptions options_;
};

}  // namespace

std::unique_ptr<HttpSession> OpenCurlHttpSession(const HttpSessionOptions& options) {
  if (!GlobalInit()) return nullptr;
  // A proxy that is asked for but not named would silently become a direct
  // connection.
  if (options.use_proxy && options.proxy.empty()) return nullptr;
  return std::make_unique<CurlSession>(options);
}

}  // namespace platform
