// Request assembly and signature version 2.

#include <gtest/gtest.h>

#include <string>

#include "common/wide_string.h"
#include "fake_s3_env.h"
#include "s3/http_request.h"
#include "s3/request_kinds.h"
#include "s3/s3_client.h"
#include "s3/s3_request.h"
#include "settings/s3_config.h"

namespace {

constexpr char16_t kExampleSecret[] =
    u"wJalrXUtnFEMI/K7MDENG/bPxRfiCYEXAMPLEKEY";
constexpr char16_t kDate[] = u"Tue, 27 Mar 2007 19:36:42 GMT";

// The string to sign of `request` as an HTTP request with `verb`.
std::u16string StringToSign(const S3Request& request,
                            const std::u16string& verb) {
  S3Client client;
  CNHttpRequest http;
  http.SetVerb(verb);
  return client.BuildStringToSign(http, request);
}

class SigningTest : public ::testing::Test {
 protected:
  s3test::FakeS3Env env_;
  platform::ScopedEnvOverride override_{&env_};
};

TEST(SignatureTest, MatchesPublishedExamples) {
  struct Case {
    const char16_t* secret;
    const char16_t* text;
    const char16_t* signature;
  } cases[] = {
      {kExampleSecret,
       u"GET\n\n\nTue, 27 Mar 2007 19:36:42 +0000\n"
       u"/awsexamplebucket1/photos/puppy.jpg",
       u"qgk2+6Sv9/oM7G3qLEjTH1a1l1g="},
      {kExampleSecret,
       u"PUT\n\nimage/jpeg\nTue, 27 Mar 2007 21:15:45 +0000\n"
       u"/awsexamplebucket1/photos/puppy.jpg",
       u"iqRzw+ileNPu1fhspnRs8nOjjIA="},
      {kExampleSecret,
       u"GET\n\n\nTue, 27 Mar 2007 19:42:41 +0000\n/awsexamplebucket1/",
       u"m0WP8eCtspQl5Ahe6L1SozdX9YA="},
      {kExampleSecret,
       u"GET\n\n\nTue, 27 Mar 2007 19:44:46 +0000\n/awsexamplebucket1/?acl",
       u"82ZHiFIjc+WbcwFKGUVEQspPn+0="},
      {u"", u"", u"+9sdGxiqbAgyS31ktx+3Y3BpDh0="},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(S3Client::ComputeSignature(c.secret, c.text), c.signature)
        << U16ToUtf8(c.text);
  }
}

TEST(SignatureTest, HashesTheUtf8BytesOfNonAsciiText) {
  EXPECT_EQ(S3Client::ComputeSignature(
                u"k\u00e9y", u"GET\n\n\n\nx-amz-meta-name:Gr\u00fc\u00dfe "
                             u"\U0001F600\n/b/k"),
            u"GvJlgt4Ad+5yTKyD0mTPn+mYhVw=");
}

TEST(SignatureTest, IsAlways28Characters) {
  const std::u16string long_text(100000, u'x');
  for (const std::u16string& text :
       {std::u16string(), std::u16string(u"a"), long_text}) {
    const std::u16string signature =
        S3Client::ComputeSignature(long_text, text);
    EXPECT_EQ(signature.size(), 28u);
    EXPECT_EQ(signature.back(), u'=');
  }
}

// The canonical string of real requests, signed, gives the published
// signatures: fixed lines, x-amz- headers in name order, the resource.
TEST(StringToSignTest, CanonicalisesPublishedRequests) {
  GetObjectRequest fetch(u"awsexamplebucket1", u"photos/puppy.jpg");
  fetch.SetHeader(u"date", u"Tue, 27 Mar 2007 19:36:42 +0000");
  EXPECT_EQ(StringToSign(fetch, u"GET"),
            u"GET\n\n\nTue, 27 Mar 2007 19:36:42 +0000\n"
            u"/awsexamplebucket1/photos/puppy.jpg");
  EXPECT_EQ(S3Client::ComputeSignature(kExampleSecret,
                                       StringToSign(fetch, u"GET")),
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
            u"PUT\nc8fdb181845a4ca6b8fec737b3581d76\ntext/html\n"
            u"Thu, 17 Nov 2005 18:49:58 GMT\nx-amz-magic:abracadabra\n"
            u"x-amz-meta-author:foo@bar.com\n/quotes/nelson");
  EXPECT_EQ(S3Client::ComputeSignature(
                u"OtxrzxIsfpFjA7SwPzILwy8Bw21TLhquhboDYROV", text),
            u"jZNOcbfWmD/A/f3hSvVzXZjM2HU=");
}

TEST(StringToSignTest, HeaderLines) {
  // No header at all: verb, empty content-md5, content-type and date lines.
  S3Request bare;
  bare.m_strKey = u"k";
  EXPECT_EQ(StringToSign(bare, u"GET"), u"GET\n\n\n\n/k");

  // x-amz-date empties the date line and is signed among the x-amz- lines;
  // an empty x-amz- value leaves an empty line; values are signed trimmed;
  // a name not in lower case is not an x-amz- header.
  S3Request headers;
  headers.m_strBucket = u"b";
  headers.m_strKey = u"k";
  headers.SetHeader(u"date", u"Mon, 01 Jan 2001 00:00:00 GMT");
  headers.SetHeader(u"x-amz-date", u"Tue, 02 Jan 2001 00:00:00 GMT");
  headers.SetHeader(u"x-amz-meta-empty", u"");
  headers.SetHeader(u"x-amz-meta-padded", u" \t value\twith blanks \t ");
  headers.SetHeader(u"X-Amz-Meta-Upper", u"ignored");
  headers.SetHeader(u"other", u"ignored");
  EXPECT_EQ(StringToSign(headers, u"PUT"),
            u"PUT\n\n\n\n"
            u"x-amz-date:Tue, 02 Jan 2001 00:00:00 GMT\n"
            u"\n"
            u"x-amz-meta-padded:value\twith blanks\n"
            u"/b/k");
}

TEST(StringToSignTest, Resource) {
  S3Request request;
  request.m_strKey = u"%24folder%24a";
  EXPECT_EQ(StringToSign(request, u"GET"), u"GET\n\n\n\n/%24folder%24a");
  request.m_strKey.clear();
  request.m_strBucket = u"b";
  EXPECT_EQ(StringToSign(request, u"GET"), u"GET\n\n\n\n/b/");

  // Only the four signed sub-resources count, in their fixed order.
  request.m_query.Set(u"prefix", u"abc");
  request.m_query.Set(u"marker", u"x");
  EXPECT_EQ(StringToSign(request, u"GET"), u"GET\n\n\n\n/b/");
  request.m_query.Set(u"location", u"");
  request.m_query.Set(u"acl", u"");
  EXPECT_EQ(StringToSign(request, u"GET"), u"GET\n\n\n\n/b/?acl?location");
  request.m_query.Set(u"torrent", u"");
  request.m_query.Set(u"logging", u"");
  EXPECT_EQ(StringToSign(request, u"GET"),
            u"GET\n\n\n\n/b/?acl?torrent?logging?location");
}

TEST(QueryStringTest, Shapes) {
  CSortedMap<std::u16string> query;
  EXPECT_EQ(S3Client::BuildQueryString(query), u"");
  query.Set(u"prefix", u"abc");
  EXPECT_EQ(S3Client::BuildQueryString(query), u"?prefix=abc");
  // An empty value leaves only its separator.
  query.Set(u"marker", u"");
  EXPECT_EQ(S3Client::BuildQueryString(query), u"?&prefix=abc");
  // Name order; values verbatim.
  query.Set(u"marker", u"a%2Fb");
  query.Set(u"max-keys", u"5");
  EXPECT_EQ(S3Client::BuildQueryString(query),
            u"?marker=a%2Fb&max-keys=5&prefix=abc");
  CSortedMap<std::u16string> empty_values;
  empty_values.Set(u"acl", u"");
  empty_values.Set(u"location", u"");
  EXPECT_EQ(S3Client::BuildQueryString(empty_values), u"?&");
}

// The worked shapes: an upload and a listing, as signed and as sent.
TEST_F(SigningTest, UploadIsSignedAndSentAsDesigned) {
  CS3Config config;
  S3Client client;
  PutObjectRequest put(u"bkt", u"%24file%24%2Fa.txt");
  const uint8_t body[] = {'d', 'a', 't', 'a'};
  put.SetBody(body, sizeof(body));
  CNHttpRequest http = client.MakeHttpRequest(put);

  // content-type and x-amz-date now stand on the record too.
  EXPECT_EQ(put.m_headers.Lookup(u"content-type"), u"text/plain");
  EXPECT_EQ(put.m_headers.Lookup(u"x-amz-date"), kDate);
  const std::u16string expected_text =
      u"PUT\n\ntext/plain\n\nx-amz-acl:private\nx-amz-date:" +
      std::u16string(kDate) + u"\n/bkt/%24file%24%2Fa.txt";
  EXPECT_EQ(client.BuildStringToSign(http, put), expected_text);

  http.Send();
  ASSERT_EQ(env_.exchanges.size(), 1u);
  const s3test::Exchange& sent = env_.exchanges[0];
  EXPECT_EQ(sent.host, U16ToUtf8(u"bkt." + config.GetHost()));
  EXPECT_EQ(sent.port, config.GetPort());
  EXPECT_EQ(sent.verb, "PUT");
  EXPECT_EQ(sent.path, "/%24file%24%2Fa.txt");
  EXPECT_EQ(sent.body, "data");
  EXPECT_EQ(sent.Header("content-type"), "text/plain");
  EXPECT_EQ(sent.Header("x-amz-acl"), "private");
  EXPECT_EQ(sent.Header("x-amz-date"), U16ToUtf8(kDate));
  EXPECT_EQ(sent.Header("Authorization"),
            U16ToUtf8(u"AWS " + config.GetAccount() + u":" +
                      S3Client::ComputeSignature(config.GetPassword(),
                                                 expected_text)));
}

TEST_F(SigningTest, ListingIsSignedAndSentAsDesigned) {
  CS3Config config;
  S3Client client;
  ServiceListRequest list(u"bkt");
  list.m_query.Set(u"prefix", u"%24file%24");
  list.m_query.Set(u"marker", u"");
  CNHttpRequest http = client.MakeHttpRequest(list);
  EXPECT_EQ(client.BuildStringToSign(http, list),
            u"GET\n\n\n\nx-amz-date:" + std::u16string(kDate) + u"\n/bkt/");
  http.Send();
  ASSERT_EQ(env_.exchanges.size(), 1u);
  EXPECT_EQ(env_.exchanges[0].verb, "GET");
  EXPECT_EQ(env_.exchanges[0].path, "/?&prefix=%24file%24");

  // The service itself: the bare endpoint host, resource "/".
  ServiceListRequest service(u"");
  CNHttpRequest service_http = client.MakeHttpRequest(service);
  EXPECT_EQ(client.BuildStringToSign(service_http, service),
            u"GET\n\n\n\nx-amz-date:" + std::u16string(kDate) + u"\n/");
  service_http.Send();
  ASSERT_EQ(env_.exchanges.size(), 2u);
  EXPECT_EQ(env_.exchanges[1].host, U16ToUtf8(config.GetHost()));
  EXPECT_EQ(env_.exchanges[1].path, "/");
}

TEST_F(SigningTest, KeepsAGivenDateAndSendsValuesUntrimmed) {
  S3Client client;
  GetObjectRequest get(u"b", u"k");
  get.SetHeader(u"x-amz-date", u"Wed, 01 Jan 2020 00:00:00 GMT");
  get.SetHeader(u"x-amz-meta-note", u"  spaced  ");
  CNHttpRequest http = client.MakeHttpRequest(get);
  EXPECT_EQ(get.m_headers.Lookup(u"x-amz-date"),
            u"Wed, 01 Jan 2020 00:00:00 GMT");
  EXPECT_EQ(client.BuildStringToSign(http, get),
            u"GET\n\n\n\nx-amz-date:Wed, 01 Jan 2020 00:00:00 GMT\n"
            u"x-amz-meta-note:spaced\n/b/k");
  http.Send();
  ASSERT_EQ(env_.exchanges.size(), 1u);
  EXPECT_EQ(env_.exchanges[0].Header("x-amz-date"),
            "Wed, 01 Jan 2020 00:00:00 GMT");
  EXPECT_EQ(env_.exchanges[0].Header("x-amz-meta-note"), "  spaced  ");
  int date_lines = 0;
  for (const std::string& line : env_.exchanges[0].header_lines) {
    if (line.rfind("x-amz-date:", 0) == 0) ++date_lines;
  }
  EXPECT_EQ(date_lines, 1);
}

}  // namespace
