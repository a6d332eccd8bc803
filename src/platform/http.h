// HTTP exchanges, shaped like the session / connection / request handles of
// the platform HTTP facility the transport was designed for.  One exchange is
// one session, one connection handle and one request.  The network
// connection under them outlives the exchange: one whose exchange ended
// cleanly is kept alive and may carry a later exchange with the same server
// under the same settings (the libcurl backend's pool, platform/curl_pool.h,
// which reuses no connection idle for more than 60 seconds and closes any
// whose exchange failed or was given up; on Windows, WinINet's own
// keep-alive).  The header lines and the answer of one request never pass
// to the next.
// Every handle releases what it holds when it is destroyed.
//
// The default implementation (Env::Default()) runs on libcurl.  It adds no
// request header of its own: the server sees exactly the header lines given
// to AddHeaderLine (plus Host and, for a body or a PUT, Content-Length), with
// no Accept, User-Agent, Expect or default Content-Type line.  Every request
// goes over TLS with the certificate verified.  A peer that stops answering
// does not hang the caller: connecting is given 30 seconds, and a transfer
// that moves less than one byte per second for 60 seconds fails.
//
// Nor does a peer that answers without end or a byte at a time: every
// exchange has a deadline (HttpSessionOptions).  The time that the calls of
// one request spend waiting for the peer is counted, from the send to the
// last byte of the answer; the caller's own pauses between calls (the
// bandwidth limit's) are not.  Once the count passes the deadline, the call
// fails and so does every later call of that request.
//
// Every call returns false on failure; a failed handle may still be
// destroyed safely.

#ifndef KELTOS3_SRC_PLATFORM_HTTP_H_
#define KELTOS3_SRC_PLATFORM_HTTP_H_

#include <cstdint>
#include <limits>
#include <memory>
#include <string>

namespace platform {

constexpr std::uint32_t kExchangeDeadlineBaseMs = 120000;
constexpr std::uint32_t kExchangeDeadlineBytesPerSecond = 4096;

struct HttpSessionOptions {
  // When true, every request goes through `proxy` ("host:port") with the
  // given proxy credentials (an empty `proxy` fails the session open).
  // When false, the system's preconfigured access applies (the proxies
  // named in the environment).
  bool use_proxy = false;
  std::string proxy;
  std::string proxy_user_name;
  std::string proxy_password;
  // PEM file of certificates to trust for TLS, and no others (not the
  // system's trust store beside it); empty means the system's trust store.
  // Certificates are always verified.
  std::string ca_cert_file;
  // The deadline of one exchange: deadline_base_ms, plus one second for
  // every deadline_bytes_per_second bytes of the request body and of the
  // answer's announced length, but of no more of that length than
  // expected_answer_bytes, the most the caller takes (counted once the
  // answer's headers are in).  By default 2 minutes plus a second per 4 KiB:
  // a 1 MiB chunk gets 376 seconds.  A deadline_bytes_per_second of 0 asks
  // no rate of the peer: an exchange with a body or an announced answer
  // then has no deadline (the stall limits above still hold), one without
  // has deadline_base_ms.  Both backends reckon it with ExchangeDeadlineMs
  // (platform/http_checks.h).
  std::uint32_t deadline_base_ms = kExchangeDeadlineBaseMs;
  std::uint32_t deadline_bytes_per_second = kExchangeDeadlineBytesPerSecond;
  std::uint64_t expected_answer_bytes = std::numeric_limits<std::uint64_t>::max();
};

class HttpRequestHandle {
 public:
  HttpRequestHandle() = default;
  HttpRequestHandle(const HttpRequestHandle&) = delete;
  HttpRequestHandle& operator=(const HttpRequestHandle&) = delete;
  virtual ~HttpRequestHandle();

  // Adds the header line "Name: value" (no line end), replacing an earlier
  // line of the same name in its place (names compare case-insensitively).
  // A line whose value is empty or only blanks removes that header.  A line
  // holding CR, LF, NUL or another control character but tab, without ": ",
  // or whose name is not an HTTP token, is refused.  Only before the send.
  virtual bool AddHeaderLine(const std::string& line) = 0;

  // Sends the request with the whole body (length may be 0) in one call.
  virtual bool SendRequest(const std::uint8_t* body, std::uint32_t length) = 0;

  // Starts a streamed send that announces `total_length` body bytes; the body
  // then follows through WriteData.
  virtual bool SendRequestStreamed(std::uint64_t total_length) = 0;

  // Writes the next `length` bytes of a streamed body; *written receives the
  // count taken.  Refuses bytes beyond the announced length.  When the
  // server has answered with a status of 300 or more before the whole body
  // went out, the rest of the body is dropped and the call succeeds, so
  // that the answer can still be read.
  virtual bool WriteData(const std::uint8_t* data, std::uint32_t length,
                         std::uint32_t* written) = 0;

  // The answer's Content-Length.  Returns false when the answer has none (or
  // when no answer arrived).  The answer's headers are awaited first, so for
  // a streamed send this is called after the last WriteData.
  virtual bool QueryContentLength(std::uint64_t* length) = 0;

  // The answer's status code.  Returns false when no answer arrived.
  virtual bool QueryStatusCode(std::uint32_t* status) = 0;

  // The value of the answer's ETag header as sent (quotes included, blanks
  // around it removed).  Returns false when the answer has none or no
  // answer arrived; a backend that cannot read headers always does.
  virtual bool QueryETag(std::string* value);

  // Reads up to `size` answer bytes into `buffer`; *read receives the count,
  // 0 at the end of the answer.  Like a blocking read, it returns fewer than
  // `size` bytes only when the answer ended or broke (the break then shows
  // at the next call).  Returns false when the read failed (for example a
  // connection closed before the announced length arrived).  The
  // answer is taken from the network only as fast as it is read, so an
  // answer of any size holds only a bounded amount of memory.
  virtual bool ReadData(std::uint8_t* buffer, std::uint32_t size,
                        std::uint32_t* read) = 0;

  // Ends the request.
  virtual bool EndRequest() = 0;
};

class HttpConnection {
 public:
  HttpConnection() = default;
  HttpConnection(const HttpConnection&) = delete;
  HttpConnection& operator=(const HttpConnection&) = delete;
  virtual ~HttpConnection();

  // Opens a request.  `path` is the request target exactly as it goes on
  // the request line ("/" + key + query), sent without any normalisation;
  // a target that does not start with "/" or holds a blank, a control
  // character or "#" is refused.  `verb` must be an HTTP token.  `secure`
  // asks for TLS (the libcurl implementation uses TLS whatever it says).
  // Returns null on failure.
  virtual std::unique_ptr<HttpRequestHandle> OpenRequest(
      const std::string& verb, const std::string& path, bool secure) = 0;
};

class HttpSession {
 public:
  HttpSession() = default;
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;
  virtual ~HttpSession();

  // Connects to `host` on `port` (0: the default HTTPS port).  A host text
  // that would change the request's destination (empty, or holding a blank,
  // "/", "?", "#", "@", "\\" or "%") is refused.  Returns null on failure.
  virtual std::unique_ptr<HttpConnection> Connect(const std::string& host,
                                                  std::uint16_t port) = 0;
};

}  // namespace platform

#endif  // KELTOS3_SRC_PLATFORM_HTTP_H_
