// GetUsedSpace, DeleteS3File and GetDirList against the S3 test server and,
// for paging and failures, the scripted stub.

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "KeltoS3.h"
#include "common/wide_string.h"
#include "layout/index_record.h"
#include "layout/object_keys.h"
#include "platform/last_error.h"
#include "support/http_date.h"
#include "support/store_fixture.h"
#include "support/test_servers.h"
#include "support/test_layout.h"

namespace {

using testsupport::JsonString;
using testsupport::RawS3;
using testsupport::SplitDirList;
using testsupport::StoreFixture;
using testsupport::StubListing;
using testsupport::StubRequest;
using testsupport::StubServer;
using testsupport::Wide;

// Stores `content` at `path` through the exported surface; returns the
// stored name, or "" on failure.
std::u16string Put(const std::u16string& path, const std::string& content) {
  KS3File* file = nullptr;
  if (CreateS3FileObject(&file) != 0) return u"";
  std::u16string name;
  if (file->Open(Wide(path).c_str()) == 0 &&
      file->Write(content.data(), static_cast<int>(content.size()), 1) == 0) {
    // The stamp is the one entry of this path that GetDirList shows; the
    // snapshot-assisted build stores the path under its own name.
    for (const std::u16string& entry : SplitDirList(GetDirList())) {
      const std::u16string head = u"$file$" + path + u"_";
      const bool versioned = entry.rfind(head, 0) == 0 && entry.size() > head.size() + 5;
      if (::testsupport::IsSnapshotRun() ? entry == head + u"Info" : versioned) {
        name = entry.substr(6, entry.size() - 6 - 5);
      }
    }
  }
  DestroyS3FileObject(&file);
  return name;
}

// Run under both signature versions and addressing styles.
class RemoteStoreProtocolTest : public ::testing::TestWithParam<testsupport::Protocol> {};

INSTANTIATE_TEST_SUITE_P(Protocols, RemoteStoreProtocolTest,
                         ::testing::ValuesIn(testsupport::kAllProtocols),
                         testsupport::ProtocolName);

TEST_P(RemoteStoreProtocolTest, StoreListMeasureAndDelete) {
  StoreFixture fixture;
  ASSERT_TRUE(fixture.UseServer("remote", 1000, GetParam()));
  EXPECT_EQ(GetUsedSpace(), 0u);
  EXPECT_STREQ(GetDirList(), L"");

  const std::u16string a = Put(u"\\docs\\2009\\a.txt", testsupport::RandomBytes(2500, 1));
  const std::u16string b = Put(u"\\b.bin", testsupport::RandomBytes(10, 2));
  ASSERT_FALSE(a.empty());
  ASSERT_FALSE(b.empty());
  EXPECT_EQ(GetUsedSpace(), 2510u);

  const std::vector<std::u16string> entries = SplitDirList(GetDirList());
  const std::vector<std::u16string> expected = {
      u"$file$" + b + u"_Info", u"$file$" + a + u"_Info", u"\\docs", u"\\docs\\2009"};
  EXPECT_EQ(entries, expected);

  EXPECT_EQ(DeleteS3File(Wide(a).c_str()), 0);
  EXPECT_EQ(GetUsedSpace(), 10u);
  const std::vector<std::string> data = RawS3::ListKeys(fixture.data_bucket());
  EXPECT_EQ(testsupport::WithoutTokens(data),
            std::vector<std::string>{"$chunk$/b.bin_<t>_00000"});
  const std::vector<std::string> backup = RawS3::ListKeys(fixture.bucket());
  EXPECT_EQ(backup.size(), 3u);  // b's index and the two folder markers
  EXPECT_EQ(std::count(backup.begin(), backup.end(), "$file$" + U16ToUtf8(KeyFormOf(a)) + "_Info"), 0);

  // Nothing stored under the name: nothing deleted, still 0.
  EXPECT_EQ(DeleteS3File(Wide(a).c_str()), 0);
  EXPECT_EQ(DeleteS3File(nullptr), 0);
  EXPECT_EQ(GetUsedSpace(), 10u);
}

// What DeleteS3File cannot read whole, or what belongs to another path, it
// leaves alone.
TEST(RemoteStoreTest, DeleteRemovesOnlyWhatItCanReadWhole) {
  StoreFixture fixture;
  ASSERT_TRUE(fixture.UseServer("partial", 1000));
  const auto record = [](uint64_t start, const std::u16string& key) {
    std::string bytes(static_cast<size_t>(IndexRecordSize(key.size())), '\0');
    EncodeIndexRecord(start, start + 9, key, reinterpret_cast<uint8_t*>(bytes.data()));
    return bytes;
  };
  for (const char* chunk : {"$data$/p.txt_00000", "$data$/p.txt_00001",
                            "$data$/other.txt_00000"}) {
    ASSERT_TRUE(RawS3::PutObject(fixture.data_bucket(), chunk, "0123456789"));
  }
  // \p.txt's index object with its second record cut short.
  std::string partial = record(0, u"$data$/p.txt_00000") + record(10, u"$data$/p.txt_00001");
  partial.resize(partial.size() - 3);
  ASSERT_TRUE(RawS3::PutObject(fixture.bucket(), "$file$/p.txt_Info", partial));
  // \q.txt's index object names a chunk of another path.
  ASSERT_TRUE(RawS3::PutObject(fixture.bucket(), "$file$/q.txt_Info",
                               record(0, u"$data$/other.txt_00000")));

  EXPECT_EQ(DeleteS3File(L"\\p.txt"), 0);
  EXPECT_EQ(DeleteS3File(L"\\q.txt"), 0);
  EXPECT_EQ(RawS3::ListKeys(fixture.bucket()),
            std::vector<std::string>{"$file$/p.txt_Info"});
  EXPECT_EQ(RawS3::ListKeys(fixture.data_bucket()).size(), 3u);
}

TEST_P(RemoteStoreProtocolTest, DirListOfAMissingBucketCreatesIt) {
  StoreFixture fixture;
  testsupport::StoreSettings settings;
  settings.protocol = GetParam();
  settings.bucket = StoreFixture::UniqueBucket("missing");
  settings.data_bucket = StoreFixture::UniqueBucket("missingdata");
  fixture.WriteSettings(settings);
  EXPECT_STREQ(GetDirList(), L"");
  EXPECT_TRUE(RawS3::CreateBucket(settings.bucket));  // exists now
  const testsupport::HttpResult head = RawS3::Send("GET", settings.bucket, "");
  EXPECT_EQ(head.status, 200);
}

TEST(RemoteStoreTest, DirListTextLivesUntilTheNextCallOnItsThread) {
  StoreFixture fixture;
  ASSERT_TRUE(fixture.UseServer("dirlife", 1000));
  ASSERT_TRUE(RawS3::PutObject(fixture.bucket(), "$folder$kept", ""));
  const wchar_t* mine = GetDirList();
  ASSERT_STREQ(mine, L"\\kept;");
  std::thread other([&fixture] {  // the installed Env is process-wide
    ASSERT_TRUE(RawS3::PutObject(fixture.bucket(), "$folder$more", ""));
    EXPECT_STREQ(GetDirList(), L"\\kept;\\more;");
  });
  other.join();
  EXPECT_STREQ(mine, L"\\kept;");  // untouched by the other thread's call
}

class RemoteStoreStubTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::StoreSettings settings;
    settings.bucket = StoreFixture::UniqueBucket("rsb");
    settings.data_bucket = StoreFixture::UniqueBucket("rsd");
    settings.use_stub = true;
    fixture_.WriteSettings(settings);
  }
  void TearDown() override {
    StubServer::Reset(fixture_.bucket());
    StubServer::Reset(fixture_.data_bucket());
  }
  void Script(const std::string& bucket, const std::string& rules) {
    std::string error;
    ASSERT_TRUE(StubServer::SetScript(bucket, "[" + rules + "]", &error)) << error;
  }
  static std::string Page(const std::string& path, const std::string& listing,
                          const std::string& extra = "") {
    return "{\"method\":\"GET\"," + (path.empty() ? "" : "\"path\":" + JsonString(path) + ",") +
           extra + "\"body\":" + JsonString(listing) + "}";
  }
  static std::vector<StubRequest> Listings(const std::string& bucket) {
    std::vector<StubRequest> out;
    for (const StubRequest& r : StubServer::Requests(bucket)) {
      if (r.method == "GET") out.push_back(r);
    }
    return out;
  }
  StoreFixture fixture_;
};

