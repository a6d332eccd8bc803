#include "s3/http_request.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/wide_string.h"
#include "platform/env.h"
#include "platform/http.h"
#include "platform/last_error.h"
#include "platform/named_mutex.h"
#include "s3/s3_message.h"
#include "support/ini_fixture.h"
#include "support/test_env.h"
#include "support/test_servers.h"

namespace {

using testsupport::FindHeader;
using testsupport::StubRequest;
using testsupport::StubServer;
using testsupport::TestServers;

// Counts the HTTP calls of every exchange while still running them on the
// real handles.
struct HttpCalls {
  std::atomic<int> sessions{0};
  std::atomic<int> sends{0};
  std::atomic<int> streamed_sends{0};
  std::vector<std::uint32_t> writes;
  std::vector<std::string> header_lines;
};

class RecordingRequest : public platform::HttpRequestHandle {
 public:
  RecordingRequest(std::unique_ptr<platform::HttpRequestHandle> real, HttpCalls* calls)
      : real_(std::move(real)), calls_(calls) {}
  bool AddHeaderLine(const std::string& line) override {
    calls_->header_lines.push_back(line);
    return real_->AddHeaderLine(line);
  }
  bool SendRequest(const std::uint8_t* body, std::uint32_t length) override {
    ++calls_->sends;
    return real_->SendRequest(body, length);
  }
  bool SendRequestStreamed(std::uint64_t total) override {
    ++calls_->streamed_sends;
    return real_->SendRequestStreamed(total);
  }
  bool WriteData(const std::uint8_t* data, std::uint32_t length, std::uint32_t* written) override {
    calls_->writes.push_back(length);
    return real_->WriteData(data, length, written);
  }
  bool QueryContentLength(std::uint64_t* length) override { return real_->QueryContentLength(length); }
  bool QueryStatusCode(std::uint32_t* status) override { return real_->QueryStatusCode(status); }
  bool ReadData(std::uint8_t* buffer, std::uint32_t size, std::uint32_t* read) override {
    return real_->ReadData(buffer, size, read);
  }
  bool EndRequest() override { return real_->EndRequest(); }

 private:
  std::unique_ptr<platform::HttpRequestHandle> real_;
  HttpCalls* calls_;
};

class RecordingConnection : public platform::HttpConnection {
 public:
  RecordingConnection(std::unique_ptr<platform::HttpConnection> real, HttpCalls* calls)
      : real_(std::move(real)), calls_(calls) {}
  std::unique_ptr<platform::HttpRequestHandle> OpenRequest(const std::string& verb,
                                                           const std::string& path,
                                                           bool secure) override {
    auto request = real_->OpenRequest(verb, path, secure);
    if (request == nullptr) return nullptr;
    return std::make_unique<RecordingRequest>(std::move(request), calls_);
  }

 private:
  std::unique_ptr<platform::HttpConnection> real_;
  HttpCalls* calls_;
};

class RecordingSession : public platform::HttpSession {
 public:
  RecordingSession(std::unique_ptr<platform::HttpSession> real, HttpCalls* calls)
      : real_(std::move(real)), calls_(calls) {}
  std::unique_ptr<platform::HttpConnection> Connect(const std::string& host,
                                                    std::uint16_t port) override {
    auto connection = real_->Connect(host, port);
    if (connection == nullptr) return nullptr;
    return std::make_unique<RecordingConnection>(std::move(connection), calls_);
  }

