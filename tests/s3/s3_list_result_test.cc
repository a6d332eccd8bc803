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

S3ListResult Listing(const std::u16string& bucket, const std::u16string& text) {
  S3Response response;
  response.m_strBucket = bucket;
  response.m_strText = text;
  return S3ListResult(response);
}
S3ListResult Listing(const std::u16string& bucket, const std::string& text) {
  return Listing(bucket, Utf8ToU16(text));
}

TEST(XmlTextTest, DecodesEntitiesAndCharacterReferences) {
  const char16_t* const cases[][2] = {
      {u"a&amp;b.txt", u"a&b.txt"},
      {u"&lt;&gt;&quot;&apos;&amp;amp;", u"<>\"'&amp;"},
      {u"&#38;&#x26;&#X26;&#0038;&#9;&#xE9;&#x1F600;", u"&&&&\t\u00e9\U0001F600"},
      // Not references: left exactly as they stand.
      {u"a & b &amp &unknown; &#; &#x; &#xG1; &#12a; &&amp;", u"a & b &amp &unknown; &#; &#x; &#xG1; &#12a; &&"},
      {u"&#0;&#xD800;&#x110000;&#99999999999999999999;", u"&#0;&#xD800;&#x110000;&#99999999999999999999;"},
      {u"&", u"&"},
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeXmlText(c[0]), c[1]) << U16ToUtf8(c[0]);
}

TEST(ListResultTest, NamesKeysAndMarkers) {
  S3ListResult service = Listing(u"", s3test::ServiceListing({"alpha", "beta"}));
  service.ParseList();
  EXPECT_EQ(service.m_items, (Items{u"alpha", u"beta"}));

  // A bucket listing names its bucket in <Name> too: only keys count.
  S3ListResult page = Listing(u"b", s3test::BucketListing({"a&amp;b.txt", "x&lt;y&#x3E;z"}, true));
  page.m_iSize = 77;
  page.ParseList();
  page.ParseList();  // parsing again replaces the items
  EXPECT_EQ(page.m_items, (Items{u"a&b.txt", u"x<y>z"}));
  EXPECT_EQ(page.m_iSize, 0u);
  EXPECT_EQ(page.m_iTruncated, 1);
  EXPECT_EQ(page.m_strNextMarker, u"x<y>z");
  EXPECT_EQ(page.m_iRetry, 0);

  // Folder listing: items in local form, the marker as S3 listed the key.
  S3ListResult folders = Listing(u"b", s3test::BucketListing({"$folder$a", "$folder$a/b&amp;c"}, true));
  folders.ParseFolderList();
  EXPECT_EQ(folders.m_items, (Items{u"\\a", u"\\a\\b&c"}));
  EXPECT_EQ(folders.m_strNextMarker, u"$folder$a/b&c");

  // Without the truncated mark the paging ends, however many keys.
  S3ListResult last = Listing(u"b", s3test::BucketListing(std::vector<std::string>(1000, "k")));
  last.ParseList();
  EXPECT_EQ(last.m_items.size(), 1000u);
  EXPECT_EQ(last.m_iTruncated, 0);
  EXPECT_EQ(last.m_strNextMarker, u"");
}

TEST(ListResultTest, SumSizes) {
  S3ListResult sizes = Listing(
      u"b", "<Size>10</Size><Size>5</Size><Size>8589934592</Size><Size>  7x</Size>"
            "<Size>+1</Size><Size>-100</Size><Size>junk</Size>");
  EXPECT_EQ(sizes.SumSizes(), 8589934592u + 23u);
  EXPECT_EQ(sizes.SumSizes(), 8589934592u + 23u);  // starts over
  EXPECT_EQ(Listing(u"b", "<Size>18446744073709551615</Size><Size>1</Size>").SumSizes(), UINT64_MAX);
  EXPECT_EQ(Listing(u"b", "<Size>999999999999999999999999</Size>").SumSizes(), UINT64_MAX);
  S3ListResult service = Listing(u"", "<Size>10</Size>");
  EXPECT_EQ(service.SumSizes(), 0u);
  EXPECT_EQ(service.m_iSize, 0u);
}

TEST(ListResultTest, RecognisesOnlyCompleteListingDocuments) {
  const std::string listing = s3test::BucketListing({"a"});
  const std::string portal = "<html><body>Sign in</body></html>";
  EXPECT_TRUE(Listing(u"b", listing).HoldsListingDocument());
  EXPECT_TRUE(Listing(u"", s3test::ServiceListing({})).HoldsListingDocument());
  EXPECT_FALSE(Listing(u"b", portal).HoldsListingDocument());
  EXPECT_FALSE(Listing(u"", portal).HoldsListingDocument());
  EXPECT_FALSE(Listing(u"b", "").HoldsListingDocument());
  EXPECT_FALSE(Listing(u"b", listing.substr(0, listing.size() - 3)).HoldsListingDocument());
  // The other kind of listing is not the answer to this request.
  EXPECT_FALSE(Listing(u"b", s3test::ServiceListing({"b"})).HoldsListingDocument());
  EXPECT_FALSE(Listing(u"", listing).HoldsListingDocument());
}

TEST(ListResultTest, DamagedPagesAreMarked) {
  // An item without its closing tag ends the scan; what came before stays.
  S3ListResult cut = Listing(u"b", "<Key>a</Key><Key>b");
  cut.ParseList();
  EXPECT_EQ(cut.m_items, (Items{u"a"}));
  EXPECT_EQ(cut.m_iRetry, 1);
  S3ListResult cut_size = Listing(u"b", "<Size>4</Size><Size>5");
  EXPECT_EQ(cut_size.SumSizes(), 4u);
  EXPECT_EQ(cut_size.m_iRetry, 1);

  // Truncated but empty: no marker to go on with, so the paging stops.
  S3ListResult empty = Listing(u"b", s3test::BucketListing({}, true));
  empty.ParseList();
  EXPECT_EQ(empty.m_iTruncated, 0);
  EXPECT_EQ(empty.m_iRetry, 1);
}

TEST(ListResultTest, HugeAnswersAreReadInLinearTime) {
  // Would take minutes if every tag restarted the scan.
  std::u16string open_tags;
  for (int i = 0; i < 1 << 19; ++i) open_tags += u"<Key>";
  S3ListResult unclosed = Listing(u"b", open_tags);
  unclosed.ParseList();
  EXPECT_TRUE(unclosed.m_items.empty());
  const std::u16string ampersands(1 << 22, u'&');
  EXPECT_EQ(DecodeXmlText(ampersands), ampersands);

  std::u16string many = u"<IsTruncated>true</IsTruncated>";
  for (int i = 0; i < 100000; ++i) many += u"<Key>k&amp;</Key><Size>2</Size>";
  S3ListResult big = Listing(u"b", many);
  big.ParseList();
  EXPECT_EQ(big.m_items.size(), 100000u);
  EXPECT_EQ(big.m_strNextMarker, u"k&");
  EXPECT_EQ(big.SumSizes(), 200000u);
}

}  // namespace
