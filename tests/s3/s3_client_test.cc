// S3Client over a scripted HTTP Env with a virtual clock: sends, repeats and
// pauses, listings that are not listings, the folder-marker walk.

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
using Strings = std::vector<std::string>;

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
// bucket listings ("prefix" only; pages of at most 1000 keys), object PUTs,
// logged as "bucket/key".
struct MemoryS3 {
  std::set<std::string> buckets;
  std::map<std::string, std::set<std::string>> keys;
  Strings puts;

  Answer operator()(const Exchange& exchange) {
    if (exchange.host == U16ToUtf8(CS3Config().GetHost())) {
      return Answer{200, s3test::ServiceListing({buckets.begin(), buckets.end()})};
    }
    const std::string bucket = exchange.host.substr(0, exchange.host.find('.'));
    const std::string key = PercentDecode(exchange.path.substr(1, exchange.path.find('?') - 1));
    if (exchange.verb == "PUT") {
      puts.push_back(bucket + "/" + key);
      key.empty() ? (void)buckets.insert(bucket) : (void)keys[bucket].insert(key);
      return Answer{200, ""};
    }
    const size_t at = exchange.path.find("prefix=");
    const std::string prefix =
        at == std::string::npos ? "" : PercentDecode(exchange.path.substr(at + 7));
    Strings listed;
    for (const std::string& k : keys[bucket]) {
      if (k.compare(0, prefix.size(), prefix) == 0) listed.push_back(k);
      if (listed.size() == 1000) return Answer{200, s3test::BucketListing(listed, true)};
    }
    return Answer{200, s3test::BucketListing(listed)};
  }
};

