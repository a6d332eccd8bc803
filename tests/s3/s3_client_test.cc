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

std::string XmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

// A small in-memory S3: buckets, objects, listings with "prefix".
class MemoryS3 {
 public:
  explicit MemoryS3(std::string endpoint) : endpoint_(std::move(endpoint)) {}

  std::set<std::string> buckets;
  std::map<std::string, std::map<std::string, std::string>> objects;

  Answer operator()(const Exchange& exchange) {
    std::string bucket;
    if (exchange.host != endpoint_) {
      bucket = exchange.host.substr(0, exchange.host.size() -
                                           endpoint_.size() - 1);
    }
    std::string path = exchange.path.substr(1);
    std::string query;
    const size_t question = path.find('?');
    if (question != std::string::npos) {
      query = path.substr(question + 1);
      path = path.substr(0, question);
    }
    const std::string key = PercentDecode(path);
    if (bucket.empty()) {
      std::vector<std::string> names(buckets.begin(), buckets.end());
      return Answer{200, s3test::ServiceListing(names)};
    }
    if (exchange.verb == "PUT" && key.empty()) {
      buckets.insert(bucket);
      return Answer{200, ""};
    }
    if (!buckets.count(bucket)) return NoSuch("NoSuchBucket");
    if (exchange.verb == "GET" && key.empty()) {
      std::string prefix;
      const size_t at = query.find("prefix=");
      if (at != std::string::npos) {
        prefix = PercentDecode(query.substr(at + 7, query.find('&', at) - at - 7));
      }
      std::vector<std::string> keys;
      for (const auto& [name, data] : objects[bucket]) {
        if (name.compare(0, prefix.size(), prefix) == 0) {
          keys.push_back(XmlEscape(name));
        }
      }
      return Answer{200, s3test::BucketListing(keys)};
    }
    if (exchange.verb == "PUT") {
      objects[bucket][key] = exchange.body;
      return Answer{200, ""};
    }
    auto& stored = objects[bucket];
    if (!stored.count(key)) return NoSuch("NoSuchKey");
    if (exchange.verb == "DELETE") {
      stored.erase(key);
      return Answer{204, ""};
    }
    return Answer{200, stored[key]};
  }

 private:
  static Answer NoSuch(const std::string& code) {
    return Answer{404, "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Error><Code>" +
                           code + "</Code><Message>missing</Message></Error>"};
  }

  std::string endpoint_;
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
  S3ClientTest() : memory_(U16ToUtf8(CS3Config().GetHost())) {}

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
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(response.GetBody()),
                        response.GetBodyLength()),
            "content");
  EXPECT_EQ(env_.sleeps, (std::vector<uint32_t>{1000}));
  ASSERT_EQ(env_.exchanges.size(), 1u);
  EXPECT_EQ(env_.exchanges[0].path, "/%24file%24%2Fa%20b%2Etxt");
  // The caller's record and the result carry the encoded key.
  EXPECT_EQ(get.m_strKey, u"%24file%24%2Fa%20b%2Etxt");
  EXPECT_EQ(response.m_strKey, u"%24file%24%2Fa%20b%2Etxt");
  EXPECT_EQ(response.m_strBucket, u"b");
  EXPECT_EQ(response.m_strVerb, u"GET");
}

TEST_F(S3ClientTest, FailuresAreRepeatedFiveTimesWithTheSameSignature) {
  S3Client client;
  for (const uint32_t status : {500u, 404u, 403u, 301u}) {
    env_.exchanges.clear();
    env_.sleeps.clear();
    env_.responder = [status](const Exchange&) { return Answer{status, ""}; };
    DeleteObjectRequest request(u"b", u"k");
    const S3Response response = client.DeleteObject(request);
    EXPECT_EQ(response.m_iRetry, 1);
    EXPECT_EQ(response.m_iStatus, static_cast<int32_t>(status));
    EXPECT_EQ(env_.exchanges.size(), 5u);
    EXPECT_EQ(env_.sleeps, std::vector<uint32_t>(5, 1000));
  }
  for (const Exchange& e : env_.exchanges) {
    EXPECT_EQ(e.Header("x-amz-date"), env_.exchanges[0].Header("x-amz-date"));
    EXPECT_EQ(e.Header("Authorization"),
              env_.exchanges[0].Header("Authorization"));
  }

  // Two failures, then success: three sends, three pauses.
  env_.exchanges.clear();
  env_.sleeps.clear();
  int calls = 0;
  env_.responder = [&calls](const Exchange&) {
    return ++calls <= 2 ? Answer{503, ""} : Answer{200, "ok"};
  };
  PutObjectRequest put(u"b", u"k");
  const S3Response response = client.PutObject(put);
  EXPECT_EQ(response.m_iRetry, 0);
  EXPECT_EQ(response.m_strText, u"ok");
  EXPECT_EQ(env_.exchanges.size(), 3u);
  EXPECT_EQ(env_.sleeps, std::vector<uint32_t>(3, 1000));
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

TEST_F(S3ClientTest, ObjectsRoundTrip) {
  UseMemoryS3();
  memory_.buckets = {"b"};
  S3Client client;
  PutObjectRequest put(u"b", u"R&D/a.txt");
  const uint8_t body[] = {'x', 0, 'y'};
  put.SetBody(body, sizeof(body));
  EXPECT_EQ(client.PutObject(put).m_iRetry, 0);

  ServiceListRequest list(u"b");
  list.m_query.Set(u"prefix", u"R%26D");
  S3ListResult listing = client.ListObjects(list);
  listing.ParseList();
  ASSERT_EQ(listing.m_items, (std::vector<std::u16string>{u"R&D/a.txt"}));

  // The listed name reads and deletes the object.
  GetObjectRequest get(u"b", listing.m_items[0]);
  const S3Response got = client.GetObject(get);
  EXPECT_EQ(got.m_iRetry, 0);
  ASSERT_EQ(got.GetBodyLength(), 3);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(got.GetBody()), 3),
            std::string("x\0y", 3));
  DeleteObjectRequest del(u"b", listing.m_items[0]);
  EXPECT_EQ(client.DeleteObject(del).m_iRetry, 0);
  EXPECT_TRUE(memory_.objects["b"].empty());
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
  EXPECT_EQ(memory_.objects[U16ToUtf8(CS3Config().GetBucket())].size(), 200u);

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
