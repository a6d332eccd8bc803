// CNHttpRequest: one HTTP exchange with the S3 endpoint.  It holds the
// request (host, port, verb, path, headers, body), performs the exchange
// over the platform HTTP handles (platform/http.h), and leaves the outcome
// in an S3Response: status, answer text, answer bytes and a retry flag.
//
// Every Send opens its own session, connection and request, over TLS with
// certificate verification ("CACertFile" of the settings, or the system's
// trust store), through the configured proxy when "UseProxy" is on.
//
// The optional bandwidth limit ("BandWidthLim", "UploadWidth",
// "DownloadWidth", read at construction) acts on every chunk of an upload
// and every piece of an answer: the transfers of one direction that are
// inside a chunk at the same moment share the width (see s3/throttle.h).
// With "Transfers" above 1 the pieces of every transfer of a direction are
// booked on one timeline of the process instead, so that their sum keeps
// to the width (s3/shared_throttle.h).
// The two counters of those transfers belong to the process and are changed
// only under the named mutex kSenderMutexName.  With the limit off neither
// the counters nor the mutex are touched.
//
// Thread safety: an instance is used by one thread at a time; several
// threads may each send their own instance.

#ifndef KELTOS3_SRC_S3_HTTP_REQUEST_H_
#define KELTOS3_SRC_S3_HTTP_REQUEST_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "common/sorted_map.h"
#include "platform/named_mutex.h"
#include "s3/s3_message.h"
#include "s3/s3_request.h"
#include "s3/throttle.h"
#include "support/event_reporter.h"

// Name of the system-wide mutex that guards the transfer counters.
extern const char kSenderMutexName[];  // "CNHttpRequest::m_iSenderCount"

class CNHttpRequest {
 public:
  // Bodies up to this many bytes go out in one send; longer ones are
  // streamed in chunks of kUploadChunkBytes.
  static constexpr std::int32_t kOneShotBodyLimit = 10240;
  static constexpr std::int32_t kUploadChunkBytes = 1024;
  // Answers are read in pieces of at most this many bytes.
  static constexpr std::uint32_t kReadPieceBytes = 4095;
  // Without the bandwidth limit nothing is timed per piece: a streamed body
  // goes out, and a bytes-only answer comes in, in pieces of this size.
  static constexpr std::uint32_t kUnlimitedPieceBytes = 256 * 1024;

  // Empty request (no host, port 0, no body, no headers) and a fresh
  // response; reads the bandwidth settings through a CS3Config and opens
  // the named mutex without taking it.
  CNHttpRequest();
  // Copies headers, host, port, verb, path, the response, the bandwidth
  // values and the body; opens a mutex handle of its own.
  CNHttpRequest(const CNHttpRequest& other);
  // The same copy; the target keeps its own mutex handle.
  CNHttpRequest& operator=(const CNHttpRequest& other);
  ~CNHttpRequest();

  void SetHost(const std::u16string& host);
  // Used as a 16-bit port; a value outside 0..65535 fails the Send.
  void SetPort(std::int32_t port);
  void SetVerb(const std::u16string& verb);
  // The request target: "/" + key + query, sent as it is.
  void SetPath(const std::u16string& path);
  // Replaces the body with a copy of `length` bytes; does nothing when
  // `data` is null or `length` is 0 or below.
  void SetBody(const std::uint8_t* data, std::int32_t length);
  // Replaces the body with the `length` bytes at `data`, without a copy:
  // they must stay alive and unchanged while the request is used.  A null
  // `data` or a `length` of 0 or below leaves no body.
  void LendBody(const std::uint8_t* data, std::int32_t length);

  // When an entry of exactly `name` holds a different value, `value` is
  // appended to it with no separator; otherwise the entry is set to
  // `value`.  A new name is dropped when the map is full (100 entries).
  void SetHeader(const std::u16string& name, const std::u16string& value);
  // Sets the entry `name` to `value`, replacing any value it held.
  void ReplaceHeader(const std::u16string& name, const std::u16string& value);

  // The most bytes a successful answer (status 200-299) may hold; any other
  // answer may hold kSmallAnswerBytes (an error document).  An answer that
  // announces more fails before a byte of it is read, one that sends more
  // fails once it has; either is reported to the event log and becomes the
  // thread's last-error text.  The exchange's
  // deadline counts no more of an announced length than the larger of the
  // two limits.  kSmallAnswerBytes by default.
  void SetAnswerLimit(std::uint32_t bytes) { m_iAnswerLimit = bytes; }
  std::uint32_t GetAnswerLimit() const { return m_iAnswerLimit; }

