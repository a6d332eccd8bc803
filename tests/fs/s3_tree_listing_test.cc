// Reading listing pages and turning listed keys into tree entries: what a
// bucket may hold that must never become a path.

#include "fs/s3_tree_listing.h"

#include <gtest/gtest.h>

#include <string>

#include "common/wide_string.h"

namespace {

constexpr char16_t kStamp[] = u"2010-06-01T12:00:00.000Z";

std::u16string IndexKey(const std::u16string& path_form) {
  return u"$file$" + path_form + u"_" + kStamp + u"_Info";
}

TEST(S3TreeListingTest, PageGivesKeysWithTheirTimesDecoded) {
  const ListingPage page = ReadListingPage(
      u"<ListBucketResult><IsTruncated>true</IsTruncated>"
      u"<Contents><Key>a&amp;b</Key><LastModified>T1</LastModified></Contents>"
      u"<Contents><Key>c</Key><ETag>x</ETag><LastModified>T2</LastModified>"
      u"</Contents></ListBucketResult>");
  EXPECT_FALSE(page.damaged);
  EXPECT_TRUE(page.truncated);
  ASSERT_EQ(page.objects.size(), 2u);
  EXPECT_EQ(page.objects[0].key, u"a&b");
  EXPECT_EQ(page.objects[0].last_modified, u"T1");
  EXPECT_EQ(page.objects[1].key, u"c");
  EXPECT_EQ(page.objects[1].last_modified, u"T2");
  EXPECT_FALSE(ReadListingPage(u"<IsTruncated>false</IsTruncated>").truncated);
}

TEST(S3TreeListingTest, DamagedPagesAreFlagged) {
  // A key whose time is missing would otherwise take the next key's time,
  // or end the page early while the listing passed for complete.
  const ListingPage no_time = ReadListingPage(
      u"<Key>a</Key><Key>b</Key><LastModified>T</LastModified>");
  EXPECT_TRUE(no_time.damaged);
  EXPECT_TRUE(no_time.objects.empty());
  EXPECT_TRUE(ReadListingPage(u"<Key>a</Key><LastModified>T").damaged);
  EXPECT_TRUE(ReadListingPage(u"<Key>a</Key>").damaged);
  const ListingPage cut = ReadListingPage(
      u"<Key>a</Key><LastModified>T</LastModified><Key>b");
  EXPECT_TRUE(cut.damaged);
  EXPECT_EQ(cut.objects.size(), 1u);
  // A truncated page without a key gives no marker to go on from.
  EXPECT_TRUE(ReadListingPage(u"<IsTruncated>true</IsTruncated>").damaged);
  EXPECT_FALSE(ReadListingPage(u"").damaged);
}

TEST(S3TreeListingTest, StampsAreTimeTexts) {
  EXPECT_TRUE(IsVersionStamp(kStamp));
  EXPECT_FALSE(IsVersionStamp(u""));
  EXPECT_FALSE(IsVersionStamp(u"2010-06-01T12:00:00.000"));
  EXPECT_FALSE(IsVersionStamp(u"2010-06-01 12:00:00.000Z"));
  EXPECT_FALSE(IsVersionStamp(u"2010-13-01T12:00:00.000Z"));
  EXPECT_FALSE(IsVersionStamp(u"Tue, 08 Dec 2026 01:02:0"));
}

TEST(S3TreeListingTest, FolderMarkersNameSafeDirectories) {
  std::u16string key;
  ASSERT_TRUE(FolderMarkerTreeKey(u"$folder$docs/sub", &key));
  EXPECT_EQ(key, u"\\docs\\sub");
  // Only the leading "$folder$" is the marker's; a name may hold the text.
  ASSERT_TRUE(FolderMarkerTreeKey(u"$folder$a$folder$b", &key));
  EXPECT_EQ(key, u"\\a$folder$b");

  const std::u16string refused[] = {
      u"$folder$",        u"$folder$..",      u"$folder$a/../../b",
      u"$folder$./a",     u"$folder$/a",      u"$folder$a//b",
      u"$folder$a/",      u"$folder$a\\b",    std::u16string(u"$folder$a\0b", 11),
      u"docs/sub",        u"$file$/a"};
  for (const std::u16string& bad : refused) {
    key = u"unchanged";
    EXPECT_FALSE(FolderMarkerTreeKey(bad, &key)) << U16ToUtf8(bad);
    EXPECT_EQ(key, u"unchanged");
  }
}

TEST(S3TreeListingTest, IndexObjectsNameSafeFilesWithTheirStamps) {
  std::u16string key;
  std::u16string stamp;
  ASSERT_TRUE(IndexObjectTreeEntry(IndexKey(u"/docs/sub/a.txt"), &key, &stamp));
  EXPECT_EQ(key, u"\\docs\\sub\\a.txt");
  EXPECT_EQ(stamp, kStamp);
  ASSERT_TRUE(IndexObjectTreeEntry(IndexKey(u"/x$file$y"), &key, &stamp));
  EXPECT_EQ(key, u"\\x$file$y");

  const std::u16string refused[] = {
      IndexKey(u"/../x"),
      IndexKey(u"/a/./b"),
      IndexKey(u"/a/.."),
      IndexKey(u"//c"),
      IndexKey(u"/"),
      IndexKey(u""),
      IndexKey(u"/d\\e"),
      IndexKey(u"x"),  // no "/" after "$file$"
      IndexKey(std::u16string(u"/n\0l", 4)),
      u"$file$/a_Info",  // too short for a stamp
      u"_" + std::u16string(kStamp) + u"_Info",
      u"$file$/a_" + std::u16string(kStamp),  // not an index object
      u"$file$/a_Tue, 08 Dec 2026 01:02:03 GMT_Info",
      u"$file$/a-" + std::u16string(kStamp) + u"_Info",
      u"$data$/a_" + std::u16string(kStamp) + u"_Info"};
  for (const std::u16string& bad : refused) {
    EXPECT_FALSE(IndexObjectTreeEntry(bad, &key, &stamp)) << U16ToUtf8(bad);
  }
}

}  // namespace
