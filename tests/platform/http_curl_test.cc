#include "platform/http_curl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/test_servers.h"

namespace {

using testsupport::FindHeader;
using testsupport::StubRequest;
using testsupport::StubServer;
using testsupport::TestServers;

const std::uint8_t* Bytes(const std::string& s) {
  return reinterpret_cast<const std::uint8_t*>(s.data());
}

// One exchange's handles with the stub server, opened in order.
struct Exchange {
  Exchange(const std::string& bucket, const std::string& verb, const std::string& path,
           platform::HttpSessionOptions options = {}) {
    options.ca_cert_file = TestServers::Get().ca_file;
    session = platform::OpenCurlHttpSession(options);
    connection = session->Connect(bucket + "." + TestServers::Get().s3_host,
                                  static_cast<std::uint16_t>(TestServers::Get().stub_port));
    request = connection->OpenRequest(verb, path, true);
  }
  std::unique_ptr<platform::HttpSession> session;
  std::unique_ptr<platform::HttpConnection> connection;
  std::unique_ptr<platform::HttpRequestHandle> request;
};

// The rest of the answer, read in pieces of `piece` bytes; *ok is false
// when a read failed.
std::string ReadAll(platform::HttpRequestHandle* request, std::uint32_t piece, bool* ok) {
  std::string out;
  std::vector<std::uint8_t> buffer(piece);
  for (;;) {
    std::uint32_t got = 0;
    *ok = request->ReadData(buffer.data(), piece, &got);
    if (!*ok || got == 0) return out;
    out.append(reinterpret_cast<const char*>(buffer.data()), got);
  }
}

class HttpCurlStubTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TestServers::Get().ok) GTEST_SKIP() << TestServers::Get().error;
    bucket_ = std::string("curl") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::transform(bucket_.begin(), bucket_.end(), bucket_.begin(), ::tolower);
    ASSERT_TRUE(StubServer::Reset(bucket_));
  }
  void Script(const std::string& json) {
    std::string error;
    ASSERT_TRUE(StubServer::SetScript(bucket_, json, &error)) << error;
  }
  std::string bucket_;
};

TEST(HttpCurlTest, RefusesWhatWouldChangeTheRequest) {
  platform::HttpSessionOptions unnamed_proxy;
  unnamed_proxy.use_proxy = true;
  EXPECT_EQ(platform::OpenCurlHttpSession(unnamed_proxy), nullptr);

  auto session = platform::OpenCurlHttpSession(platform::HttpSessionOptions());
  ASSERT_NE(session, nullptr);
  for (const char* host : {"", "evil.com/x", "user@host", "a b", "h#x"}) {
    EXPECT_EQ(session->Connect(host, 443), nullptr) << host;
  }
  auto connection = session->Connect("localhost", 1);
  ASSERT_NE(connection, nullptr);
  for (const char* path : {"", "noslash", "/a b", "/a#b", "/a\r\nX: y"}) {
    EXPECT_EQ(connection->OpenRequest("GET", path, true), nullptr) << path;
  }
  EXPECT_EQ(connection->OpenRequest("G T", "/", true), nullptr);

  auto request = connection->OpenRequest("GET", "/", true);
  ASSERT_NE(request, nullptr);
  EXPECT_TRUE(request->AddHeaderLine("x-amz-meta-a: blanks \t inside"));
  EXPECT_FALSE(request->AddHeaderLine("x-amz-meta-a: one\r\nInjected: yes"));
  EXPECT_FALSE(request->AddHeaderLine("x-amz-meta-a: one\nInjected: yes"));
  EXPECT_FALSE(request->AddHeaderLine(std::string("x-amz-meta-a: a\0b", 17)));
  EXPECT_FALSE(request->AddHeaderLine("x-amz-meta-a:no-blank"));
  EXPECT_FALSE(request->AddHeaderLine("bad name: v"));
  // Nothing listens on port 1: the send fails, and so does all after it.
  EXPECT_FALSE(request->SendRequest(nullptr, 0));
  std::uint32_t status = 0;
  EXPECT_FALSE(request->QueryStatusCode(&status));
}

TEST_F(HttpCurlStubTest, ServerSeesExactlyTheGivenHeadersAndTarget) {
  Script(R"([{"body": "fine"}])");
  const std::string target = "/a/../b%2Fc/./d?prefix=$folder$&marker=";
  Exchange e(bucket_, "GET", target);
  for (const char* line : {"x-amz-date: Tue, 27 Mar 2007 19:36:42 +0000", "x-replaced: first",
                           "X-Replaced: second", "x-removed: soon", "x-removed: ",
                           "content-type: ", "x-amz-meta-pad:  padded "}) {
    EXPECT_TRUE(e.request->AddHeaderLine(line)) << line;
  }
  ASSERT_TRUE(e.request->SendRequest(nullptr, 0));
  bool ok = false;
  EXPECT_EQ(ReadAll(e.request.get(), 4095, &ok), "fine");
  EXPECT_TRUE(ok);

  const std::vector<StubRequest> seen = StubServer::Requests(bucket_);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].path, target);
  std::vector<std::string> names;
  for (const auto& header : seen[0].headers) names.push_back(header.first);
  EXPECT_EQ(names, (std::vector<std::string>{"Host", "x-amz-date", "X-Replaced", "x-amz-meta-pad"}));
  EXPECT_EQ(FindHeader(seen[0].headers, "X-Replaced"), "second");
}

