// S3Client against the test servers: the S3 server (which checks every
// signature strictly) for the operations, and the scripted stub for answers
// a real server does not give on demand.

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <utility>
#include <string>
#include <vector>

#include "common/wide_string.h"
#include "fake_s3_env.h"
#if !defined(_WIN32)
#include "platform/curl_pool.h"  // the libcurl backend's pool
#endif
#include "platform/last_error.h"
#include "s3/listing_pager.h"
#include "s3/request_kinds.h"
#include "s3/s3_client.h"
#include "support/ini_fixture.h"
#include "support/store_fixture.h"
#include "support/test_env.h"
#include "support/test_platform.h"
#include "support/test_servers.h"
#include "support/url_encode.h"

namespace {

using testsupport::RawS3;
using testsupport::StubServer;
using testsupport::TestServers;
using Items = std::vector<std::u16string>;

// A bucket name of the running test alone: "s3c-" + its name + the pid.
std::string TestBucket() {
  std::string name = "s3c-";
  for (const char c :
       std::string(::testing::UnitTest::GetInstance()->current_test_info()->name())) {
    if (std::isalnum(static_cast<unsigned char>(c))) {
      name.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
  }
  return name.substr(0, 48) + "-" + std::to_string(testsupport::CurrentProcessId());
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

class S3ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(servers().ok) << servers().error;
    UseServer(servers().s3_port, servers().secret_key);
  }

  static const TestServers& servers() { return TestServers::Get(); }

  // Points the settings at the server on `port` with `secret`, no pause.
  void UseServer(int port, const std::string& secret) {
    UseServer(port, secret, protocol(), 0);
  }
  void UseServer(int port, const std::string& secret, testsupport::Protocol protocol,
                 int pause_ms) {
    ini_.WriteOnline(
        "ACCOUNT=" + testsupport::ScrambledHex(Utf8ToU16(servers().access_key)) +
        "\nPASSWORD=" + testsupport::ScrambledHex(Utf8ToU16(secret)) +
        "\nS3Host=" + servers().s3_host + "\nS3Port=" + std::to_string(port) +
        "\nCACertFile=" + servers().ca_file + "\nRequestPause=" + std::to_string(pause_ms) +
        "\nQuexBucket=" + bucket_ + "\n" + testsupport::ProtocolLines(protocol));
  }

  virtual testsupport::Protocol protocol() const { return testsupport::Protocol::kDefaults; }

  // Every page of the listing of `prefix` in the test bucket, following the
  // markers with `page_size` keys a page.
  Items ListAll(const std::u16string& prefix, int page_size, int* pages) {
    Items all;
    std::u16string marker;
    *pages = 0;
    S3Client client;
    while (*pages < 50) {
      ServiceListRequest list(bucket16());
      list.m_query.Set(u"prefix", EncodeKeyForUrl(prefix));
      list.m_query.Set(u"max-keys", Utf8ToU16(std::to_string(page_size)));
      if (!marker.empty()) list.m_query.Set(u"marker", EncodeKeyForUrl(marker));
      S3ListResult page = client.ListObjects(list);
      EXPECT_EQ(page.m_iRetry, 0) << U16ToUtf8(page.m_strText);
      if (page.m_iRetry != 0) break;
      page.ParseList();
      ++*pages;
      all.insert(all.end(), page.m_items.begin(), page.m_items.end());
      if (!page.m_iTruncated) break;
      marker = page.m_strNextMarker;
    }
    return all;
  }

  std::u16string bucket16() const { return Utf8ToU16(bucket_); }

  const std::string bucket_ = TestBucket();
  testsupport::TestEnv env_;
  platform::ScopedEnvOverride override_{&env_};
  testsupport::IniFixture ini_{&env_};
};

// The cases that run under both signature versions and addressing styles.
using S3ServerProtocolTest = testsupport::ProtocolSuite<S3ServerTest>;

INSTANTIATE_TEST_SUITE_P(Protocols, S3ServerProtocolTest,
                         ::testing::ValuesIn(testsupport::kAllProtocols),
                         testsupport::ProtocolName);

TEST_P(S3ServerProtocolTest, BucketsObjectsAndListings) {
  S3Client client;
  EXPECT_EQ(client.CheckService(), 1);
  EXPECT_EQ(client.BucketExists(bucket16()), 0);
  ServiceListRequest first(bucket16());
  S3ListResult empty = client.ListWithBucket(first);
  ASSERT_EQ(empty.m_iRetry, 0) << U16ToUtf8(empty.m_strText);
  empty.ParseList();
  EXPECT_TRUE(empty.m_items.empty());
  EXPECT_EQ(client.BucketExists(bucket16()), 1);

  const Items keys = {u"docs/a&b <c>.txt", u"docs/caf\u00e9 1.txt",
                      u"docs/x+y=z'q\"", u"other"};
  const std::string data("bin\0ary", 7);
  for (const std::u16string& key : keys) {
    PutObjectRequest put(bucket16(), key);
    put.SetBody(reinterpret_cast<const uint8_t*>(data.data()), 7);
    ASSERT_EQ(client.PutObject(put).m_iRetry, 0) << U16ToUtf8(key);
  }
  std::string stored;
  ASSERT_TRUE(RawS3::GetObject(bucket_, U16ToUtf8(keys[0]), &stored));
  EXPECT_EQ(stored, data);

  ServiceListRequest list(bucket16());
  list.m_query.Set(u"prefix", EncodeKeyForUrl(u"docs/"));
  S3ListResult listed = client.ListObjects(list);
  ASSERT_EQ(listed.m_iRetry, 0);
  listed.ParseList();
  EXPECT_EQ(listed.m_items, Items(keys.begin(), keys.begin() + 3));
  EXPECT_EQ(listed.SumSizes(), 21u);

  // The listed names are the names that read and delete the objects.
  GetObjectRequest get(bucket16(), listed.m_items[0]);
  const S3Response got = client.GetObject(get);
  ASSERT_EQ(got.m_iRetry, 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(got.GetBody()), got.GetBodyLength()),
            data);
  for (const std::u16string& key : listed.m_items) {
    DeleteObjectRequest del(bucket16(), key);
    EXPECT_EQ(client.DeleteObject(del).m_iRetry, 0);
  }
  EXPECT_EQ(RawS3::ListKeys(bucket_), (std::vector<std::string>{"other"}));
}