 private:
  std::unique_ptr<platform::HttpSession> real_;
  HttpCalls* calls_;
};

// The test Env (virtual clock, captured events, hermetic settings) with
// every HTTP exchange recorded and every settings read counted.
class TransportEnv : public testsupport::TestEnv {
 public:
  std::unique_ptr<platform::HttpSession> OpenHttpSession(
      const platform::HttpSessionOptions& options) override {
    ++calls.sessions;
    last_options = options;
    auto session = testsupport::TestEnv::OpenHttpSession(options);
    if (session == nullptr) return nullptr;
    return std::make_unique<RecordingSession>(std::move(session), &calls);
  }
  bool GetEnvironmentVariable(const char* name, std::string* value) override {
    ++settings_reads;
    return testsupport::TestEnv::GetEnvironmentVariable(name, value);
  }
  std::u16string GetModuleFileName() override {
    ++settings_reads;
    return testsupport::TestEnv::GetModuleFileName();
  }
  HttpCalls calls;
  platform::HttpSessionOptions last_options;
  std::atomic<int> settings_reads{0};
};

std::string Lowered(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Base64(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                       (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                       static_cast<unsigned char>(bytes[i + 2]);
    for (int s = 18; s >= 0; s -= 6) out += kAlphabet[(v >> s) & 63];
  }
  if (i + 1 == bytes.size()) {
    const unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == bytes.size()) {
    const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                       (static_cast<unsigned char>(bytes[i + 1]) << 8);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::string BodyOf(const S3Response& response) {
  return std::string(reinterpret_cast<const char*>(response.GetBody()),
                     static_cast<size_t>(response.GetBodyLength()));
}

// ---------------------------------------------------------------------------
// The request record and the message records, without the network.

class HttpRequestRecordTest : public ::testing::Test {
 protected:
  HttpRequestRecordTest() : override_(&env_), ini_(&env_) { ini_.WriteOnline(""); }
  TransportEnv env_;
  platform::ScopedEnvOverride override_;
  testsupport::IniFixture ini_;
};

TEST_F(HttpRequestRecordTest, SetHeaderJoinsADifferentValueAndKeepsAnEqualOne) {
  CNHttpRequest request;
  request.SetHeader(u"x-amz-acl", u"private");
  request.SetHeader(u"x-amz-acl", u"private");
  EXPECT_EQ(request.GetHeaders().Lookup(u"x-amz-acl"), u"private");
  request.SetHeader(u"x-amz-acl", u"public");
  EXPECT_EQ(request.GetHeaders().Lookup(u"x-amz-acl"), u"privatepublic");
  request.SetHeader(u"X-Amz-Acl", u"other");  // another name: exact match only
  EXPECT_EQ(request.GetHeaders().Count(), 2);

  CNHttpRequest full;
  for (int i = 0; i < 100; ++i) full.SetHeader(u"h" + Utf8ToU16(std::to_string(1000 + i)), u"v");
  full.SetHeader(u"zzz", u"dropped");
  EXPECT_EQ(full.GetHeaders().Count(), 100);
  EXPECT_EQ(full.GetHeaders().Find(u"zzz"), -1);
  full.SetHeader(u"h1000", u"w");  // an existing name still changes
  EXPECT_EQ(full.GetHeaders().Lookup(u"h1000"), u"vw");
}

TEST_F(HttpRequestRecordTest, BodiesAreCopiedAndNullOrEmptySourcesChangeNothing) {
  CNHttpRequest request;
  std::uint8_t data[] = {1, 0, 2, 3};
  request.SetBody(data, 4);
  data[0] = 9;
  ASSERT_EQ(request.GetBodyLength(), 4);
  EXPECT_EQ(request.GetBody()[0], 1);
  request.SetBody(nullptr, 10);
  request.SetBody(data, 0);
  request.SetBody(data, -1);
  EXPECT_EQ(request.GetBodyLength(), 4);
  EXPECT_EQ(request.GetBody()[0], 1);

  request.SetHost(u"h");
  request.SetPort(444);
  request.SetVerb(u"PUT");
  request.SetPath(u"/k");
  request.SetHeader(u"a", u"b");
  CNHttpRequest copy(request);
  EXPECT_NE(copy.GetBody(), request.GetBody());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(copy.GetBody()), 4),
            std::string(reinterpret_cast<const char*>(request.GetBody()), 4));
  EXPECT_EQ(copy.GetHost(), u"h");
  EXPECT_EQ(copy.GetPort(), 444);
  EXPECT_EQ(copy.GetVerb(), u"PUT");
  EXPECT_EQ(copy.GetPath(), u"/k");
  EXPECT_EQ(copy.GetHeaders().Lookup(u"a"), u"b");

  CNHttpRequest assigned;
  assigned = request;
  EXPECT_EQ(assigned.GetBodyLength(), 4);
  assigned = CNHttpRequest();
  EXPECT_EQ(assigned.GetBodyLength(), 0);
  EXPECT_EQ(assigned.GetBody(), nullptr);
}

TEST_F(HttpRequestRecordTest, ResponseCopiesEverythingButTheHeaders) {
  S3Response response;
  EXPECT_EQ(response.m_iStatus, 0);
  EXPECT_EQ(response.m_iRetry, 0);
  EXPECT_EQ(response.GetBody(), nullptr);
  response.m_strBucket = u"b";
  response.m_strKey = u"k";
  response.m_strVerb = u"GET";
  response.m_strText = u"text";
  response.m_iStatus = 206;
  response.m_iRetry = 1;
  response.m_headers.Set(u"etag", u"x");
  const std::uint8_t bytes[] = {0, 1, 2};
  response.SetBody(bytes, 3);

  const S3Response copy(response);
  EXPECT_EQ(copy.m_strBucket, u"b");
  EXPECT_EQ(copy.m_strKey, u"k");
  EXPECT_EQ(copy.m_strVerb, u"GET");
  EXPECT_EQ(copy.m_strText, u"text");
  EXPECT_EQ(copy.m_iStatus, 206);
  EXPECT_EQ(copy.m_iRetry, 1);
  EXPECT_EQ(BodyOf(copy), BodyOf(response));
  EXPECT_NE(copy.GetBody(), response.GetBody());
  EXPECT_EQ(copy.m_headers.Count(), 0);

  S3Response assigned;
  assigned.m_headers.Set(u"own", u"kept");
  assigned = response;
  EXPECT_EQ(assigned.m_headers.Lookup(u"own"), u"kept");
  EXPECT_EQ(assigned.m_headers.Find(u"etag"), -1);
  EXPECT_EQ(BodyOf(assigned), BodyOf(response));
  const std::uint8_t* before = assigned.GetBody();
  S3Response& self = assigned;
  assigned = self;
  EXPECT_EQ(assigned.GetBody(), before);
  EXPECT_EQ(assigned.m_iStatus, 206);

  S3Message message;
  message.SetBody(bytes, 3);
  message.SetBody(nullptr, 3);
  EXPECT_EQ(message.GetBody(), nullptr);
  EXPECT_EQ(message.GetBodyLength(), 0);
}

TEST_F(HttpRequestRecordTest, SetS3ErrorReportsTheBareCodeAndSetsTheLastError) {
  platform::SetLastError(0);
  SetS3Error(u"<?xml version=\"1.0\"?><Error><Code>NoSuchKey</Code><Message>gone</Message></Error>");
  EXPECT_EQ(platform::GetLastError(), platform::kLastErrorS3);
  // Texts the markers do not frame are still cut as far as they go.
  SetS3Error(u"no markers at all");
  SetS3Error(u"</Code><Message>before<Error><Code>AccessDenied");
  SetS3Error(u"");
  const std::vector<testsupport::EventRecord> events = env_.events();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].text, u"NoSuchKey");
  EXPECT_EQ(events[0].type, platform::kEventTypeError);
  EXPECT_EQ(events[0].event_id, 0xC0020001u);
  EXPECT_EQ(events[1].text, u"no markers at all");
  EXPECT_EQ(events[2].text, u"AccessDenied");
  EXPECT_EQ(events[3].text, u"");
}

