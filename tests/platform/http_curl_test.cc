#include "platform/http_curl.h"

#include <gtest/gtest.h>

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

platform::HttpSessionOptions TrustTestCa() {
  platform::HttpSessionOptions options;
  options.ca_cert_file = TestServers::Get().ca_file;
  return options;
}

std::string StubHost(const std::string& bucket) {
  return bucket + "." + TestServers::Get().s3_host;
}

// One exchange's handles, opened in order; any of them may stay null.
struct Exchange {
  std::unique_ptr<platform::HttpSession> session;
  std::unique_ptr<platform::HttpConnection> connection;
  std::unique_ptr<platform::HttpRequestHandle> request;

  static Exchange Open(const platform::HttpSessionOptions& options,
                       const std::string& host, int port,
                       const std::string& verb, const std::string& path) {
    Exchange e;
    e.session = platform::OpenCurlHttpSession(options);
    if (e.session) e.connection = e.session->Connect(host, static_cast<std::uint16_t>(port));
    if (e.connection) e.request = e.connection->OpenRequest(verb, path, true);
    return e;
  }
  static Exchange ToStub(const std::string& bucket, const std::string& verb,
                         const std::string& path) {
    return Open(TrustTestCa(), StubHost(bucket), TestServers::Get().stub_port, verb, path);
  }
};

// Reads the whole answer in pieces of `piece` bytes; *ok is false when a
// read failed.
std::string ReadAll(platform::HttpRequestHandle* request, std::uint32_t piece, bool* ok) {
  std::string out;
  std::vector<std::uint8_t> buffer(piece);
  *ok = true;
  for (;;) {
    std::uint32_t got = 0;
    if (!request->ReadData(buffer.data(), piece, &got)) {
      *ok = false;
      return out;
    }
    if (got == 0) return out;
    out.append(reinterpret_cast<const char*>(buffer.data()), got);
  }
}

std::string Pattern(size_t size) {
  std::string out(size, '\0');
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return out;
}

class HttpCurlStubTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TestServers::Get().ok) GTEST_SKIP() << TestServers::Get().error;
    bucket_ = std::string("curl") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (char& c : bucket_) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ASSERT_TRUE(StubServer::Reset(bucket_));
  }
  void Script(const std::string& json) {
    std::string error;
    ASSERT_TRUE(StubServer::SetScript(bucket_, json, &error)) << error;
  }
  std::string bucket_;
};

TEST(HttpCurlTest, RefusesLinesAndTargetsThatWouldChangeTheRequest) {
  auto session = platform::OpenCurlHttpSession(platform::HttpSessionOptions());
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(session->Connect("", 443), nullptr);
  EXPECT_EQ(session->Connect("evil.com/x", 443), nullptr);
  EXPECT_EQ(session->Connect("user@host", 443), nullptr);
  EXPECT_EQ(session->Connect("a b", 443), nullptr);
  auto connection = session->Connect("localhost", 1);
  ASSERT_NE(connection, nullptr);
  EXPECT_EQ(connection->OpenRequest("GET", "", true), nullptr);
  EXPECT_EQ(connection->OpenRequest("GET", "noslash", true), nullptr);
  EXPECT_EQ(connection->OpenRequest("GET", "/a b", true), nullptr);
  EXPECT_EQ(connection->OpenRequest("GET", "/a#b", true), nullptr);
  EXPECT_EQ(connection->OpenRequest("GET", "/a\r\nX: y", true), nullptr);
  EXPECT_EQ(connection->OpenRequest("G T", "/", true), nullptr);
  EXPECT_EQ(connection->OpenRequest("", "/", true), nullptr);

  auto request = connection->OpenRequest("GET", "/", true);
  ASSERT_NE(request, nullptr);
  EXPECT_TRUE(request->AddHeaderLine("x-amz-meta-a: value with \t blanks"));
  EXPECT_FALSE(request->AddHeaderLine("x-amz-meta-a: one\r\nInjected: yes"));
  EXPECT_FALSE(request->AddHeaderLine("x-amz-meta-a: one\nInjected: yes"));
  EXPECT_FALSE(request->AddHeaderLine(std::string("x-amz-meta-a: a\0b", 17)));
  EXPECT_FALSE(request->AddHeaderLine("x-amz-meta-a:no-blank"));
  EXPECT_FALSE(request->AddHeaderLine("bad name: v"));
  EXPECT_FALSE(request->AddHeaderLine(": v"));

  platform::HttpSessionOptions unnamed_proxy;
  unnamed_proxy.use_proxy = true;
  EXPECT_EQ(platform::OpenCurlHttpSession(unnamed_proxy), nullptr);
}