TEST_P(S3ServerProtocolTest, PagesFollowDecodedMarkers) {
  ASSERT_TRUE(RawS3::CreateBucket(bucket_));
  Items expected;  // in key order
  for (const char* key : {"p/a\"5", "p/a&1", "p/a&2", "p/a<3", "p/a>4", "q/x"}) {
    ASSERT_TRUE(RawS3::PutObject(bucket_, key, "d"));
    if (key[0] == 'p') expected.push_back(Utf8ToU16(key));
  }
  int pages = 0;
  EXPECT_EQ(ListAll(u"p/", 2, &pages), expected);
  EXPECT_EQ(pages, 3);
  EXPECT_EQ(ListAll(u"p/", 1000, &pages), expected);
  EXPECT_EQ(pages, 1);
}

TEST_P(S3ServerProtocolTest, FolderMarkersWithTheirAncestors) {
  S3Client client;
  FolderMarkerRequest marker(u"\\a\\b\\c\\");
  const S3Response response = client.CreateFolder(marker);
  EXPECT_EQ(response.m_iRetry, 0) << U16ToUtf8(response.m_strText);
  EXPECT_EQ(RawS3::ListKeys(bucket_),
            (std::vector<std::string>{"$folder$a", "$folder$a/b", "$folder$a/b/c"}));
  EXPECT_EQ(client.FolderExists(bucket16(), u"\\a\\b"), 1);
  EXPECT_EQ(client.FolderExists(bucket16(), u"\\a\\b\\c"), 1);
  EXPECT_EQ(client.FolderExists(bucket16(), u"\\a\\x"), 0);

  // Already there: nothing is stored, an empty response comes back.
  FolderMarkerRequest again(u"\\a\\b\\c");
  const S3Response nothing = client.CreateFolder(again);
  EXPECT_EQ(nothing.m_iStatus, 0);
  EXPECT_EQ(nothing.m_iRetry, 0);
}

