// S3Client operations over a scripted HTTP Env with a virtual clock: sends,
// repeats and pauses, listings and their failures, folder markers.

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/wide_string.h"
#include "fake_s3_env.h"
#include "s3/request_kinds.h"
#include "s3/s3_client.h"
#include "settings/s3_config.h"
#include "support/ini_fixture.h"

namespace {

using s3test::Answer;
using s3test::Exchange;

std::string PercentDecode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// Just enough S3 for the folder-marker walk: bucket creation, service and
// bucket listings ("prefix" only), object PUTs.
class MemoryS3 {
 public:
  std::set<std::string> buckets;
  std::map<std::string, std::set<std::string>> keys;

  Answer operator()(const Exchange& exchange) {
    const std::string endpoint = U16ToUtf8(CS3Config().GetHost());
    if (exchange.host == endpoint) {
      return Answer{200, s3test::ServiceListing({buckets.begin(), buckets.end()})};
    }
    const std::string bucket = exchange.host.substr(0, exchange.host.find('.'));
    const size_t question = exchange.path.find('?');
    const std::string key = PercentDecode(exchange.path.substr(1, question - 1));
    if (exchange.verb == "PUT" && key.empty()) {
      buckets.insert(bucket);
      return Answer{200, ""};
    }
    if (!buckets.count(bucket)) return Answer{404, ""};
    if (exchange.verb == "PUT") {
      keys[bucket].insert(key);
      return Answer{200, ""};
    }
    const size_t at = exchange.path.find("prefix=");
    const std::string prefix =
        at == std::string::npos ? "" : PercentDecode(exchange.path.substr(at + 7));
    std::vector<std::string> listed;
    for (const std::string& k : keys[bucket]) {
      if (k.compare(0, prefix.size(), prefix) == 0) listed.push_back(k);
    }
    return Answer{200, s3test::BucketListing(listed)};
  }
};

// The trace line of a PUT of `path` in `bucket`.
std::string Put(const std::string& bucket, const std::string& path) {
  std::string line = "PUT ";
  line += bucket;
  line += "/";
  line += path;
  return line;
}

class S3ClientTest : public ::testing::Test {
 protected:
  void UseMemoryS3() {
    env_.responder = [this](const Exchange& e) { return memory_(e); };
  }
  // "VERB path" of every exchange, with the bucket in front for a bucket
  // host: "GET b/?prefix=x".
  std::vector<std::string> Trace() const {
    std::vector<std::string> trace;
    const std::string endpoint = U16ToUtf8(CS3Config().GetHost());
    for (const Exchange& e : env_.exchanges) {
      std::string bucket = e.host == endpoint
                               ? ""
                               : e.host.substr(0, e.host.size() -
                                                      endpoint.size() - 1);
      trace.push_back(e.verb + " " + bucket + e.path);
    }
    return trace;
  }