TEST_F(RemoteStoreStubTest, UsedSpaceSumsEveryPage) {
  Script(fixture_.data_bucket(),
         Page("marker=b%2F2", StubListing({{"c", 5000000000ull}}, false)) + "," +
             Page("marker=a1", StubListing({{"b/1", 7}, {"b/2", 8}}, true)) + "," +
             Page("", StubListing({{"a0", 10}, {"a1", 20}}, true)));
  EXPECT_EQ(GetUsedSpace(), 5000000045ull);
  const std::vector<StubRequest> pages = Listings(fixture_.data_bucket());
  ASSERT_EQ(pages.size(), 3u);
  EXPECT_EQ(pages[0].path.find("marker"), std::string::npos);
  EXPECT_NE(pages[1].path.find("marker=a1"), std::string::npos);
  EXPECT_NE(pages[2].path.find("marker=b%2F2"), std::string::npos);
}

TEST_F(RemoteStoreStubTest, UsedSpaceStopsAtAFailedPage) {
  Script(fixture_.data_bucket(),
         "{\"method\":\"GET\",\"path\":\"marker=\",\"status\":500}," +
             Page("", StubListing({{"a0", 10}}, true)));
  EXPECT_EQ(GetUsedSpace(), 10u);
}

// Pages must lead somewhere: a listing whose marker does not move on ends
// at once, refused and reported, however the server keeps it going.
TEST_F(RemoteStoreStubTest, ListingsEndWhenPagesDoNotMoveOn) {
  const std::string& data = fixture_.data_bucket();
  const auto refused = [this] {
    bool found = false;
    for (const auto& event : fixture_.env().events()) {
      found = found || event.text.find(u"listing of bucket") != std::u16string::npos;
    }
    return found && KeltoS3GetLastError() == 12500u &&
           std::wstring(KeltoS3GetLastErrorText()).find(L"refused") != std::wstring::npos;
  };
  // A server that hands back the page it was asked for, for ever: the
  // repeat is not counted.
  Script(data, Page("", StubListing({{"a0", 10}}, true)));
  EXPECT_EQ(GetUsedSpace(), 10u);
  EXPECT_EQ(Listings(data).size(), 2u);
  EXPECT_TRUE(refused());

  // Pages that alternate between two keys (ten times each, then the first
  // page again).
  StubServer::Reset(data);
  fixture_.env().ClearCaptures();
  platform::SetLastError(0);
  platform::SetLastErrorText(u"");
  Script(data, Page("marker=b", StubListing({{"a", 1}}, true), "\"times\":10,") + "," +
                   Page("marker=a", StubListing({{"b", 2}}, true), "\"times\":10,") + "," +
                   Page("", StubListing({{"a", 1}}, true)));
  EXPECT_EQ(GetUsedSpace(), 3u);
  EXPECT_EQ(Listings(data).size(), 3u);
  EXPECT_TRUE(refused());

  // The same server keeps a listing of the backup bucket from going round.
  Script(fixture_.bucket(),
         "{\"method\":\"PUT\",\"status\":200}," +
             Page("marker=%24folder%24b", StubListing({{"$folder$a", 0}}, true),
                  "\"times\":10,") +
             "," +
             Page("", StubListing({{"$folder$a", 0}, {"$folder$b", 0}}, true),
                  "\"times\":10,"));
  EXPECT_STREQ(GetDirList(), L"\\a;\\b;");
  EXPECT_EQ(Listings(fixture_.bucket()).size(), 2u);
}

