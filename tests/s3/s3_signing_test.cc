// Request assembly and signature version 2.

#include <gtest/gtest.h>

#include <string>

#include "common/wide_string.h"
#include "fake_s3_env.h"
#include "s3/request_kinds.h"
#include "s3/s3_client.h"
#include "settings/s3_config.h"

namespace {

constexpr char16_t kExampleSecret[] = u"wJalrXUtnFEMI/K7MDENG/bPxRfiCYEXAMPLEKEY";

std::u16string StringToSign(const S3Request& request, const std::u16string& verb) {
  CNHttpRequest http;
  http.SetVerb(verb);
  return S3Client().BuildStringToSign(http, request);
}

TEST(SignatureTest, PublishedExamplesAndUtf8) {
  struct Case {
    const char16_t* secret;
    const char16_t* text;
    const char16_t* signature;
  } cases[] = {
      {kExampleSecret,
       u"GET\n\n\nTue, 27 Mar 2007 19:36:42 +0000\n/awsexamplebucket1/photos/puppy.jpg",
       u"qgk2+6Sv9/oM7G3qLEjTH1a1l1g="},
      {kExampleSecret,
       u"PUT\n\nimage/jpeg\nTue, 27 Mar 2007 21:15:45 +0000\n/awsexamplebucket1/photos/puppy.jpg",
       u"iqRzw+ileNPu1fhspnRs8nOjjIA="},
      {kExampleSecret, u"GET\n\n\nTue, 27 Mar 2007 19:42:41 +0000\n/awsexamplebucket1/",
       u"m0WP8eCtspQl5Ahe6L1SozdX9YA="},
      {u"", u"", u"+9sdGxiqbAgyS31ktx+3Y3BpDh0="},
      // Non-ASCII text is hashed as its UTF-8 bytes.
      {u"k\u00e9y", u"GET\n\n\n\nx-amz-meta-name:Gr\u00fc\u00dfe \U0001F600\n/b/k",
       u"GvJlgt4Ad+5yTKyD0mTPn+mYhVw="},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(S3Client::ComputeSignature(c.secret, c.text), c.signature) << U16ToUtf8(c.text);
  }
  EXPECT_EQ(S3Client::ComputeSignature(std::u16string(5000, u'k'), std::u16string(100000, u'x'))
                .size(),
            28u);
}

// Canonical strings of real requests give the published signatures.
TEST(StringToSignTest, CanonicalisesPublishedRequests) {
  GetObjectRequest fetch(u"awsexamplebucket1", u"photos/puppy.jpg");
  fetch.SetHeader(u"date", u"Tue, 27 Mar 2007 19:36:42 +0000");
  EXPECT_EQ(S3Client::ComputeSignature(kExampleSecret, StringToSign(fetch, u"GET")),
            u"qgk2+6Sv9/oM7G3qLEjTH1a1l1g=");

  S3Request put;
  put.m_strKey = u"quotes/nelson";
  put.SetHeader(u"content-md5", u"c8fdb181845a4ca6b8fec737b3581d76");
  put.SetHeader(u"content-type", u"text/html");
  put.SetHeader(u"date", u"Thu, 17 Nov 2005 18:49:58 GMT");
  put.SetHeader(u"x-amz-meta-author", u"foo@bar.com");
  put.SetHeader(u"x-amz-magic", u"abracadabra");
  const std::u16string text = StringToSign(put, u"PUT");
  EXPECT_EQ(text,
            u"PUT\nc8fdb181845a4ca6b8fec737b3581d76\ntext/html\nThu, 17 Nov 2005 18:49:58 GMT\n"
            u"x-amz-magic:abracadabra\nx-amz-meta-author:foo@bar.com\n/quotes/nelson");
  EXPECT_EQ(S3Client::ComputeSignature(u"OtxrzxIsfpFjA7SwPzILwy8Bw21TLhquhboDYROV", text),
            u"jZNOcbfWmD/A/f3hSvVzXZjM2HU=");
}

TEST(StringToSignTest, HeaderLinesAndResource) {
  S3Request request;
  request.m_strKey = u"k";
  EXPECT_EQ(StringToSign(request, u"GET"), u"GET\n\n\n\n/k");

  // x-amz-date empties the date line and is signed among the x-amz- lines;
  // an empty x-amz- value leaves an empty line; values are signed trimmed;
  // names not in lower case are not x-amz- headers.
  request.m_strBucket = u"b";
  request.SetHeader(u"date", u"Mon, 01 Jan 2001 00:00:00 GMT");
  request.SetHeader(u"x-amz-date", u"Tue, 02 Jan 2001 00:00:00 GMT");
  request.SetHeader(u"x-amz-meta-empty", u"");
  request.SetHeader(u"x-amz-meta-padded", u" \t value\twith blanks \t ");
  request.SetHeader(u"X-Amz-Meta-Upper", u"ignored");
  EXPECT_EQ(StringToSign(request, u"PUT"),
            u"PUT\n\n\n\nx-amz-date:Tue, 02 Jan 2001 00:00:00 GMT\n\n"
            u"x-amz-meta-padded:value\twith blanks\n/b/k");

  // Only the four sub-resources are signed, in their fixed order.
  S3Request list;
  list.m_strBucket = u"b";
  list.m_query.Set(u"prefix", u"abc");
  list.m_query.Set(u"marker", u"x");
  EXPECT_EQ(StringToSign(list, u"GET"), u"GET\n\n\n\n/b/");
  list.m_query.Set(u"location", u"");
  list.m_query.Set(u"acl", u"");
  EXPECT_EQ(StringToSign(list, u"GET"), u"GET\n\n\n\n/b/?acl?location");
  list.m_query.Set(u"torrent", u"");
  list.m_query.Set(u"logging", u"");
  EXPECT_EQ(StringToSign(list, u"GET"), u"GET\n\n\n\n/b/?acl?torrent?logging?location");
}

TEST(QueryStringTest, Shapes) {
  CSortedMap<std::u16string> query;
  EXPECT_EQ(S3Client::BuildQueryString(query), u"");
  query.Set(u"prefix", u"abc");
  query.Set(u"marker", u"");  // an empty value leaves only its separator
  EXPECT_EQ(S3Client::BuildQueryString(query), u"?&prefix=abc");
  query.Set(u"marker", u"a%2Fb");  // verbatim, in name order
  query.Set(u"max-keys", u"5");
  EXPECT_EQ(S3Client::BuildQueryString(query), u"?marker=a%2Fb&max-keys=5&prefix=abc");
}

class SigningTest : public ::testing::Test {
 protected:
  const std::u16string date_ = u"Tue, 27 Mar 2007 19:36:42 GMT";
  s3test::FakeS3Env env_;
  platform::ScopedEnvOverride override_{&env_};
};

TEST_F(SigningTest, RequestsAreSignedAndSentAsBuilt) {
  CS3Config config;
  S3Client client;
  PutObjectRequest put(u"bkt", u"%24file%24%2Fa.txt");
  put.SetBody(reinterpret_cast<const uint8_t*>("data"), 4);
  put.SetHeader(u"x-amz-meta-note", u"  spaced  ");
  CNHttpRequest http = client.MakeHttpRequest(put);
  // content-type and x-amz-date now stand on the record too.
  EXPECT_EQ(put.m_headers.Lookup(u"content-type"), u"text/plain");
  EXPECT_EQ(put.m_headers.Lookup(u"x-amz-date"), date_);
  const std::u16string text = u"PUT\n\ntext/plain\n\nx-amz-acl:private\nx-amz-date:" + date_ +
                              u"\nx-amz-meta-note:spaced\n/bkt/%24file%24%2Fa.txt";
  EXPECT_EQ(client.BuildStringToSign(http, put), text);

  http.Send();
  ASSERT_EQ(env_.exchanges.size(), 1u);
  const s3test::Exchange& sent = env_.exchanges[0];
  EXPECT_EQ(sent.host, "bkt." + U16ToUtf8(config.GetHost()));
  EXPECT_EQ(sent.port, config.GetPort());
  EXPECT_EQ(sent.verb + " " + sent.path + " " + sent.body, "PUT /%24file%24%2Fa.txt data");
  EXPECT_EQ(sent.Header("content-type"), "text/plain");
  EXPECT_EQ(sent.Header("x-amz-acl"), "private");
  EXPECT_EQ(sent.Header("x-amz-meta-note"), "  spaced  ");  // sent untrimmed
  EXPECT_EQ(sent.Header("Authorization"),
            U16ToUtf8(u"AWS " + config.GetAccount() + u":" +
                      S3Client::ComputeSignature(config.GetPassword(), text)));

  // A listing of the service: bare endpoint host, resource "/"; a date
  // already set is kept as it is.
  ServiceListRequest service(u"");
  service.m_query.Set(u"prefix", u"%24file%24");
  service.m_query.Set(u"marker", u"");
  service.SetHeader(u"x-amz-date", u"Wed, 01 Jan 2020 00:00:00 GMT");
  CNHttpRequest list = client.MakeHttpRequest(service);
  EXPECT_EQ(client.BuildStringToSign(list, service),
            u"GET\n\n\n\nx-amz-date:Wed, 01 Jan 2020 00:00:00 GMT\n/");
  list.Send();
  ASSERT_EQ(env_.exchanges.size(), 2u);
  EXPECT_EQ(env_.exchanges[1].host, U16ToUtf8(config.GetHost()));
  EXPECT_EQ(env_.exchanges[1].path, "/?&prefix=%24file%24");
  EXPECT_EQ(env_.exchanges[1].Header("x-amz-date"), "Wed, 01 Jan 2020 00:00:00 GMT");
}

}  // namespace