TEST_F(HttpRequestRecordTest, EmptyHostOrBadPortFailsWithoutTalkingToAnyone) {
  CNHttpRequest request;
  request.SetVerb(u"GET");
  request.SetPath(u"/");
  const int reads_before = env_.settings_reads;
  EXPECT_EQ(request.Send(), u"");
  EXPECT_EQ(request.GetResponse().m_iRetry, 1);
  EXPECT_EQ(request.GetResponse().m_iStatus, 0);
  EXPECT_EQ(env_.calls.sessions, 0);
  EXPECT_EQ(env_.settings_reads, reads_before);  // not even the settings

  request.SetHost(u"localhost");
  request.SetPort(70000);
  EXPECT_EQ(request.Send(), u"");
  EXPECT_EQ(request.GetResponse().m_iRetry, 1);
  request.SetPort(-1);
  EXPECT_EQ(request.Send(), u"");
  EXPECT_EQ(request.GetResponse().m_iRetry, 1);
  EXPECT_EQ(env_.calls.writes.size(), 0u);
  EXPECT_EQ(env_.calls.sends, 0);
}

// ---------------------------------------------------------------------------
// Exchanges with the scripted stub server.

class HttpRequestStubTest : public ::testing::Test {
 protected:
  HttpRequestStubTest() : override_(&env_), ini_(&env_) {}