TEST_F(HttpCurlStubTest, BodiesGoOutWithTheirLengthAndNoHeaderOfCurlsOwn) {
  Script(R"([{"status": 200}])");
  const std::string small = "hello, body";
  std::string large(2 * 1024 * 1024 + 3, '\0');  // past curl's Expect threshold
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 + i / 251);
  {
    Exchange e(bucket_, "PUT", "/one-shot");
    ASSERT_TRUE(e.request->SendRequest(Bytes(small), static_cast<std::uint32_t>(small.size())));
  }
  {
    Exchange e(bucket_, "PUT", "/empty");
    ASSERT_TRUE(e.request->SendRequest(nullptr, 0));
  }
  {
    Exchange e(bucket_, "PUT", "/streamed");
    ASSERT_TRUE(e.request->SendRequestStreamed(large.size()));
    for (size_t offset = 0; offset < large.size(); offset += 1024) {
      const auto n = static_cast<std::uint32_t>(std::min<size_t>(1024, large.size() - offset));
      std::uint32_t written = 0;
      ASSERT_TRUE(e.request->WriteData(Bytes(large) + offset, n, &written));
      ASSERT_EQ(written, n);
    }
    std::uint32_t written = 0;
    EXPECT_FALSE(e.request->WriteData(Bytes(small), 1, &written));  // beyond the announced
    std::uint32_t status = 0;
    ASSERT_TRUE(e.request->QueryStatusCode(&status));
    EXPECT_EQ(status, 200u);
  }
  {
    Exchange e(bucket_, "DELETE", "/gone");
    ASSERT_TRUE(e.request->SendRequest(nullptr, 0));
  }

  const std::vector<StubRequest> seen = StubServer::Requests(bucket_);
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].body, small);
  EXPECT_EQ(FindHeader(seen[0].headers, "Content-Length"), std::to_string(small.size()));
  EXPECT_EQ(FindHeader(seen[1].headers, "Content-Length"), "0");
  EXPECT_TRUE(seen[2].body == large);
  EXPECT_EQ(FindHeader(seen[2].headers, "Content-Length"), std::to_string(large.size()));
  EXPECT_EQ(seen[3].method, "DELETE");
  EXPECT_EQ(FindHeader(seen[3].headers, "Content-Length"), "");
  for (const StubRequest& r : seen) {
    for (const char* name : {"Accept", "Expect", "User-Agent", "Content-Type",
                             "Transfer-Encoding", "Accept-Encoding"}) {
      EXPECT_EQ(FindHeader(r.headers, name), "") << r.path << " carries " << name;
    }
  }
}

TEST_F(HttpCurlStubTest, LargeAnswerPassesThroughTheBoundedBufferWhole) {
  std::string big(3 * 1024 * 1024 + 17, '\0');  // many times the buffer
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  Script(R"([{"body": ")" + big + R"("}])");
  Exchange e(bucket_, "GET", "/big");
  ASSERT_TRUE(e.request->SendRequest(nullptr, 0));
  std::uint64_t length = 0;
  ASSERT_TRUE(e.request->QueryContentLength(&length));
  EXPECT_EQ(length, big.size());
  bool ok = false;
  EXPECT_TRUE(ReadAll(e.request.get(), 4095, &ok) == big);
  EXPECT_TRUE(ok);
}

// A peer that answers without end, or a little at a time, is given up once
// the exchange has waited past its deadline, which grows with the answer.
TEST_F(HttpCurlStubTest, ExchangeEndsAtItsDeadlineWhichGrowsWithTheAnswer) {
  const std::string slow(4000, 's');
  Script(R"([{"path": "/endless", "body": "x", "length": "none", "trickle_ms": 100,
              "endless": true},
             {"path": "/slow", "body": ")" + slow + R"(", "trickle_ms": 200,
              "trickle_bytes": 500}])");
  platform::HttpSessionOptions options;
  options.deadline_base_ms = 1000;
  options.deadline_bytes_per_second = 1000;
  const auto start = std::chrono::steady_clock::now();
  {
    Exchange e(bucket_, "GET", "/endless", options);
    ASSERT_TRUE(e.request->SendRequest(nullptr, 0));
    bool ok = true;
    ReadAll(e.request.get(), 4095, &ok);
    EXPECT_FALSE(ok);
    std::uint32_t status = 0;
    EXPECT_TRUE(e.request->QueryStatusCode(&status));  // the headers had come
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

  // 1.6 seconds for 4000 bytes: past the base, within the base and the 4
  // seconds its size adds.
  Exchange e(bucket_, "GET", "/slow", options);
  ASSERT_TRUE(e.request->SendRequest(nullptr, 0));
  bool ok = false;
  EXPECT_TRUE(ReadAll(e.request.get(), 4095, &ok) == slow);
  EXPECT_TRUE(ok);
}

}  // namespace