TEST(HttpCurlTest, UnreachableServerFailsTheSend) {
  // Port 1 on loopback: nothing listens there.
  Exchange e = Exchange::Open(platform::HttpSessionOptions(), "localhost", 1, "GET", "/");
  ASSERT_NE(e.request, nullptr);
  EXPECT_FALSE(e.request->SendRequest(nullptr, 0));
  std::uint32_t status = 0;
  EXPECT_FALSE(e.request->QueryStatusCode(&status));
  std::uint8_t buffer[16];
  std::uint32_t got = 0;
  EXPECT_FALSE(e.request->ReadData(buffer, sizeof(buffer), &got));
}

TEST_F(HttpCurlStubTest, ServerSeesExactlyTheGivenHeadersAndTarget) {
  Script(R"([{"body": "fine"}])");
  const std::string target = "/a/../b%2Fc/./d?prefix=$folder$&marker=";
  Exchange e = Exchange::ToStub(bucket_, "GET", target);
  ASSERT_NE(e.request, nullptr);
  EXPECT_TRUE(e.request->AddHeaderLine("x-amz-date: Tue, 27 Mar 2007 19:36:42 +0000"));
  EXPECT_TRUE(e.request->AddHeaderLine("x-replaced: first"));
  EXPECT_TRUE(e.request->AddHeaderLine("X-Replaced: second"));
  EXPECT_TRUE(e.request->AddHeaderLine("x-removed: soon"));
  EXPECT_TRUE(e.request->AddHeaderLine("x-removed: "));
  EXPECT_TRUE(e.request->AddHeaderLine("content-type: "));  // empty: not sent
  EXPECT_TRUE(e.request->AddHeaderLine("x-amz-meta-pad:  padded "));
  ASSERT_TRUE(e.request->SendRequest(nullptr, 0));
  std::uint32_t status = 0;
  ASSERT_TRUE(e.request->QueryStatusCode(&status));
  EXPECT_EQ(status, 200u);
  bool ok = false;
  EXPECT_EQ(ReadAll(e.request.get(), 4095, &ok), "fine");
  EXPECT_TRUE(ok);
  EXPECT_TRUE(e.request->EndRequest());

  const std::vector<StubRequest> seen = StubServer::Requests(bucket_);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "GET");
  EXPECT_EQ(seen[0].path, target);
  std::vector<std::string> names;
  for (const auto& [name, value] : seen[0].headers) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"Host", "x-amz-date", "X-Replaced", "x-amz-meta-pad"}));
  EXPECT_EQ(FindHeader(seen[0].headers, "Host"), StubHost(bucket_) + ":" +
                                                    std::to_string(TestServers::Get().stub_port));
  EXPECT_EQ(FindHeader(seen[0].headers, "X-Replaced"), "second");
}

