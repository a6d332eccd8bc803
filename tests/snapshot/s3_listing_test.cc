// The remote tree's listing in the snapshot-assisted build: an index object
// named by its path alone gives that path, with the listing's own
// LastModified text as its time, and the listing repeats without pausing.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/wide_string.h"
#include "fs/s3_file_system.h"
#include "fs/s3_tree_listing.h"
#include "support/s3_fs_util.h"
#include "support/store_fixture.h"
#include "support/test_servers.h"
#include "support/test_layout.h"

namespace testsupport::fstest {
namespace {

using Keys = std::vector<std::u16string>;

TEST(SnapshotTreeListingTest, IndexKeysNameTheirPath) {
  SKIP_IN_STANDARD_LAYOUT("the snapshot-assisted library's own cases");
  std::u16string key;
  ASSERT_TRUE(IndexObjectTreeKey(u"$file$/docs/a.txt_Info", &key));
  EXPECT_EQ(key, u"\\docs\\a.txt");
  ASSERT_TRUE(IndexObjectTreeKey(u"$file$/a$file$b_Info", &key));
  EXPECT_EQ(key, u"\\a$file$b");  // only the leading "$file$" goes
  key = u"unchanged";
  for (const std::u16string bad :
       {u"$file$/docs/readme", u"$file$/_Info", u"$file$_Info", u"$folder$x_Info",
        u"$file$/../x_Info", u"$file$/a//b_Info", u"$file$/a\\b_Info", u""}) {
    EXPECT_FALSE(IndexObjectTreeKey(bad, &key)) << U16ToUtf8(bad);
  }
  EXPECT_EQ(key, u"unchanged");
}

TEST(SnapshotTreeListingTest, ListedTimesAreKeptToTheSecond) {
  SKIP_IN_STANDARD_LAYOUT("the snapshot-assisted library's own cases");
  EXPECT_EQ(ListedFileTime(u"2010-01-01T00:00:00.000Z"), u"2010-01-01T00:00:00.000Z");
  EXPECT_EQ(ListedFileTime(u"2010-01-01T00:00:00.730Z"), u"2010-01-01T00:00:00.000Z");
  EXPECT_EQ(ListedFileTime(u"2010-01-01T00:00:07Z"), u"2010-01-01T00:00:07.000Z");
  EXPECT_EQ(ListedFileTime(u"yesterday"), u"yesterday");
  EXPECT_EQ(ListedFileTime(u""), u"");
}

class SnapshotListingStubTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StoreSettings settings;
    settings.bucket = StoreFixture::UniqueBucket("snaplist");
    settings.data_bucket = StoreFixture::UniqueBucket("snaplistdata");
    settings.use_stub = true;
    fixture_.WriteSettings(settings);
    fs_.reset(new CS3FileSystem());
    fs_->SetRoot(Utf8ToU16(fixture_.bucket()));
  }
  void TearDown() override { StubServer::Reset(fixture_.bucket()); }

  // Every listing request of the bucket answers `xml`.
  void AnswerListings(const std::string& xml) {
    std::string error;
    ASSERT_TRUE(StubServer::SetScript(
        fixture_.bucket(), "[{\"method\":\"GET\",\"body\":" + JsonString(xml) + "}]", &error))
        << error;
  }

  StoreFixture fixture_;
  ScopedFileSystem<CS3FileSystem> fs_;
};

TEST_F(SnapshotListingStubTest, IndexObjectGivesItsPathWithTheListedTime) {
  SKIP_IN_STANDARD_LAYOUT("the snapshot-assisted library's own cases");
  AnswerListings(StubListing({{"$data$/docs/a.txt_00000", 5},
                              {"$file$/docs/a.txt_Info", 78},
                              {"$file$/docs/readme", 1},
                              {"$folder$docs", 0}},
                             false));
  ASSERT_EQ(fs_->LoadTree(), 0);
  EXPECT_EQ(MapKeys(fs_->fileMap), Keys{u"\\docs\\a.txt"});
  EXPECT_EQ(fs_->fileMap.Lookup(u"\\docs\\a.txt"), u"2010-01-01T00:00:00.000Z");
  EXPECT_EQ(MapKeys(fs_->dirMap), Keys{u"\\docs"});
  // Two listings of folders and files that agree, with no pause between.
  EXPECT_EQ(StubServer::Requests(fixture_.bucket()).size(), 4u);
  EXPECT_EQ(fixture_.env().sleeps().size(), 4u);  // the requests' own pauses
}

TEST_F(SnapshotListingStubTest, MillisecondsOfTheListedTimeAreDropped) {
  SKIP_IN_STANDARD_LAYOUT("the snapshot-assisted library's own cases");
  AnswerListings(
      "<ListBucketResult><IsTruncated>false</IsTruncated>"
      "<Contents><Key>$file$/b.bin_Info</Key>"
      "<LastModified>2011-02-03T04:05:06.789Z</LastModified></Contents>"
      "</ListBucketResult>");
  ASSERT_EQ(fs_->LoadTree(), 0);
  EXPECT_EQ(fs_->fileMap.Lookup(u"\\b.bin"), u"2011-02-03T04:05:06.000Z");
}

}  // namespace
}  // namespace testsupport::fstest