  s3test::FakeS3Env env_;
  platform::ScopedEnvOverride override_{&env_};
  testsupport::IniFixture ini_{&env_};
  MemoryS3 memory_;
};

TEST_F(S3ClientTest, SuccessIsSentOnceAndPausedAfter) {
  S3Client client;
  GetObjectRequest get(u"b", u"$file$/a b.txt");
  env_.responder = [](const Exchange&) { return Answer{200, "content"}; };
  const S3Response response = client.PerformRequest(get);
  EXPECT_EQ(response.m_iRetry, 0);
  EXPECT_EQ(response.m_iStatus, 200);
  EXPECT_EQ(response.m_strText, u"content");
  EXPECT_EQ(env_.sleeps(), (std::vector<uint32_t>{1000}));
  ASSERT_EQ(env_.exchanges.size(), 1u);
  EXPECT_EQ(env_.exchanges[0].path, "/%24file%24%2Fa%20b%2Etxt");
  // The caller's record and the result carry the encoded key.
  EXPECT_EQ(get.m_strKey, u"%24file%24%2Fa%20b%2Etxt");
  EXPECT_EQ(response.m_strKey, u"%24file%24%2Fa%20b%2Etxt");
  EXPECT_EQ(response.m_strBucket, u"b");
  EXPECT_EQ(response.m_strVerb, u"GET");

  // The pause is read from the settings at each request.
  ini_.WriteOnline("RequestPause=250\n");
  GetObjectRequest again(u"b", u"k");
  client.PerformRequest(again);
  ini_.WriteOnline("RequestPause=0\n");
  GetObjectRequest no_pause(u"b", u"k");
  client.PerformRequest(no_pause);
  EXPECT_EQ(env_.sleeps(), (std::vector<uint32_t>{1000, 250, 0}));
}

TEST_F(S3ClientTest, FailuresAreRepeatedFiveTimesWithTheSameSignature) {
  S3Client client;
  size_t sends = 0;
  size_t pauses = 0;
  for (const uint32_t status : {500u, 404u, 403u, 301u}) {
    env_.responder = [status](const Exchange&) { return Answer{status, ""}; };
    DeleteObjectRequest request(u"b", u"k");
    const S3Response response = client.DeleteObject(request);
    EXPECT_EQ(response.m_iRetry, 1);
    EXPECT_EQ(response.m_iStatus, static_cast<int32_t>(status));
    EXPECT_EQ(env_.exchanges.size() - sends, 5u);
    EXPECT_EQ(env_.sleeps().size() - pauses, 5u);
    sends = env_.exchanges.size();
    pauses = env_.sleeps().size();
  }
  // The five sends of one request are signed once: the same date goes out
  // on each although the clock moved on.
  for (size_t i = 1; i < 5; ++i) {
    EXPECT_EQ(env_.exchanges[i].Header("x-amz-date"), env_.exchanges[0].Header("x-amz-date"));
    EXPECT_EQ(env_.exchanges[i].Header("Authorization"),
              env_.exchanges[0].Header("Authorization"));
  }

  // Two failures, then success: three sends, three pauses.
  int calls = 0;
  env_.responder = [&calls](const Exchange&) {
    return ++calls <= 2 ? Answer{503, ""} : Answer{200, "ok"};
  };
  PutObjectRequest put(u"b", u"k");
  const S3Response response = client.PutObject(put);
  EXPECT_EQ(response.m_iRetry, 0);
  EXPECT_EQ(response.m_strText, u"ok");
  EXPECT_EQ(env_.exchanges.size() - sends, 3u);
  EXPECT_EQ(env_.sleeps().size() - pauses, 3u);
}

TEST_F(S3ClientTest, CheckServiceAndBucketExists) {
  UseMemoryS3();
  memory_.buckets = {"alpha", "beta"};
  S3Client client;
  EXPECT_EQ(client.CheckService(), 1);
  EXPECT_EQ(client.BucketExists(u"beta"), 1);
  EXPECT_EQ(client.BucketExists(u"Beta"), 0);
  EXPECT_EQ(client.BucketExists(u"bet"), 0);
  EXPECT_EQ(Trace(), (std::vector<std::string>(4, "GET /")));

  env_.responder = [](const Exchange&) {
    return Answer{403, "<Error><Code>SignatureDoesNotMatch</Code><Message>"
                       "</Message></Error>"};
  };
  env_.exchanges.clear();
  EXPECT_EQ(client.CheckService(), 0);
  EXPECT_EQ(client.BucketExists(u"alpha"), 0);
  EXPECT_EQ(env_.exchanges.size(), 10u);
}

// A 2xx answer that is not the listing document (a captive portal's page,
// an answer cut short) is a failed listing for every listing caller, never
// an empty one.
TEST_F(S3ClientTest, NonListingAnswersFailEveryListing) {
  const std::string portal =
      "<html><body><Name>alpha</Name><Key>$folder$a</Key>Please sign in"
      "</body></html>";
  env_.responder = [&](const Exchange&) { return Answer{200, portal}; };
  S3Client client;

  EXPECT_EQ(client.CheckService(), 0);
  EXPECT_EQ(env_.exchanges.size(), 5u);
  EXPECT_EQ(client.BucketExists(u"alpha"), 0);

  ServiceListRequest list(u"b");
  S3ListResult result = client.ListObjects(list);
  EXPECT_EQ(result.m_iRetry, 1);
  EXPECT_EQ(result.m_iStatus, 200);

  ServiceListRequest list_with_bucket(u"b");
  EXPECT_EQ(client.ListWithBucket(list_with_bucket).m_iRetry, 1);
  EXPECT_EQ(client.FolderExists(u"b", u"\\a"), 0);

  // The service listing where a bucket listing was asked for.
  env_.responder = [](const Exchange&) {
    return Answer{200, s3test::ServiceListing({"b"})};
  };
  ServiceListRequest misrouted(u"b");
  EXPECT_EQ(client.ListObjects(misrouted).m_iRetry, 1);

  // A listing cut short.
  const std::string listing = s3test::BucketListing({"k1", "k2"});
  env_.responder = [&](const Exchange&) {
    return Answer{200, listing.substr(0, listing.size() / 2)};
  };
  ServiceListRequest cut(u"b");
  EXPECT_EQ(client.ListObjects(cut).m_iRetry, 1);

  // Recovers when a real listing comes back.
  int calls = 0;
  env_.responder = [&](const Exchange&) {
    return ++calls == 1 ? Answer{200, portal}
                        : Answer{200, s3test::BucketListing({"k"})};
  };
  env_.exchanges.clear();
  ServiceListRequest again(u"b");
  S3ListResult ok = client.ListObjects(again);
  EXPECT_EQ(ok.m_iRetry, 0);
  EXPECT_EQ(env_.exchanges.size(), 2u);
  ok.ParseList();
  EXPECT_EQ(ok.m_items, (std::vector<std::u16string>{u"k"}));
}

TEST_F(S3ClientTest, ListWithBucketCreatesAMissingBucket) {
  UseMemoryS3();
  S3Client client;
  ServiceListRequest first(u"b");
  EXPECT_EQ(client.ListWithBucket(first).m_iRetry, 0);
  ServiceListRequest second(u"b");
  EXPECT_EQ(client.ListWithBucket(second).m_iRetry, 0);
  EXPECT_EQ(Trace(), (std::vector<std::string>{"GET /", "PUT b/", "GET b/",
                                               "GET /", "GET b/"}));
}

TEST_F(S3ClientTest, FolderMarkerKeys) {
  EXPECT_EQ(FolderMarkerKey(u"\\a\\b\\"), u"$folder$a/b");
  EXPECT_EQ(FolderMarkerKey(u"\\docs\\2009"), u"$folder$docs/2009");
  EXPECT_EQ(FolderMarkerKey(u"a"), u"$folder$a");
  EXPECT_EQ(FolderMarkerKey(u"a/b/"), u"$folder$a/b");
  EXPECT_EQ(FolderMarkerKey(u""), u"$folder$");
  EXPECT_EQ(FolderMarkerKey(u"\\"), u"$folder$");
  EXPECT_EQ(FolderKeyToPath(u"$folder$a/b"), u"\\a\\b");

  FolderMarkerRequest marker(u"\\a\\b\\");
  EXPECT_EQ(marker.m_strVerb, u"PUT");
  EXPECT_EQ(marker.m_strBucket, CS3Config().GetBucket());
  EXPECT_EQ(marker.m_strKey, u"$folder$a/b");
  EXPECT_EQ(marker.m_strContentType, u"text/plain");
  EXPECT_EQ(marker.m_headers.Lookup(u"x-amz-acl"), u"private");
  EXPECT_EQ(marker.m_headers.Count(), 1);

  FolderListRequest folders(u"b");
  EXPECT_EQ(folders.m_strVerb, u"GET");
  EXPECT_EQ(folders.m_query.Lookup(u"prefix"), u"$folder$");
}

TEST_F(S3ClientTest, CreateFolderWritesAncestorsOutermostFirst) {
  UseMemoryS3();
  const std::string bucket = U16ToUtf8(CS3Config().GetBucket());
  S3Client client;
  FolderMarkerRequest marker(u"a/b/c");
  const S3Response response = client.CreateFolder(marker);
  EXPECT_EQ(response.m_iRetry, 0);
  std::vector<std::string> puts;
  for (const std::string& line : Trace()) {
    if (line.rfind("PUT", 0) == 0) puts.push_back(line);
  }
  EXPECT_EQ(puts, (std::vector<std::string>{
                      Put(bucket, ""), Put(bucket, "%24folder%24a"),
                      Put(bucket, "%24folder%24a%2Fb"),
                      Put(bucket, "%24folder%24a%2Fb%2Fc")}));
  EXPECT_EQ(client.FolderExists(CS3Config().GetBucket(), u"\\a\\b\\c"), 1);

  // Already listed: nothing is sent after the checks.
  env_.exchanges.clear();
  FolderMarkerRequest again(u"\\a\\b\\c\\");
  const S3Response nothing = client.CreateFolder(again);
  EXPECT_EQ(nothing.m_iStatus, 0);
  EXPECT_EQ(nothing.m_iRetry, 0);
  for (const std::string& line : Trace()) EXPECT_EQ(line.rfind("GET", 0), 0u);

  // A new leaf under listed parents: only the leaf is written.
  env_.exchanges.clear();
  FolderMarkerRequest leaf(u"a/b/d");
  client.CreateFolder(leaf);
  puts.clear();
  for (const std::string& line : Trace()) {
    if (line.rfind("PUT", 0) == 0) puts.push_back(line);
  }
  EXPECT_EQ(puts, (std::vector<std::string>{
                      Put(bucket, "%24folder%24a%2Fb%2Fd")}));
}

TEST_F(S3ClientTest, CreateFolderOfDeepAndOddPathsEnds) {
  UseMemoryS3();
  S3Client client;
  std::u16string deep;
  for (int i = 0; i < 200; ++i) deep += u"\\d";
  FolderMarkerRequest marker(deep);
  client.CreateFolder(marker);
  EXPECT_EQ(memory_.keys[U16ToUtf8(CS3Config().GetBucket())].size(), 200u);

  // Keys that are not of the marker form still come to an end.
  for (const std::u16string& key :
       {std::u16string(u"/"), std::u16string(u"ab/c"), std::u16string(u"$folder$/x"),
        std::u16string(u"//"), std::u16string()}) {
    S3Request request;
    request.m_strBucket = std::u16string(u"b");
    request.m_strKey = key;
    client.CreateFolder(request);
  }
}

}  // namespace