TEST_F(HttpCurlStubTest, BodiesGoOutWithTheirLengthAndNothingElse) {
  Script(R"([{"status": 200}])");
  const std::string small = "hello, body";
  const std::string large = Pattern(2 * 1024 * 1024 + 3);  // past curl's Expect threshold
  {
    Exchange e = Exchange::ToStub(bucket_, "PUT", "/one-shot");
    ASSERT_NE(e.request, nullptr);
    ASSERT_TRUE(e.request->SendRequest(reinterpret_cast<const std::uint8_t*>(small.data()),
                                       static_cast<std::uint32_t>(small.size())));
  }
  {
    Exchange e = Exchange::ToStub(bucket_, "PUT", "/empty");
    ASSERT_NE(e.request, nullptr);
    ASSERT_TRUE(e.request->SendRequest(nullptr, 0));
  }
  {
    Exchange e = Exchange::ToStub(bucket_, "PUT", "/streamed");
    ASSERT_NE(e.request, nullptr);
    ASSERT_TRUE(e.request->SendRequestStreamed(large.size()));
    for (size_t offset = 0; offset < large.size(); offset += 1024) {
      const std::uint32_t n = static_cast<std::uint32_t>(std::min<size_t>(1024, large.size() - offset));
      std::uint32_t written = 0;
      ASSERT_TRUE(e.request->WriteData(reinterpret_cast<const std::uint8_t*>(large.data()) + offset,
                                       n, &written));
      ASSERT_EQ(written, n);
    }
    std::uint32_t extra = 0;
    EXPECT_FALSE(e.request->WriteData(reinterpret_cast<const std::uint8_t*>("x"), 1, &extra));
    std::uint32_t status = 0;
    ASSERT_TRUE(e.request->QueryStatusCode(&status));
    EXPECT_EQ(status, 200u);
  }
  {
    Exchange e = Exchange::ToStub(bucket_, "DELETE", "/gone");
    ASSERT_NE(e.request, nullptr);
    ASSERT_TRUE(e.request->SendRequest(nullptr, 0));
  }

  const std::vector<StubRequest> seen = StubServer::Requests(bucket_);
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].body, small);
  EXPECT_EQ(FindHeader(seen[0].headers, "Content-Length"), std::to_string(small.size()));
  EXPECT_EQ(seen[1].method, "PUT");
  EXPECT_EQ(FindHeader(seen[1].headers, "Content-Length"), "0");
  EXPECT_EQ(seen[2].body.size(), large.size());
  EXPECT_TRUE(seen[2].body == large);
  EXPECT_EQ(FindHeader(seen[2].headers, "Content-Length"), std::to_string(large.size()));
  EXPECT_EQ(seen[3].method, "DELETE");
  EXPECT_EQ(seen[3].body, "");
  for (const StubRequest& r : seen) {
    for (const char* name : {"Accept", "Expect", "User-Agent", "Content-Type",
                             "Transfer-Encoding", "Accept-Encoding"}) {
      EXPECT_EQ(FindHeader(r.headers, name), "") << r.path << " carries " << name;
    }
  }
}