  void SetUp() override {
    if (!TestServers::Get().ok) GTEST_SKIP() << TestServers::Get().error;
    bucket_ = Lowered(std::string("req") +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
    ASSERT_TRUE(StubServer::Reset(bucket_));
    WriteSettings("");
  }

  void WriteSettings(const std::string& extra) {
    ini_.WriteOnline("CACertFile=" + TestServers::Get().ca_file + "\n" + extra);
  }

  void Script(const std::string& json) {
    std::string error;
    ASSERT_TRUE(StubServer::SetScript(bucket_, json, &error)) << error;
  }

  // A request to the stub for this test's bucket; built after the settings
  // are written, since it reads the bandwidth values at construction.
  std::unique_ptr<CNHttpRequest> Request(const std::u16string& verb,
                                         const std::u16string& path) {
    auto request = std::make_unique<CNHttpRequest>();
    request->SetHost(Utf8ToU16(bucket_ + "." + TestServers::Get().s3_host));
    request->SetPort(TestServers::Get().stub_port);
    request->SetVerb(verb);
    request->SetPath(path);
    return request;
  }

  TransportEnv env_;
  platform::ScopedEnvOverride override_;
  testsupport::IniFixture ini_;
  std::string bucket_;
};

TEST_F(HttpRequestStubTest, BodiesUpTo10240GoInOneSendLongerOnesIn1024ByteChunks) {
  Script(R"([{"status": 200, "body": "ok"}])");
  const std::string whole(10240, 'w');
  const std::string streamed(10241, 's');

  auto one = Request(u"PUT", u"/whole");
  one->SetBody(reinterpret_cast<const std::uint8_t*>(whole.data()), 10240);
  one->SetHeader(u"Content-Length", u"ignored");
  EXPECT_EQ(one->Send(), u"ok");
  EXPECT_EQ(one->GetResponse().m_iRetry, 0);
  EXPECT_EQ(env_.calls.sends, 1);
  EXPECT_EQ(env_.calls.streamed_sends, 0);
  EXPECT_TRUE(env_.calls.writes.empty());
  // The map's own line, then the extra one with the real length.
  ASSERT_GE(env_.calls.header_lines.size(), 2u);
  EXPECT_EQ(env_.calls.header_lines[env_.calls.header_lines.size() - 2], "Content-Length: ignored");
  EXPECT_EQ(env_.calls.header_lines.back(), "Content-Length: 10240");

  auto two = Request(u"PUT", u"/streamed");
  two->SetBody(reinterpret_cast<const std::uint8_t*>(streamed.data()), 10241);
  EXPECT_EQ(two->Send(), u"ok");
  EXPECT_EQ(two->GetResponse().m_iRetry, 0);
  EXPECT_EQ(env_.calls.sends, 1);
  EXPECT_EQ(env_.calls.streamed_sends, 1);
  std::vector<std::uint32_t> expected(10, 1024);
  expected.push_back(1);
  EXPECT_EQ(env_.calls.writes, expected);
  // A repeated Send uploads the same body again.
  EXPECT_EQ(two->Send(), u"ok");
  EXPECT_EQ(two->GetBodyLength(), 10241);

  const std::vector<StubRequest> seen = StubServer::Requests(bucket_);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].body, whole);
  EXPECT_EQ(FindHeader(seen[0].headers, "Content-Length"), "10240");
  EXPECT_EQ(seen[1].body, streamed);
  EXPECT_EQ(FindHeader(seen[1].headers, "Content-Length"), "10241");
  EXPECT_EQ(seen[2].body, streamed);
  EXPECT_TRUE(env_.sleeps().empty());  // no limit, no pauses
}