  const std::u16string& GetHost() const { return m_strHost; }
  std::int32_t GetPort() const { return m_iPort; }
  const std::u16string& GetVerb() const { return m_strVerb; }
  const std::u16string& GetPath() const { return m_strPath; }
  const CSortedMap<std::u16string>& GetHeaders() const { return m_headers; }
  const std::uint8_t* GetBody() const { return m_pBodyData; }
  std::int32_t GetBodyLength() const { return m_iBodyLength; }

  // When true, a successful answer (status 200-299) that announces its
  // length is wanted for its bytes only: its text stays empty, which saves
  // cutting and decoding text out of binary content.  Any other answer
  // keeps its text, so error documents are read and reported as ever.
  void SetBytesOnly(bool bytes_only) { m_bBytesOnly = bytes_only; }
  bool IsBytesOnly() const { return m_bBytesOnly; }

  // Performs one exchange and returns the answer text; empty when the
  // exchange failed before a whole answer was read.  The retry flag of the
  // response is reset first and set to 1 on every failure: empty host, a
  // handle that cannot be opened, a header line that cannot be sent, a
  // failed send or chunk write, an answer that is cut short or longer than
  // its limit (SetAnswerLimit; an announced Content-Length beyond it fails
  // before anything is read), or that cannot be allocated, and any status
  // outside 200-299.  A failure before a whole answer was
  // read leaves status, text and body of the response as they were;
  // otherwise the response holds the answer's status, its text and its
  // bytes (none without a Content-Length).  An error answer holding an S3
  // error document is reported (SetS3Error).  In the snapshot-assisted build
  // an error answer without "<Error><Code>" is reported too: its text
  // followed by "\r\n", through a reporter of its own.  The request itself
  // is left unchanged, so a repeated Send sends the same request again.
  std::u16string Send();

  // A copy of the outcome of the last Send.
  S3Response GetResponse() const { return m_response; }
  // The same outcome, not copied.
  const S3Response& GetResponseRef() const { return m_response; }

  // True when the last Send read a whole answer, so that the response
  // holds its status, text and bytes.
  bool AnswerRead() const { return m_bAnswerRead; }
  // The outcome of the last Send, moved out without copying its text and
  // bytes; the request keeps an empty response until the next answer.
  S3Response TakeResponse() { return std::move(m_response); }

  // The process's transfer counters (for diagnostics and tests).
  static std::int32_t GetSenderCount() { return m_iSenderCount.load(); }
  static std::int32_t GetReceiverCount() { return m_iReceiverCount.load(); }

 private:
  // Marks the exchange failed and returns the empty answer text.
  std::u16string Fail();
  // Adds `delta` to `counter` under the named mutex and returns the new
  // value.
  std::int32_t ChangeCount(std::atomic<std::int32_t>* counter, std::int32_t delta);

  CSortedMap<std::u16string> m_headers{100};
  // The body: m_pBody when it is the request's own, else lent (LendBody).
  std::unique_ptr<std::uint8_t[]> m_pBody;
  const std::uint8_t* m_pBodyData = nullptr;
  std::int32_t m_iBodyLength = 0;
  std::u16string m_strHost;
  std::int32_t m_iPort = 0;
  std::u16string m_strVerb;
  std::u16string m_strPath;
  S3Response m_response;
  bool m_bAnswerRead = false;
  bool m_bBytesOnly = false;
  std::uint32_t m_iAnswerLimit = kSmallAnswerBytes;
  CEventReporter m_reporter;
  platform::NamedMutex m_hSenderMutex;
  std::int32_t m_iBandwidthLimit = 0;
  std::int32_t m_iUploadWidth = 0;
  std::int32_t m_iDownloadWidth = 0;

  // Transfers of each direction now inside a bandwidth-limited chunk, in
  // this process.  Atomic so that the in-process count stays right even
  // when the named mutex cannot be opened.
  static std::atomic<std::int32_t> m_iSenderCount;
  static std::atomic<std::int32_t> m_iReceiverCount;
};

// Cuts the S3 error code out of an error document (the text between the
// first "<Error><Code>" and the following "</Code><Message>"), reports it
// as an error event through a reporter of its own, and sets the calling
// thread's last-error value to platform::kLastErrorS3 (12500) and its
// last-error text to the code and the document's message ("NoSuchBucket:
// The specified bucket does not exist").  Total: a text without the markers
// is reported as far as they could be cut.
void SetS3Error(const std::u16string& answer_text);

#endif  // KELTOS3_SRC_S3_HTTP_REQUEST_H_