class S3ClientTest : public ::testing::Test {
 protected:
  void UseMemoryS3() {
    env_.responder = [this](const Exchange& e) { return memory_(e); };
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
  EXPECT_EQ(response.m_strText, u"content");
  ASSERT_EQ(env_.exchanges.size(), 1u);
  EXPECT_EQ(env_.exchanges[0].path, "/%24file%24%2Fa%20b%2Etxt");
  // The caller's record and the result carry the encoded key.
  EXPECT_EQ(get.m_strKey, u"%24file%24%2Fa%20b%2Etxt");
  EXPECT_EQ(response.m_strKey, u"%24file%24%2Fa%20b%2Etxt");
  EXPECT_EQ(response.m_strBucket + u" " + response.m_strVerb, u"b GET");

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
  // One request is signed once: the same date goes out on each send
  // although the clock moved on.
  for (size_t i = 1; i < 5; ++i) {
    EXPECT_EQ(env_.exchanges[i].Header("Authorization"), env_.exchanges[0].Header("Authorization"));
  }

  int calls = 0;
  env_.responder = [&calls](const Exchange&) {
    return ++calls <= 2 ? Answer{503, ""} : Answer{200, "ok"};
  };
  PutObjectRequest put(u"b", u"k");
  EXPECT_EQ(client.PutObject(put).m_iRetry, 0);
  EXPECT_EQ(env_.exchanges.size() - sends, 3u);
  EXPECT_EQ(env_.sleeps().size() - pauses, 3u);
}

// A 2xx answer that is not the listing document is a failed listing for
// every listing caller, never an empty one.
TEST_F(S3ClientTest, NonListingAnswersFailEveryListing) {
  const std::string portal = "<html><body><Name>b</Name><Key>$folder$a</Key>Sign in</body></html>";
  const std::string listing = s3test::BucketListing({"k1", "k2"});
  S3Client client;
  for (const std::string& body :
       {portal, s3test::ServiceListing({"b"}), listing.substr(0, listing.size() / 2)}) {
    env_.responder = [body, portal](const Exchange& e) {
      // The service listing itself is fine unless the portal answers.
      const bool service = e.host == U16ToUtf8(CS3Config().GetHost());
      return Answer{200, service && body != portal ? s3test::ServiceListing({"b"}) : body};
    };
    env_.exchanges.clear();
    ServiceListRequest list(u"b");
    const S3ListResult result = client.ListObjects(list);
    EXPECT_EQ(result.m_iRetry, 1);
    EXPECT_EQ(result.m_iStatus, 200);
    EXPECT_EQ(env_.exchanges.size(), 5u);
    ServiceListRequest with_bucket(u"b");
    EXPECT_EQ(client.ListWithBucket(with_bucket).m_iRetry, 1);
    EXPECT_EQ(client.FolderExists(u"b", u"\\a"), 0);
  }
  env_.responder = [](const Exchange&) { return Answer{200, s3test::ServiceListing({})}; };
  EXPECT_EQ(client.CheckService(), 1);
  env_.responder = [&](const Exchange&) { return Answer{200, portal}; };
  EXPECT_EQ(client.CheckService(), 0);
  EXPECT_EQ(client.BucketExists(u"b"), 0);

  // Recovers when a real listing comes back.
  int calls = 0;
  env_.responder = [&](const Exchange&) {
    return ++calls == 1 ? Answer{200, portal} : Answer{200, listing};
  };
  ServiceListRequest again(u"b");
  EXPECT_EQ(client.ListObjects(again).m_iRetry, 0);
  EXPECT_EQ(calls, 2);
}

TEST_F(S3ClientTest, FolderMarkerRequests) {
  EXPECT_EQ(FolderMarkerKey(u"\\a\\b\\"), u"$folder$a/b");
  EXPECT_EQ(FolderMarkerKey(u"a"), u"$folder$a");
  EXPECT_EQ(FolderMarkerKey(u"a/b/"), u"$folder$a/b");
  EXPECT_EQ(FolderMarkerKey(u"\\"), u"$folder$");
  EXPECT_EQ(FolderKeyToPath(u"$folder$a/b"), u"\\a\\b");
  const FolderMarkerRequest marker(u"\\docs\\2009");
  EXPECT_EQ(marker.m_strVerb + u" " + marker.m_strBucket + u" " + marker.m_strKey,
            u"PUT " + CS3Config().GetBucket() + u" $folder$docs/2009");
  EXPECT_EQ(marker.m_strContentType, u"text/plain");
  EXPECT_EQ(marker.m_headers.Lookup(u"x-amz-acl"), u"private");
  EXPECT_EQ(FolderListRequest(u"b").m_query.Lookup(u"prefix"), u"$folder$");
}

TEST_F(S3ClientTest, CreateFolderStoresMissingAncestorsOutermostFirst) {
  UseMemoryS3();
  const std::string b = U16ToUtf8(CS3Config().GetBucket());
  S3Client client;
  FolderMarkerRequest marker(u"a/b/c");
  EXPECT_EQ(client.CreateFolder(marker).m_iRetry, 0);
  EXPECT_EQ(memory_.puts, (Strings{b + "/", b + "/$folder$a", b + "/$folder$a/b", b + "/$folder$a/b/c"}));

  // Listed already: nothing is stored, an empty response comes back.
  FolderMarkerRequest again(u"\\a\\b\\c\\");
  const S3Response nothing = client.CreateFolder(again);
  EXPECT_EQ(nothing.m_iStatus, 0);
  EXPECT_EQ(memory_.puts.size(), 4u);

  // Under listed parents only the new leaf is stored.
  FolderMarkerRequest leaf(u"a/b/d");
  client.CreateFolder(leaf);
  EXPECT_EQ(memory_.puts.back(), b + "/$folder$a/b/d");
  EXPECT_EQ(memory_.puts.size(), 5u);
}

// Beyond the first page of a listing of every marker, a folder is still
// found, and its marker is not stored again.
TEST_F(S3ClientTest, FolderExistsBeyondAThousandFolders) {
  UseMemoryS3();
  const std::string b = U16ToUtf8(CS3Config().GetBucket());
  memory_.buckets.insert(b);
  for (int i = 0; i < 1200; ++i) memory_.keys[b].insert("$folder$d" + std::to_string(1000 + i));
  S3Client client;
  EXPECT_EQ(client.FolderExists(BytesToU16(b), u"\\d2100"), 1);
  EXPECT_EQ(client.FolderExists(BytesToU16(b), u"\\d210"), 0);
  FolderMarkerRequest marker(u"d2150");
  client.CreateFolder(marker);
  EXPECT_TRUE(memory_.puts.empty());
}

TEST_F(S3ClientTest, CreateFolderOfDeepAndOddKeysEnds) {
  UseMemoryS3();
  S3Client client;
  std::u16string deep;
  for (int i = 0; i < 200; ++i) deep += u"\\d";
  FolderMarkerRequest marker(deep);
  client.CreateFolder(marker);
  EXPECT_EQ(memory_.keys[U16ToUtf8(CS3Config().GetBucket())].size(), 200u);

  for (const char16_t* key : {u"/", u"ab/c", u"$folder$/x", u"//", u""}) {
    S3Request request;
    request.m_strBucket = std::u16string(u"b");
    request.m_strKey = key;
    client.CreateFolder(request);
  }
}

}  // namespace