TEST_F(HttpCurlStubTest, LargeAnswerReadsWholeThroughTheBoundedBuffer) {
  const std::string body = Pattern(3 * 1024 * 1024 + 17);
  Script(R"([{"body": ")" + body + R"("}])");
  Exchange e = Exchange::ToStub(bucket_, "GET", "/big");
  ASSERT_NE(e.request, nullptr);
  ASSERT_TRUE(e.request->SendRequest(nullptr, 0));
  std::uint64_t length = 0;
  ASSERT_TRUE(e.request->QueryContentLength(&length));
  EXPECT_EQ(length, body.size());
  bool ok = false;
  const std::string got = ReadAll(e.request.get(), 4095, &ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(got.size(), body.size());
  EXPECT_TRUE(got == body);
}

TEST_F(HttpCurlStubTest, AnswerLengthsAsAnnouncedOrMissing) {
  Script(R"([
    {"path": "/none", "status": 500, "body": "no length here", "length": "none"},
    {"path": "/short", "body": "only ten b", "length": 100},
    {"path": "/huge", "body": "tiny", "length": 1000000000000},
    {"path": "/overflow", "body": "tiny", "headers": [["Content-Length", "99999999999999999999999"]], "length": "none"}
  ])");
  {
    Exchange e = Exchange::ToStub(bucket_, "GET", "/none");
    ASSERT_TRUE(e.request->SendRequest(nullptr, 0));
    std::uint64_t length = 7;
    EXPECT_FALSE(e.request->QueryContentLength(&length));
    std::uint32_t status = 0;
    ASSERT_TRUE(e.request->QueryStatusCode(&status));
    EXPECT_EQ(status, 500u);
    bool ok = false;
    EXPECT_EQ(ReadAll(e.request.get(), 3, &ok), "no length here");
    EXPECT_TRUE(ok);
  }
  {
    Exchange e = Exchange::ToStub(bucket_, "GET", "/short");
    ASSERT_TRUE(e.request->SendRequest(nullptr, 0));
    std::uint64_t length = 0;
    ASSERT_TRUE(e.request->QueryContentLength(&length));
    EXPECT_EQ(length, 100u);
    bool ok = true;
    EXPECT_EQ(ReadAll(e.request.get(), 4095, &ok), "only ten b");
    EXPECT_FALSE(ok);  // the connection closed 90 bytes early
  }
  {
    Exchange e = Exchange::ToStub(bucket_, "GET", "/huge");
    ASSERT_TRUE(e.request->SendRequest(nullptr, 0));
    std::uint64_t length = 0;
    ASSERT_TRUE(e.request->QueryContentLength(&length));
    EXPECT_EQ(length, 1000000000000u);
  }
  {
    Exchange e = Exchange::ToStub(bucket_, "GET", "/overflow");
    ASSERT_TRUE(e.request->SendRequest(nullptr, 0));
    std::uint64_t length = 0;
    ASSERT_TRUE(e.request->QueryContentLength(&length));
    EXPECT_EQ(length, UINT64_MAX);  // announced, though beyond any number
  }
}

TEST_F(HttpCurlStubTest, CertificateOfAnUntrustedIssuerFailsTheSend) {
  Script(R"([{"body": "never read"}])");
  // The system's trust store does not hold the test servers' CA.
  Exchange e = Exchange::Open(platform::HttpSessionOptions(), StubHost(bucket_),
                              TestServers::Get().stub_port, "GET", "/");
  ASSERT_NE(e.request, nullptr);
  EXPECT_FALSE(e.request->SendRequest(nullptr, 0));
  std::uint32_t status = 0;
  EXPECT_FALSE(e.request->QueryStatusCode(&status));
  EXPECT_TRUE(StubServer::Requests(bucket_).empty());
}

TEST_F(HttpCurlStubTest, ProxyWithCredentialsTunnelsToTheServer) {
  const TestServers& servers = TestServers::Get();
  ASSERT_FALSE(servers.proxy_buckets.empty());
  bucket_ = servers.proxy_buckets[0];
  ASSERT_TRUE(StubServer::Reset(bucket_));
  Script(R"([{"body": "through the proxy"}])");
  platform::HttpSessionOptions options = TrustTestCa();
  options.use_proxy = true;
  options.proxy = servers.proxy;
  options.proxy_user_name = servers.proxy_user;
  options.proxy_password = servers.proxy_password;
  {
    Exchange e = Exchange::Open(options, StubHost(bucket_), servers.stub_port, "GET", "/p");
    ASSERT_NE(e.request, nullptr);
    ASSERT_TRUE(e.request->SendRequest(nullptr, 0));
    bool ok = false;
    EXPECT_EQ(ReadAll(e.request.get(), 4095, &ok), "through the proxy");
    EXPECT_TRUE(ok);
  }
  options.proxy_password = "wrong";
  {
    Exchange e = Exchange::Open(options, StubHost(bucket_), servers.stub_port, "GET", "/q");
    ASSERT_NE(e.request, nullptr);
    EXPECT_FALSE(e.request->SendRequest(nullptr, 0));
  }
  const std::vector<StubRequest> seen = StubServer::Requests(bucket_);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].path, "/p");
  EXPECT_EQ(FindHeader(seen[0].headers, "Proxy-Authorization"), "");
}

}  // namespace
