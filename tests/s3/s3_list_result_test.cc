// Listing answers: XML text decoding, items, paging markers, sizes, and
// hostile answers.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/wide_string.h"
#include "fake_s3_env.h"
#include "s3/s3_list_result.h"
#include "s3/xml_text.h"

namespace {

using Items = std::vector<std::u16string>;

S3ListResult Listing(const std::u16string& bucket, const std::string& text) {
  S3Response response;
  response.m_strBucket = bucket;
  response.m_strText = Utf8ToU16(text);
  response.m_iStatus = 200;
  return S3ListResult(response);
}

TEST(XmlTextTest, DecodesEntitiesAndCharacterReferences) {
  struct Case {
    const char16_t* in;
    const char16_t* out;
  } cases[] = {
      {u"a&amp;b.txt", u"a&b.txt"},
      {u"&lt;&gt;&quot;&apos;&amp;", u"<>\"'&"},
      {u"&amp;amp;", u"&amp;"},  // decoded once only
      {u"&#38;&#x26;&#X26;&#0038;", u"&&&&"},
      {u"tab&#9;cr&#xD;", u"tab\tcr\r"},
      {u"&#xE9;&#233;", u"\u00e9\u00e9"},
      {u"&#x1F600;", u"\U0001F600"},
      // Not references: left exactly as they stand.
      {u"a & b", u"a & b"},
      {u"&amp", u"&amp"},
      {u"&unknown;", u"&unknown;"},
      {u"&#;&#x;&#xG1;&#12a;", u"&#;&#x;&#xG1;&#12a;"},
      {u"&#0;&#xD800;&#xDFFF;&#x110000;", u"&#0;&#xD800;&#xDFFF;&#x110000;"},
      {u"&#99999999999999999999;", u"&#99999999999999999999;"},
      {u"&&amp;", u"&&"},
      {u"&", u"&"},
      {u"", u""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DecodeXmlText(c.in), c.out) << U16ToUtf8(c.in);
  }
}

TEST(ListResultTest, CopiesTheResponseButNotItsBody) {
  S3Response response;
  response.m_strBucket = u"b";
  response.m_strKey = u"k";
  response.m_strVerb = u"GET";
  response.m_strText = u"text";
  response.m_iStatus = 404;
  response.m_iRetry = 1;
  const uint8_t body[] = {1, 2, 3};
  response.SetBody(body, 3);
  const S3ListResult result(response);
  EXPECT_EQ(result.m_strBucket, u"b");
  EXPECT_EQ(result.m_strKey, u"k");
  EXPECT_EQ(result.m_strVerb, u"GET");
  EXPECT_EQ(result.m_strText, u"text");
  EXPECT_EQ(result.m_iStatus, 404);
  EXPECT_EQ(result.m_iRetry, 1);
  EXPECT_EQ(result.GetBodyLength(), 0);
  EXPECT_EQ(result.m_iServiceList, 0);
  EXPECT_EQ(result.m_iTruncated, 0);
  EXPECT_EQ(S3ListResult(S3Response()).m_iServiceList, 1);
}

TEST(ListResultTest, ParseListCollectsBucketNamesOrKeys) {
  S3ListResult service =
      Listing(u"", s3test::ServiceListing({"alpha", "beta"}));
  service.ParseList();
  EXPECT_EQ(service.m_items, (Items{u"alpha", u"beta"}));
  EXPECT_EQ(service.m_iServiceList, 1);

  // A bucket listing also names its bucket in <Name>: only keys count.
  S3ListResult bucket = Listing(
      u"b", s3test::BucketListing({"a&amp;b.txt", "x&lt;y&#x3E;z", "plain"}));
  bucket.m_iSize = 77;
  bucket.ParseList();
  EXPECT_EQ(bucket.m_items, (Items{u"a&b.txt", u"x<y>z", u"plain"}));
  EXPECT_EQ(bucket.m_iSize, 0u);
  EXPECT_EQ(bucket.m_iTruncated, 0);
  EXPECT_EQ(bucket.m_strNextMarker, u"");
  EXPECT_EQ(bucket.m_iRetry, 0);

  // Parsing again replaces the items rather than adding to them.
  bucket.ParseList();
  EXPECT_EQ(bucket.m_items.size(), 3u);
}

TEST(ListResultTest, TruncatedPagesGiveTheDecodedMarker) {
  S3ListResult page =
      Listing(u"b", s3test::BucketListing({"k1", "R&amp;D/k2"}, true));
  page.ParseList();
  EXPECT_EQ(page.m_iTruncated, 1);
  EXPECT_EQ(page.m_strNextMarker, u"R&D/k2");

  // Folder listing: items in local form, the marker as S3 listed the key.
  S3ListResult folders = Listing(
      u"b", s3test::BucketListing({"$folder$a", "$folder$a/b&amp;c"}, true));
  folders.ParseFolderList();
  EXPECT_EQ(folders.m_items, (Items{u"\\a", u"\\a\\b&c"}));
  EXPECT_EQ(folders.m_strNextMarker, u"$folder$a/b&c");

  // 1000 keys without the truncated mark end the paging.
  std::vector<std::string> keys;
  for (int i = 0; i < 1000; ++i) keys.push_back("k" + std::to_string(i));
  S3ListResult full = Listing(u"b", s3test::BucketListing(keys, false));
  full.ParseList();
  EXPECT_EQ(full.m_items.size(), 1000u);
  EXPECT_EQ(full.m_iTruncated, 0);
  EXPECT_EQ(full.m_strNextMarker, u"");
}

TEST(ListResultTest, SumSizes) {
  S3ListResult sizes = Listing(
      u"b",
      "<ListBucketResult><Contents><Size>10</Size></Contents>"
      "<Contents><Size>5</Size></Contents>"
      "<Contents><Size>8589934592</Size></Contents>"  // 2^33
      "<Contents><Size>  7x</Size></Contents>"
      "<Contents><Size>+1</Size></Contents>"
      "<Contents><Size>-100</Size></Contents>"
      "<Contents><Size>junk</Size></Contents></ListBucketResult>");
  EXPECT_EQ(sizes.SumSizes(), 10u + 5u + 8589934592u + 7u + 1u);
  EXPECT_EQ(sizes.m_iSize, 10u + 5u + 8589934592u + 7u + 1u);
  // Summing again starts over.
  EXPECT_EQ(sizes.SumSizes(), 10u + 5u + 8589934592u + 7u + 1u);

  S3ListResult huge = Listing(
      u"b",
      "<Size>18446744073709551615</Size><Size>1</Size>"
      "<Size>999999999999999999999999</Size>");
  EXPECT_EQ(huge.SumSizes(), UINT64_MAX);

  S3ListResult service = Listing(u"", "<Size>10</Size>");
  service.m_iSize = 3;
  EXPECT_EQ(service.SumSizes(), 0u);
  EXPECT_EQ(service.m_iSize, 0u);
}

TEST(ListResultTest, RecognisesOnlyCompleteListingDocuments) {
  EXPECT_TRUE(Listing(u"b", s3test::BucketListing({})).HoldsListingDocument());
  EXPECT_TRUE(
      Listing(u"", s3test::ServiceListing({})).HoldsListingDocument());
  const std::string portal =
      "<html><head><title>Sign in</title></head><body>Welcome</body></html>";
  EXPECT_FALSE(Listing(u"b", portal).HoldsListingDocument());
  EXPECT_FALSE(Listing(u"", portal).HoldsListingDocument());
  EXPECT_FALSE(Listing(u"b", "").HoldsListingDocument());
  // Cut short before the end of the document.
  const std::string listing = s3test::BucketListing({"a", "b"});
  EXPECT_FALSE(Listing(u"b", listing.substr(0, listing.size() - 3))
                   .HoldsListingDocument());
  // The other kind of listing is not the answer to this request.
  EXPECT_FALSE(
      Listing(u"b", s3test::ServiceListing({"b"})).HoldsListingDocument());
  EXPECT_FALSE(Listing(u"", s3test::BucketListing({"k"})).HoldsListingDocument());
}

TEST(ListResultTest, HostilePagesAreTotalAndMarkedDamaged) {
  // An item without its closing tag ends the scan; what came before stays.
  S3ListResult cut = Listing(u"b", "<Key>a</Key><Key>b");
  cut.ParseList();
  EXPECT_EQ(cut.m_items, (Items{u"a"}));
  EXPECT_EQ(cut.m_iRetry, 1);

  S3ListResult cut_size = Listing(u"b", "<Size>4</Size><Size>5");
  EXPECT_EQ(cut_size.SumSizes(), 4u);
  EXPECT_EQ(cut_size.m_iRetry, 1);

  // Truncated but empty: no marker to go on with, so the paging stops.
  S3ListResult empty_truncated =
      Listing(u"b", s3test::BucketListing({}, true));
  empty_truncated.ParseList();
  EXPECT_EQ(empty_truncated.m_iTruncated, 0);
  EXPECT_EQ(empty_truncated.m_iRetry, 1);
  EXPECT_TRUE(empty_truncated.m_items.empty());

  // Odd but complete items.
  S3ListResult odd = Listing(u"b", "<Key></Key><Key><Key></Key></Key>");
  odd.ParseList();
  EXPECT_EQ(odd.m_items, (Items{u"", u"<Key>"}));
  EXPECT_EQ(odd.m_iRetry, 0);
}

TEST(ListResultTest, HugeAnswersAreReadInLinearTime) {
  // 4 MiB of opening tags without any closing tag, and 100000 items: each
  // would take minutes if the scan restarted from every tag.
  std::u16string open_tags;
  for (int i = 0; i < 1 << 19; ++i) open_tags += u"<Key>";
  S3Response response;
  response.m_strBucket = u"b";
  response.m_strText = open_tags;
  S3ListResult unclosed(response);
  unclosed.ParseList();
  EXPECT_TRUE(unclosed.m_items.empty());
  EXPECT_EQ(unclosed.m_iRetry, 1);
  response.m_strText = std::u16string(1 << 22, u'&');
  S3ListResult ampersands(response);
  ampersands.ParseList();
  EXPECT_TRUE(ampersands.m_items.empty());
  EXPECT_EQ(DecodeXmlText(response.m_strText), response.m_strText);

  std::u16string many = u"<IsTruncated>true</IsTruncated>";
  for (int i = 0; i < 100000; ++i) many += u"<Key>k&amp;</Key><Size>2</Size>";
  response.m_strText = many;
  S3ListResult big(response);
  big.ParseList();
  EXPECT_EQ(big.m_items.size(), 100000u);
  EXPECT_EQ(big.m_strNextMarker, u"k&");
  EXPECT_EQ(big.SumSizes(), 200000u);
}

}  // namespace