TEST_F(HttpRequestStubTest, ErrorAnswersSetRetryAndOnlyS3ErrorDocumentsAreReported) {
  Script(R"([{"path": "/empty500", "status": 500, "body": ""},
             {"path": "/plain403", "status": 403, "body": "<html>no</html>"},
             {"path": "/redirect", "status": 301, "body": ""}])");
  platform::SetLastError(0);
  // No rule for the path: the stub answers 404 with an S3 NoSuchKey document.
  auto missing = Request(u"GET", u"/missing");
  const std::u16string text = missing->Send();
  EXPECT_NE(text.find(u"<Error><Code>NoSuchKey</Code><Message>"), std::u16string::npos);
  S3Response response = missing->GetResponse();
  EXPECT_EQ(response.m_iStatus, 404);
  EXPECT_EQ(response.m_iRetry, 1);
  EXPECT_EQ(response.m_strText, text);
  EXPECT_EQ(platform::GetLastError(), platform::kLastErrorS3);
  std::vector<testsupport::EventRecord> events = env_.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].text, u"NoSuchKey");

  platform::SetLastError(0);
  env_.ClearCaptures();
  for (const char16_t* path : {u"/empty500", u"/plain403", u"/redirect"}) {
    auto request = Request(u"GET", path);
    request->Send();
    EXPECT_EQ(request->GetResponse().m_iRetry, 1) << U16ToUtf8(path);
  }
  auto last = Request(u"GET", u"/empty500");
  EXPECT_EQ(last->Send(), u"");
  EXPECT_EQ(last->GetResponse().m_iStatus, 500);
  EXPECT_EQ(last->GetResponse().GetBody(), nullptr);
  EXPECT_TRUE(env_.events().empty());
  EXPECT_EQ(platform::GetLastError(), 0u);
}

TEST_F(HttpRequestStubTest, AnswerBytesAreKeptWholeWhileTheTextStopsAtZerosOfEachPiece) {
  // Two pieces of 4095 bytes and a last one; each holds a zero byte.
  std::string body = "first" + std::string(1, '\0') + "hidden";
  body += std::string(4095 - body.size(), 'a');
  body += "second" + std::string(1, '\0') + "hidden";
  body += std::string(8190 - body.size(), 'b');
  body += "third";
  const std::string no_length_body = "listing <IsTruncated>false</IsTruncated>";
  Script(R"([{"path": "/binary", "body_base64": ")" + Base64(body) + R"("},
             {"path": "/nolength", "body": ")" + no_length_body + R"(", "length": "none"}])");

  auto binary = Request(u"GET", u"/binary");
  const std::u16string text = binary->Send();
  EXPECT_EQ(U16ToUtf8(text), "firstsecondthird");
  S3Response response = binary->GetResponse();
  EXPECT_EQ(response.m_iRetry, 0);
  EXPECT_EQ(response.m_iStatus, 200);
  EXPECT_EQ(response.GetBodyLength(), static_cast<std::int32_t>(body.size()));
  EXPECT_TRUE(BodyOf(response) == body);

  // The same request object, now answered without a Content-Length: the
  // text arrives, no bytes, and none of the earlier answer's bytes remain.
  binary->SetPath(u"/nolength");
  EXPECT_EQ(U16ToUtf8(binary->Send()), no_length_body);
  response = binary->GetResponse();
  EXPECT_EQ(response.m_iRetry, 0);
  EXPECT_EQ(response.GetBody(), nullptr);
  EXPECT_EQ(response.GetBodyLength(), 0);
}

