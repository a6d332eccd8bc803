// A test Env for the S3 client: the TestEnv (virtual clock, captured events,
// hermetic environment) plus an HTTP facility that records every exchange
// and answers from a script instead of the network.  The wall clock starts
// at Tue, 27 Mar 2007 19:36:42 GMT.  Install it with ScopedEnvOverride.

#ifndef KELTOS3_TESTS_S3_FAKE_S3_ENV_H_
#define KELTOS3_TESTS_S3_FAKE_S3_ENV_H_

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/http.h"
#include "support/test_env.h"

namespace s3test {

// One exchange as the server would see it.
struct Exchange {
  std::string host;
  std::uint16_t port = 0;
  std::string verb;
  std::string path;
  std::vector<std::string> header_lines;  // in the order they were added
  std::string body;

  // The value of the header `name` (exact name), or "" when absent.
  std::string Header(const std::string& name) const {
    for (const std::string& line : header_lines) {
      if (line.size() > name.size() + 1 && line.compare(0, name.size(), name) == 0 &&
          line.compare(name.size(), 2, ": ") == 0) {
        return line.substr(name.size() + 2);
      }
    }
    return std::string();
  }
};

struct Answer {
  std::uint32_t status = 200;
  std::string body;
  // The Content-Length announced: the body's size unless given, none when
  // `announce_length` is false.
  bool announce_length = true;
  std::optional<std::uint64_t> content_length = std::nullopt;
  // A read hands out at most `piece_limit` bytes (0: as many as asked); a
  // read at `broken_after` bytes fails like a connection that breaks.
  std::uint32_t piece_limit = 0;
  std::optional<size_t> broken_after = std::nullopt;
};

// A bucket listing of `keys` (each written as given, already escaped).
inline std::string BucketListing(const std::vector<std::string>& keys,
                                 bool truncated = false) {
  std::string xml = "<?xml version=\"1.0\"?><ListBucketResult><Name>b</Name>";
  xml += truncated ? "<IsTruncated>true</IsTruncated>"
                   : "<IsTruncated>false</IsTruncated>";
  for (const std::string& key : keys) {
    xml += "<Contents><Key>" + key + "</Key><Size>1</Size></Contents>";
  }
  return xml + "</ListBucketResult>";
}

inline std::string ServiceListing(const std::vector<std::string>& buckets) {
  std::string xml =
      "<?xml version=\"1.0\"?><ListAllMyBucketsResult><Owner><ID>1</ID>"
      "<DisplayName>me</DisplayName></Owner><Buckets>";
  for (const std::string& bucket : buckets) {
    xml += "<Bucket><Name>" + bucket + "</Name></Bucket>";
  }
  return xml + "</Buckets></ListAllMyBucketsResult>";
}

class FakeS3Env : public testsupport::TestEnv {
 public:
  static constexpr std::int64_t kNow = 1175024202;

  FakeS3Env() { SetNowUnixSeconds(kNow); }

  // Answers every exchange; the default answers 200 with an empty body.
  std::function<Answer(const Exchange&)> responder;
  std::vector<Exchange> exchanges;

  std::unique_ptr<platform::HttpSession> OpenHttpSession(
      const platform::HttpSessionOptions&) override;

  Answer Respond(const Exchange& exchange) {
    exchanges.push_back(exchange);
    return responder ? responder(exchange) : Answer();
  }
};

class FakeRequest : public platform::HttpRequestHandle {
 public:
  FakeRequest(FakeS3Env* env, Exchange exchange)
      : env_(env), exchange_(std::move(exchange)) {}

  bool AddHeaderLine(const std::string& line) override {
    const size_t colon = line.find(": ");
    if (colon == std::string::npos) return false;
    const std::string name = line.substr(0, colon);
    auto& lines = exchange_.header_lines;
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [&](const std::string& l) {
                                 return l.compare(0, colon + 2, name + ": ") == 0;
                               }),
                lines.end());
    if (colon + 2 < line.size()) lines.push_back(line);
    return true;
  }
  bool SendRequest(const std::uint8_t* body, std::uint32_t length) override {
    if (body != nullptr) exchange_.body.assign(reinterpret_cast<const char*>(body), length);
    Finish();
    return true;
  }
  bool SendRequestStreamed(std::uint64_t) override { return true; }
  bool WriteData(const std::uint8_t* data, std::uint32_t length,
                 std::uint32_t* written) override {
    exchange_.body.append(reinterpret_cast<const char*>(data), length);
    *written = length;
    return true;
  }
  bool QueryContentLength(std::uint64_t* length) override {
    Finish();
    *length = answer_.content_length.value_or(answer_.body.size());
    return answer_.announce_length;
  }
  bool QueryStatusCode(std::uint32_t* status) override {
    Finish();
    *status = answer_.status;
    return true;
  }
  bool ReadData(std::uint8_t* buffer, std::uint32_t size, std::uint32_t* read) override {
    Finish();
    size_t n = std::min<size_t>(size, answer_.body.size() - offset_);
    if (answer_.piece_limit != 0) n = std::min<size_t>(n, answer_.piece_limit);
    if (answer_.broken_after.has_value()) {
      if (offset_ >= *answer_.broken_after) return false;
      n = std::min(n, *answer_.broken_after - offset_);
    }
    std::memcpy(buffer, answer_.body.data() + offset_, n);
    offset_ += n;
    *read = static_cast<std::uint32_t>(n);
    return true;
  }
  bool EndRequest() override { return true; }

 private:
  // The answer is fixed once the request is complete.
  void Finish() {
    if (answered_) return;
    answered_ = true;
    answer_ = env_->Respond(exchange_);
  }

  FakeS3Env* env_;
  Exchange exchange_;
  bool answered_ = false;
  Answer answer_;
  size_t offset_ = 0;
};

// Session and connection in one: each exchange opens both anew.
class FakeSession : public platform::HttpSession, public platform::HttpConnection {
 public:
  explicit FakeSession(FakeS3Env* env) : env_(env) {}
  std::unique_ptr<platform::HttpConnection> Connect(const std::string& host,
                                                    std::uint16_t port) override {
    auto connection = std::make_unique<FakeSession>(env_);
    connection->host_ = host;
    connection->port_ = port;
    return connection;
  }
  std::unique_ptr<platform::HttpRequestHandle> OpenRequest(
      const std::string& verb, const std::string& path, bool) override {
    return std::make_unique<FakeRequest>(env_, Exchange{host_, port_, verb, path, {}, {}});
  }

 private:
  FakeS3Env* env_;
  std::string host_;
  std::uint16_t port_ = 0;
};

inline std::unique_ptr<platform::HttpSession> FakeS3Env::OpenHttpSession(
    const platform::HttpSessionOptions&) {
  return std::make_unique<FakeSession>(this);
}

}  // namespace s3test

#endif  // KELTOS3_TESTS_S3_FAKE_S3_ENV_H_
