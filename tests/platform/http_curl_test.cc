#include "platform/http_curl.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/curl_pool.h"
#include "support/temp_dir.h"
#include "support/test_servers.h"

namespace {

using testsupport::FindHeader;
using testsupport::StubRequest;
using testsupport::StubServer;
using testsupport::TestServers;

const std::uint8_t* Bytes(const std::string& s) {
  return reinterpret_cast<const std::uint8_t*>(s.data());
}

platform::HttpSessionOptions TestCaOptions() {
  platform::HttpSessionOptions options;
  options.ca_cert_file = TestServers::Get().ca_file;
  return options;
}

// One exchange's handles with the stub server, opened in order.
struct Exchange {
  Exchange(const std::string& bucket, const std::string& verb, const std::string& path,
           platform::HttpSessionOptions options = {}) {
    if (options.ca_cert_file.empty()) options.ca_cert_file = TestServers::Get().ca_file;
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

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs `body` in a child made by fork(); the child's exit status: 0 when
// `body` returned true, 1 when false; -1 when no child ran.
int InChild(const std::function<bool()>& body) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(body() ? 0 : 1);
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
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

// A kept connection carries the next request of the same settings only,
// and a request goes out once even when the kept connection turns out dead.
TEST_F(HttpCurlStubTest, KeptConnectionsServeTheirOwnSettingsOnly) {
  Script(R"([{"path": "/drop", "drop": true}, {"body": "fine"}])");
  platform::CloseIdleCurlChannels();
  testsupport::TempDir dir;
  std::ifstream ca(TestServers::Get().ca_file, std::ios::binary);
  dir.WriteFile("ca.pem", std::string(std::istreambuf_iterator<char>(ca), {}));
  auto ca_copy = TestCaOptions();
  ca_copy.ca_cert_file = dir.PathOf("ca.pem");
  const auto fetch = [&](const std::string& bucket, const std::string& path,
                         const platform::HttpSessionOptions& options) {
    Exchange e(bucket, "GET", path, options);
    bool ok = e.request->SendRequest(nullptr, 0);
    if (ok) ReadAll(e.request.get(), 4095, &ok);
    return ok;
  };
  EXPECT_TRUE(fetch(bucket_, "/1", TestCaOptions()));
  EXPECT_TRUE(fetch(bucket_, "/2", TestCaOptions()));
  EXPECT_TRUE(fetch(bucket_, "/other-ca", ca_copy));
  EXPECT_TRUE(fetch(bucket_, "/3", TestCaOptions()));
  platform::CloseIdleCurlChannels();
  EXPECT_TRUE(fetch(bucket_, "/4", TestCaOptions()));
  EXPECT_FALSE(fetch(bucket_, "/drop", TestCaOptions()));
  EXPECT_TRUE(fetch(bucket_, "/after-drop", TestCaOptions()));

  const std::vector<StubRequest> seen = StubServer::Requests(bucket_);
  ASSERT_EQ(seen.size(), 7u);  // the dropped request was not sent again
  EXPECT_EQ(seen[1].connection, seen[0].connection);
  EXPECT_NE(seen[2].connection, seen[0].connection);
  EXPECT_EQ(seen[3].connection, seen[0].connection);
  EXPECT_FALSE(seen[2].resumed);
  // A new connection of the same settings resumes their TLS session.
  EXPECT_NE(seen[4].connection, seen[0].connection);
  EXPECT_TRUE(seen[4].resumed);
  EXPECT_EQ(seen[5].connection, seen[4].connection);
  EXPECT_NE(seen[6].connection, seen[4].connection);

  // Through the proxy, and back to a direct connection.
  const TestServers& servers = TestServers::Get();
  ASSERT_GE(servers.proxy_buckets.size(), 2u);
  const std::string proxied = servers.proxy_buckets[1];
  ASSERT_TRUE(StubServer::Reset(proxied));
  auto via_proxy = TestCaOptions();
  via_proxy.use_proxy = true;
  via_proxy.proxy = servers.proxy;
  via_proxy.proxy_user_name = servers.proxy_user;
  via_proxy.proxy_password = servers.proxy_password;
  auto wrong_password = via_proxy;
  wrong_password.proxy_password += "-wrong";
  EXPECT_TRUE(fetch(proxied, "/direct", TestCaOptions()));
  EXPECT_TRUE(fetch(proxied, "/proxy", via_proxy));
  EXPECT_TRUE(fetch(proxied, "/proxy-again", via_proxy));
  EXPECT_FALSE(fetch(proxied, "/refused", wrong_password));
  EXPECT_TRUE(fetch(proxied, "/direct-again", TestCaOptions()));
  const std::vector<StubRequest> through = StubServer::Requests(proxied);
  ASSERT_EQ(through.size(), 4u);
  EXPECT_NE(through[1].connection, through[0].connection);
  EXPECT_EQ(through[2].connection, through[1].connection);
  EXPECT_EQ(through[3].connection, through[0].connection);
}

// A child made by fork() inherits the pool's connections, but never sends
// on them: it makes its own, and the parent's connection stays usable (no
// TLS alert from the child ended it).
TEST_F(HttpCurlStubTest, ForkedChildNeverUsesItsParentsConnections) {
  Script(R"([{"body": "fine"}])");
  platform::CloseIdleCurlChannels();
  const auto fetch = [&](const std::string& path) {
    Exchange e(bucket_, "GET", path);
    bool ok = e.request->SendRequest(nullptr, 0);
    return ok && ReadAll(e.request.get(), 4095, &ok) == "fine" && ok;
  };
  ASSERT_TRUE(fetch("/parent"));
  EXPECT_EQ(InChild([&] { return fetch("/child") && fetch("/child-again"); }), 0);
  EXPECT_TRUE(fetch("/parent-again"));

  const std::vector<StubRequest> seen = StubServer::Requests(bucket_);
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_NE(seen[1].connection, seen[0].connection);
  EXPECT_EQ(seen[2].connection, seen[1].connection);  // the child keeps its own
  EXPECT_EQ(seen[3].connection, seen[0].connection);
}

// With a trust file, that file alone is trusted: a server whose CA is in
// the system's certificate directory (and not in the file) is refused.
TEST_F(HttpCurlStubTest, TrustFileIsTheOnlyTrust) {
  Script(R"([{"body": "fine"}])");
  testsupport::TempDir dir;
  // The system's directory as the child sees it: the test CA alone, under
  // its hashed name.
  dir.WriteFile("certs/test-ca.pem", ReadWhole(TestServers::Get().ca_file));
  ASSERT_EQ(std::system(("openssl rehash " + dir.PathOf("certs") + " >/dev/null 2>&1").c_str()),
            0);
  // A trust file without the test CA: the first CA of the system's bundle.
  const std::string bundle = ReadWhole("/etc/ssl/certs/ca-certificates.crt");
  const std::string end = "-----END CERTIFICATE-----\n";
  ASSERT_NE(bundle.find(end), std::string::npos);
  dir.WriteFile("other-ca.pem", bundle.substr(0, bundle.find(end) + end.size()));
  const std::string certs = dir.PathOf("certs");
  const std::string other = dir.PathOf("other-ca.pem");

  const int child = InChild([&] {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount(certs.c_str(), "/etc/ssl/certs", nullptr, MS_BIND, nullptr) != 0) {
      ::_exit(2);  // no mount namespace here
    }
    const auto fetch = [&](const std::string& ca_file) {
      platform::HttpSessionOptions options;
      options.ca_cert_file = ca_file;
      Exchange e(bucket_, "GET", "/", options);
      bool ok = e.request->SendRequest(nullptr, 0);
      return ok && ReadAll(e.request.get(), 4095, &ok) == "fine" && ok;
    };
    return fetch(TestServers::Get().ca_file) && !fetch(other);
  });
  if (child == 2) GTEST_SKIP() << "no private mount namespace for a test process";
  EXPECT_EQ(child, 0);
}

// A peer that answers without end, or a little at a time, is given up once
// the exchange has waited past its deadline, which grows with the answer.
// Threads share the pool: every exchange gets a connection of its own for
// its duration, and the connections are kept for the next ones.
TEST_F(HttpCurlStubTest, ThreadsShareThePoolSafely) {
  Script(R"([{"body": "fine"}])");
  platform::CloseIdleCurlChannels();
  constexpr int kThreads = 4;
  constexpr int kEach = 5;
  std::atomic<int> succeeded{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        Exchange e(bucket_, "GET", "/t" + std::to_string(t) + "-" + std::to_string(i));
        bool ok = e.request->SendRequest(nullptr, 0);
        if (ok && ReadAll(e.request.get(), 4095, &ok) == "fine" && ok) ++succeeded;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(succeeded.load(), kThreads * kEach);
  std::set<std::string> connections;
  for (const StubRequest& r : StubServer::Requests(bucket_)) connections.insert(r.connection);
  EXPECT_LE(connections.size(), static_cast<size_t>(kThreads));
}

TEST_F(HttpCurlStubTest, ExchangeEndsAtItsDeadlineWhichGrowsWithTheAnswer) {
  const std::string slow(4000, 's');
  Script(R"([{"path": "/endless", "body": "x", "length": "none", "trickle_ms": 100,
              "endless": true},
             {"path": "/slow", "body": ")" + slow + R"(", "trickle_ms": 200,
              "trickle_bytes": 500},
             {"path": "/huge", "body": ")" + std::string(60, 'h') + R"(", "length": 100000,
              "trickle_ms": 100}])");
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

  // An announced length counts only as far as the caller expects an answer:
  // 100000 bytes announced, 1000 expected, a byte every 100 ms: given up
  // after 2 s rather than 6 s and a close.
  options.expected_answer_bytes = 1000;
  const auto huge_start = std::chrono::steady_clock::now();
  Exchange huge(bucket_, "GET", "/huge", options);
  ASSERT_TRUE(huge.request->SendRequest(nullptr, 0));
  ReadAll(huge.request.get(), 4095, &ok);
  EXPECT_FALSE(ok);
  EXPECT_LT(std::chrono::steady_clock::now() - huge_start, std::chrono::seconds(4));
}

}  // namespace