TEST_F(HttpRequestStubTest, AnswersCutShortOrTooLongToHoldFailCleanly) {
  Script(R"([{"path": "/good", "body": "good answer"},
             {"path": "/short", "body": "ten bytes!", "length": 100},
             {"path": "/int32max", "body": "x", "length": 2147483647},
             {"path": "/past-int32", "body": "x", "length": 2147483648},
             {"path": "/huge", "body": "x", "length": 1000000000000},
             {"path": "/overflow", "body": "x", "length": "none",
              "headers": [["Content-Length", "184467440737095516160"]]},
             {"path": "/dropped", "drop": true}])");
  auto request = Request(u"GET", u"/good");
  ASSERT_EQ(request->Send(), u"good answer");
  for (const char16_t* path : {u"/short", u"/int32max", u"/past-int32", u"/huge",
                               u"/overflow", u"/dropped"}) {
    request->SetPath(path);
    EXPECT_EQ(request->Send(), u"") << U16ToUtf8(path);
    const S3Response response = request->GetResponse();
    EXPECT_EQ(response.m_iRetry, 1) << U16ToUtf8(path);
    // The failed exchange left the last whole answer in place.
    EXPECT_EQ(response.m_iStatus, 200);
    EXPECT_EQ(response.m_strText, u"good answer");
    EXPECT_EQ(BodyOf(response), "good answer");
  }
}

TEST_F(HttpRequestStubTest, OddStatusLinesAndHeadersFailWithoutHarm) {
  const std::string long_value(300 * 1024, 'h');
  std::string many_headers;
  for (int i = 0; i < 3000; ++i) {
    many_headers += std::string(i == 0 ? "" : ",") + "[\"x-h" + std::to_string(i) + "\", \"v\"]";
  }
  Script(R"([{"path": "/s999", "status": 999, "body": "odd"},
             {"path": "/s0", "status": 0, "body": "odd"},
             {"path": "/s1000", "status": 1000, "body": "odd"},
             {"path": "/interim", "status": 100, "body": "not a response"},
             {"path": "/long", "headers": [["x-long", ")" + long_value + R"("]], "body": "odd"},
             {"path": "/controls", "headers": [["x-c", "a\u0000b\u0001\u00ff"]], "body": "fine"},
             {"path": "/many", "headers": [)" + many_headers + R"(], "body": "many"}])");
  for (const char16_t* path : {u"/s999", u"/s0", u"/s1000", u"/interim", u"/long"}) {
    auto request = Request(u"GET", path);
    request->Send();
    EXPECT_EQ(request->GetResponse().m_iRetry, 1) << U16ToUtf8(path);
  }
  auto controls = Request(u"GET", u"/controls");
  controls->Send();  // whatever the outcome, it is a defined one
  auto many = Request(u"GET", u"/many");
  EXPECT_EQ(many->Send(), u"many");
  EXPECT_EQ(many->GetResponse().m_iRetry, 0);
}

TEST_F(HttpRequestStubTest, ErrorAnswerBeforeTheBodyIsSentStillArrives) {
  // The S3 server refuses an unsigned upload as soon as it has the headers.
  auto request = Request(u"PUT", u"/unsigned-upload");
  request->SetHost(u"unsigned." + Utf8ToU16(TestServers::Get().s3_host));
  request->SetPort(TestServers::Get().s3_port);
  const std::string body(3 * 1024 * 1024, 'b');
  request->SetBody(reinterpret_cast<const std::uint8_t*>(body.data()),
                   static_cast<std::int32_t>(body.size()));
  const std::u16string text = request->Send();
  EXPECT_NE(text.find(u"<Error><Code>"), std::u16string::npos) << U16ToUtf8(text);
  EXPECT_EQ(request->GetResponse().m_iStatus, 403);
  EXPECT_EQ(request->GetResponse().m_iRetry, 1);
  ASSERT_EQ(env_.events().size(), 1u);
  EXPECT_FALSE(env_.events()[0].text.empty());
}

TEST_F(HttpRequestStubTest, UntrustedCertificateFailsWithRetry) {
  Script(R"([{"body": "never"}])");
  // A trust file that holds some other CA than the servers'.
  const std::string other = "/etc/ssl/certs/ca-certificates.crt";
  ini_.WriteOnline("CACertFile=" + other + "\n");
  auto request = Request(u"GET", u"/");
  EXPECT_EQ(request->Send(), u"");
  EXPECT_EQ(request->GetResponse().m_iRetry, 1);
  EXPECT_EQ(env_.last_options.ca_cert_file, other);
  EXPECT_TRUE(StubServer::Requests(bucket_).empty());
}