TEST_F(RemoteStoreStubTest, DirListFollowsEveryPageInOrder) {
  Script(fixture_.bucket(),
         "{\"method\":\"PUT\",\"status\":200}," +
             Page("marker=%24file%24%2Fa", StubListing({{"$folder$z/y", 0}}, false)) + "," +
             Page("", StubListing({{"$folder$docs", 0}, {"$file$/a", 1}}, true)));
  EXPECT_STREQ(GetDirList(), L"\\docs;$file$\\a;\\z\\y;");
}

TEST_F(RemoteStoreStubTest, DirListKeepsWhatCameBeforeAFailedPage) {
  Script(fixture_.bucket(),
         "{\"method\":\"PUT\",\"status\":200},"
         "{\"method\":\"GET\",\"path\":\"marker=\",\"status\":500}," +
             Page("", StubListing({{"$folder$docs", 0}}, true)));
  EXPECT_STREQ(GetDirList(), L"\\docs;");
}

TEST_F(RemoteStoreStubTest, DeleteSendsNothingWithoutAReadableIndex) {
  // Not listed at all.
  Script(fixture_.bucket(), Page("?prefix=", StubListing({}, false)));
  EXPECT_EQ(DeleteS3File(L"\\a.txt_S"), 0);
  // Listed, but its object cannot be read: its chunks could not be found
  // again if the index object went now.
  StubServer::Reset(fixture_.bucket());
  Script(fixture_.bucket(),
         Page("?prefix=", StubListing({{"$file$/a.txt_S_Info", 1}}, false)) +
             ",{\"method\":\"GET\",\"status\":500}");
  EXPECT_EQ(DeleteS3File(L"\\a.txt_S"), 0);
  for (const std::string& bucket : {fixture_.bucket(), fixture_.data_bucket()}) {
    for (const StubRequest& r : StubServer::Requests(bucket)) {
      EXPECT_NE(r.method, "DELETE") << r.path;
    }
  }
}

}  // namespace
