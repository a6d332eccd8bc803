// Checks the test-support layer against the running test servers: that its
// own signing is accepted by the strict S3 server, that listings and keys
// come back decoded, and that stub scripts and logs round-trip.

#include "support/test_servers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testsupport {
namespace {

constexpr char kBucket[] = "supporttestbucket";

TEST(TestServersTest, ServersFileIsComplete) {
  const TestServers& s = TestServers::Get();
  ASSERT_TRUE(s.ok) << s.error;
  EXPECT_EQ("s3.localhost", s.s3_host);
  EXPECT_GT(s.s3_port, 0);
  EXPECT_GT(s.stub_port, 0);
  EXPECT_FALSE(s.proxy_buckets.empty());
}

TEST(TestServersTest, RawS3StoresListsAndDeletes) {
  ASSERT_TRUE(RawS3::CreateBucket(kBucket));
  ASSERT_TRUE(RawS3::CreateBucket(kBucket));  // existing bucket is fine
  ASSERT_TRUE(RawS3::PutObject(kBucket, "$file$/docs/a.txt", "hello", "text/plain"));
  ASSERT_TRUE(RawS3::PutObject(kBucket, "a&b.txt", std::string("x\0y", 3)));
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(RawS3::PutObject(kBucket, "p/" + std::to_string(i), "d"));
  }

  std::string data;
  ASSERT_TRUE(RawS3::GetObject(kBucket, "$file$/docs/a.txt", &data));
  EXPECT_EQ("hello", data);
  ASSERT_TRUE(RawS3::GetObject(kBucket, "a&b.txt", &data));
  EXPECT_EQ(std::string("x\0y", 3), data);

  std::vector<ListedObject> objects;
  ASSERT_TRUE(RawS3::ListObjects(kBucket, "", &objects));
  ASSERT_EQ(5u, objects.size());
  EXPECT_EQ("$file$/docs/a.txt", objects[0].key);
  EXPECT_EQ(5u, objects[0].size);
  EXPECT_EQ(24u, objects[0].last_modified.size());
  EXPECT_EQ("a&b.txt", objects[1].key);
  EXPECT_EQ((std::vector<std::string>{"p/0", "p/1", "p/2"}),
            RawS3::ListKeys(kBucket, "p/"));

  HttpResult head = RawS3::Send("HEAD", kBucket, "$file$/docs/a.txt");
  EXPECT_EQ(200, head.status);
  EXPECT_EQ("5", FindHeader(head.headers, "content-length"));

  HttpResult with_headers =
      RawS3::Send("PUT", kBucket, "m", "", "z",
                  {{"X-Amz-Meta-One", " a "}, {"x-amz-meta-one", "b"},
                   {"x-amz-acl", "private"}});
  EXPECT_EQ(200, with_headers.status) << with_headers.body;

  EXPECT_TRUE(RawS3::DeleteObject(kBucket, "p/0"));
  EXPECT_FALSE(RawS3::GetObject(kBucket, "p/0", &data));
}

TEST(TestServersTest, StubScriptsAndLogsRoundTrip) {
  constexpr char kStubBucket[] = "supportteststub";
  ASSERT_TRUE(StubServer::Reset(kStubBucket));
  std::string error;
  EXPECT_FALSE(StubServer::SetScript(kStubBucket, "{", &error));
  EXPECT_NE(std::string::npos, error.find("bad script"));
  ASSERT_TRUE(StubServer::SetScript(
      kStubBucket,
      R"([{"method":"PUT","times":1,"status":503},{"method":"PUT","status":200}])",
      &error))
      << error;

  std::string url = StubServer::BaseUrl(kStubBucket) + "/k%2Fx?acl";
  EXPECT_EQ(503, HttpsRequest("PUT", url, {{"x-amz-acl", "private"}}, "body1").status);
  EXPECT_EQ(200, HttpsRequest("PUT", url, {}, std::string("\0\1", 2)).status);
  EXPECT_EQ(404, HttpsRequest("GET", url).status);

  std::vector<StubRequest> requests = StubServer::Requests(kStubBucket);
  ASSERT_EQ(3u, requests.size());
  EXPECT_EQ("PUT", requests[0].method);
  EXPECT_EQ("/k%2Fx?acl", requests[0].path);
  EXPECT_EQ("body1", requests[0].body);
  EXPECT_EQ("private", FindHeader(requests[0].headers, "X-Amz-Acl"));
  EXPECT_EQ(std::string("\0\1", 2), requests[1].body);
  EXPECT_EQ("", requests[2].body);
  EXPECT_TRUE(StubServer::Requests("supporttestother").empty());
}

}  // namespace
}  // namespace testsupport