TEST_F(HttpRequestStubTest, ProxyFromTheSettingsWithItsCredentials) {
  const TestServers& servers = TestServers::Get();
  ASSERT_GE(servers.proxy_buckets.size(), 2u);
  bucket_ = servers.proxy_buckets[1];
  ASSERT_TRUE(StubServer::Reset(bucket_));
  Script(R"([{"body": "via proxy"}])");
  WriteSettings("UseProxy=1\nProxyServer=" + servers.proxy + "\nProxyUserName=" +
                servers.proxy_user + "\nProxyPassword=" + servers.proxy_password + "\n");
  auto request = Request(u"GET", u"/through");
  EXPECT_EQ(request->Send(), u"via proxy");
  EXPECT_EQ(request->GetResponse().m_iRetry, 0);
  EXPECT_TRUE(env_.last_options.use_proxy);
  EXPECT_EQ(env_.last_options.proxy, servers.proxy);

  WriteSettings("UseProxy=1\nProxyServer=" + servers.proxy + "\nProxyUserName=" +
                servers.proxy_user + "\nProxyPassword=wrong\n");
  EXPECT_EQ(request->Send(), u"");
  EXPECT_EQ(request->GetResponse().m_iRetry, 1);
  EXPECT_EQ(StubServer::Requests(bucket_).size(), 1u);
}

TEST_F(HttpRequestStubTest, BandwidthLimitPausesEachChunkAndPieceByItsShare) {
  std::string answer(5000, 'r');
  Script(R"([{"body": ")" + answer + R"("}])");
  WriteSettings("BandWidthLim=1\nUploadWidth=1\nDownloadWidth=2\n");
  auto request = Request(u"PUT", u"/limited");
  const std::string body(10241, 'u');
  request->SetBody(reinterpret_cast<const std::uint8_t*>(body.data()), 10241);
  EXPECT_EQ(U16ToUtf8(request->Send()), answer);
  EXPECT_EQ(request->GetResponse().m_iRetry, 0);
  // The virtual clock stands still inside a chunk, so each pause is what
  // the bytes are worth: 1024 bytes at 1000 B/s, 1 byte, then the answer
  // pieces of 4095 and 905 bytes at 2000 B/s and the closing empty read.
  std::vector<std::uint32_t> expected(10, 1024);
  expected.push_back(1);
  expected.push_back(2047);
  expected.push_back(452);
  expected.push_back(0);
  EXPECT_EQ(env_.sleeps(), expected);
  EXPECT_EQ(CNHttpRequest::GetSenderCount(), 0);
  EXPECT_EQ(CNHttpRequest::GetReceiverCount(), 0);
}

TEST_F(HttpRequestStubTest, CountersAndTheirMutexAreLeftAloneWithTheLimitOff) {
  Script(R"([{"body": "done"}])");
  const std::string body(20000, 'u');
  platform::NamedMutex held(kSenderMutexName);
  ASSERT_TRUE(held.Lock());

  auto free_request = Request(u"PUT", u"/free");
  free_request->SetBody(reinterpret_cast<const std::uint8_t*>(body.data()), 20000);
  std::future<std::u16string> free_send =
      std::async(std::launch::async, [&] { return free_request->Send(); });
  ASSERT_EQ(free_send.wait_for(std::chrono::seconds(30)), std::future_status::ready)
      << "a Send without the limit waited for the mutex";
  EXPECT_EQ(free_send.get(), u"done");
  EXPECT_TRUE(env_.sleeps().empty());

  WriteSettings("BandWidthLim=1\nUploadWidth=100000\nDownloadWidth=100000\n");
  auto limited = Request(u"PUT", u"/limited");
  limited->SetBody(reinterpret_cast<const std::uint8_t*>(body.data()), 20000);
  std::future<std::u16string> limited_send =
      std::async(std::launch::async, [&] { return limited->Send(); });
  EXPECT_EQ(limited_send.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
      << "a limited Send changed the counters without the mutex";
  held.Unlock();
  EXPECT_EQ(limited_send.get(), u"done");
  EXPECT_FALSE(env_.sleeps().empty());
}

}  // namespace