TEST_P(S3ServerProtocolTest, ErrorAnswersReachTheEventLog) {
  ASSERT_TRUE(RawS3::CreateBucket(bucket_));
  S3Client client;
  platform::SetLastError(0);
  GetObjectRequest missing(bucket16(), u"no such key");
  const S3Response response = client.GetObject(missing);
  EXPECT_EQ(response.m_iRetry, 1);
  EXPECT_EQ(response.m_iStatus, 404);
  EXPECT_EQ(platform::GetLastError(), platform::kLastErrorS3);
  const auto events = env_.events();
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[0].text, u"NoSuchKey");

  env_.ClearCaptures();
  UseServer(servers().s3_port, "wrong secret");
  S3Client wrong;
  EXPECT_EQ(wrong.CheckService(), 0);
  ASSERT_FALSE(env_.events().empty());
  EXPECT_EQ(env_.events()[0].text, u"SignatureDoesNotMatch");
}

// A version-4 repeat is signed with the time it goes out: a request first
// sent with a clock 20 minutes behind, which the server refuses, goes
// through when it is repeated 20 minutes later.
TEST_F(S3ServerTest, Version4RepeatsAreSignedWithTheirOwnDate) {
  ASSERT_TRUE(RawS3::CreateBucket(bucket_));
  UseServer(servers().s3_port, servers().secret_key, testsupport::Protocol::kV4PathStyle,
            20 * 60 * 1000);
  env_.SetNowUnixSeconds(static_cast<std::int64_t>(std::time(nullptr)) - 20 * 60);
  PutObjectRequest put(bucket16(), u"k");
  put.SetBody(reinterpret_cast<const uint8_t*>("data"), 4);
  const S3Response answer = S3Client().PutObject(put);
  EXPECT_EQ(answer.m_iRetry, 0) << U16ToUtf8(answer.m_strText);
  EXPECT_EQ(env_.sleeps().size(), 2u);
  std::string stored;
  EXPECT_TRUE(RawS3::GetObject(bucket_, "k", &stored));
  EXPECT_EQ(stored, "data");
}

// Answers of the scripted stub, through the real transport.
TEST_F(S3ServerTest, StubbedListingAnswers) {
  UseServer(servers().stub_port, servers().secret_key);
  ASSERT_TRUE(StubServer::Reset(bucket_));
  const std::string listing = s3test::BucketListing({"k1", "k&amp;2"});
  S3Client client;

  // Two failures, then the listing: three sends.
  ASSERT_TRUE(StubServer::SetScript(
      bucket_, R"([{"times":2,"status":500},{"body":)" + JsonString(listing) + "}]"));
  ServiceListRequest retried(bucket16());
  S3ListResult result = client.ListObjects(retried);
  EXPECT_EQ(result.m_iRetry, 0);
  result.ParseList();
  EXPECT_EQ(result.m_items, (Items{u"k1", u"k&2"}));
  EXPECT_EQ(StubServer::Requests(bucket_).size(), 3u);

  // A listing cut short, its announced length lying or absent, is a failed
  // listing, not a shorter one.
  const std::string cut = JsonString(listing.substr(0, 120));
  for (const std::string& script : {R"([{"length":100000,"body":)" + cut + "}]",
                                    R"([{"length":"none","body":)" + cut + "}]"}) {
    ASSERT_TRUE(StubServer::Reset(bucket_));
    ASSERT_TRUE(StubServer::SetScript(bucket_, script));
    ServiceListRequest list(bucket16());
    EXPECT_EQ(client.ListObjects(list).m_iRetry, 1) << script;
    EXPECT_EQ(StubServer::Requests(bucket_).size(), 5u);
  }
}

// An answer is held to what its kind can need: a listing page of more than
// kListingPageBytes, or an error document of more than kSmallAnswerBytes,
// fails its attempt even when its end is announced by nothing but the
// connection closing.
TEST_F(S3ServerTest, AnswersAreHeldToWhatTheirKindNeeds) {
  UseServer(servers().stub_port, servers().secret_key);
  ASSERT_TRUE(StubServer::Reset(bucket_));
  const std::string listing = s3test::BucketListing({"k"});
  const std::string padded = listing.substr(0, listing.size() - 19) +
                             std::string(kListingPageBytes, ' ') + "</ListBucketResult>";
  const std::string error = "<Error><Code>NoSuchKey</Code><Message>" +
                            std::string(kSmallAnswerBytes, '.') + "</Message></Error>";
  ASSERT_TRUE(StubServer::SetScript(
      bucket_, R"([{"method":"GET","path":"?","length":"none","body":)" + JsonString(padded) +
                   R"(},{"method":"GET","status":404,"length":"none","body":)" +
                   JsonString(error) + "}]"));
  S3Client client;
  ServiceListRequest list(bucket16());
  list.m_query.Set(u"prefix", u"k");
  EXPECT_EQ(client.ListObjects(list).m_iRetry, 1);
  GetObjectRequest get(bucket16(), u"k");
  EXPECT_EQ(client.GetObject(get).m_iRetry, 1);
  for (const auto& event : env_.events()) {
    EXPECT_EQ(event.text.rfind(u"answer refused: ", 0), 0u) << U16ToUtf8(event.text);
  }
  EXPECT_EQ(env_.events().size(), 10u);
}

// A listing whose pages keep coming, each past the one before, ends at the
// pager's bound, refused and reported.
TEST_F(S3ServerTest, ListingEndsAtItsPageBound) {
  UseServer(servers().stub_port, servers().secret_key);
  ASSERT_TRUE(StubServer::Reset(bucket_));
  std::string rules;
  for (int i = 1; i <= 5; ++i) {
    rules += R"({"path":"marker=k)" + std::to_string(i) + R"(","body":)" +
             JsonString(s3test::BucketListing({"k" + std::to_string(i + 1)}, true)) + "},";
  }
  ASSERT_TRUE(StubServer::SetScript(
      bucket_, "[" + rules + R"({"body":)" +
                   JsonString(s3test::BucketListing({"k1"}, true)) + "}]"));
  ListingPager pager(bucket16(), u"", 3);
  S3ListResult page;
  int pages = 0;
  while (pager.Next(&page)) ++pages;
  EXPECT_EQ(pages, 3);
  EXPECT_FALSE(pager.Complete());
  EXPECT_TRUE(pager.Unending());
  EXPECT_EQ(StubServer::Requests(bucket_).size(), 3u);
  ASSERT_EQ(env_.events().size(), 1u);
  EXPECT_NE(env_.events()[0].text.find(u"still truncated after 3 pages"), std::u16string::npos);
  EXPECT_EQ(platform::GetLastError(), platform::kLastErrorS3);
}

#if !defined(_WIN32)  // WinINet keeps its own pool, out of the tests' reach
// TLS connections the S3 server accepted for `host`, and the resumed ones.
std::pair<int, int> ConnectionsTo(const std::string& host) {
  const testsupport::HttpResult r = testsupport::HttpsRequest(
      "GET", "https://" + TestServers::Get().s3_host + ":" +
                 std::to_string(TestServers::Get().s3_port) +
                 "/__fixture/connections?host=" + host);
  const auto number = [&r](const std::string& name) {
    const size_t at = r.body.find("\"" + name + "\":");
    return at == std::string::npos ? -1 : std::atoi(r.body.c_str() + at + name.size() + 3);
  };
  return {number("connections"), number("resumed")};
}

TEST_F(S3ServerTest, RequestsOfOneBucketShareAKeptConnection) {
  ASSERT_TRUE(RawS3::CreateBucket(bucket_));
  const std::string host = bucket_ + "." + servers().s3_host;
  const std::pair<int, int> before = ConnectionsTo(host);
  S3Client client;
  for (int i = 0; i < 4; ++i) {
    PutObjectRequest put(bucket16(), u"k");
    put.SetBody(reinterpret_cast<const uint8_t*>("data"), 4);
    ASSERT_EQ(client.PutObject(put).m_iRetry, 0);
    GetObjectRequest get(bucket16(), u"k");
    ASSERT_EQ(client.GetObject(get).m_iRetry, 0);
  }
  EXPECT_EQ(ConnectionsTo(host).first - before.first, 1);

  // A new connection resumes the TLS session of the first.
  platform::CloseIdleCurlChannels();
  GetObjectRequest get(bucket16(), u"k");
  ASSERT_EQ(client.GetObject(get).m_iRetry, 0);
  const std::pair<int, int> after = ConnectionsTo(host);
  EXPECT_EQ(after.first - before.first, 2);
  EXPECT_EQ(after.second - before.second, 1);
}

#endif

}  // namespace
