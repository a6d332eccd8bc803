// The S3 file system against answers a real server will not give on
// demand: listings that keep changing, fail, page or name paths outside the
// tree, and uploads whose chunks or index object cannot be stored.

#include "fs/s3_file_system.h"

#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/wide_string.h"
#include "layout/index_record.h"
#include "support/fs_test_util.h"
#include "support/s3_fs_util.h"
#include "support/store_fixture.h"
#include "support/test_servers.h"
#include "support/url_encode.h"
#include "support/test_layout.h"

// These cases script the stamped index keys of the standard build.

namespace testsupport::fstest {
namespace {

using Keys = std::vector<std::u16string>;

constexpr char16_t kTime1[] = u"2010-06-01T12:00:00.000Z";
constexpr char16_t kTime2[] = u"2011-02-03T04:05:06.000Z";

// The listing requests of the tree: the prefixes are sent as "$folder$" and
// "$file$" followed by the encoded remainder.
constexpr char kFolderListing[] = "prefix=$folder$";
constexpr char kFileListing[] = "prefix=$file$";
// Every index object's key ends with "_Info", sent encoded.
constexpr char kIndexPut[] = "%5FInfo";

std::string Encoded(const std::string& key) {
  return U16ToUtf8(EncodeKeyForUrl(Utf8ToU16(key)));
}

std::string Base64(const std::string& bytes) {
  std::string out;
  CryptoPP::StringSource source(
      bytes, true,
      new CryptoPP::Base64Encoder(new CryptoPP::StringSink(out), false));
  return out;
}

struct Answer {
  int status = 200;
  std::string body;
  bool binary = false;
  int times = 0;  // 0: any number of requests
  // 0 or more: instead of the body, a listing of the request's prefix as
  // one object of this size (for chunk keys, whose tokens are not known).
  int64_t list_prefix = -1;
};

std::string Rule(const std::string& method, const std::string& path,
                 const Answer& answer) {
  std::string rule = "{\"method\":" + JsonString(method);
  if (!path.empty()) rule += ",\"path\":" + JsonString(path);
  rule += ",\"status\":" + std::to_string(answer.status);
  if (answer.list_prefix >= 0) {
    rule += ",\"list_prefix\":" + std::to_string(answer.list_prefix);
  } else {
    rule += answer.binary ? ",\"body_base64\":" + JsonString(Base64(answer.body))
                          : ",\"body\":" + JsonString(answer.body);
  }
  if (answer.times > 0) rule += ",\"times\":" + std::to_string(answer.times);
  return rule + "}";
}

Answer Listing(const std::vector<std::string>& keys, bool truncated = false,
               int times = 0) {
  std::vector<std::pair<std::string, uint64_t>> sized;
  for (const std::string& key : keys) sized.emplace_back(key, 0);
  return Answer{200, StubListing(sized, truncated), false, times};
}

Answer Status(int status, int times = 0) {
  return Answer{status, "", false, times};
}

class S3FileSystemStubTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StoreSettings settings;
    settings.bucket = StoreFixture::UniqueBucket("stubfs-settings");
    settings.data_bucket = StoreFixture::UniqueBucket("stubfs-settings-data");
    settings.buffer_size = 1000;
    settings.use_stub = true;
    settings.request_pause = kPause;
    fixture_.WriteSettings(settings);
    bucket_ = StoreFixture::UniqueBucket("stubfs");
    fs_.reset(new CS3FileSystem());
    fs_->SetRoot(Utf8ToU16(bucket_));
  }
  void TearDown() override {
    fs_.reset();
    StubServer::Reset(bucket_);
  }

  void Script(const std::vector<std::string>& rules) {
    std::string json = "[";
    for (size_t i = 0; i < rules.size(); ++i) json += (i ? "," : "") + rules[i];
    std::string error;
    ASSERT_TRUE(StubServer::SetScript(bucket_, json + "]", &error)) << error;
  }

  // Requests of `method` whose path holds `part`.
  int Count(const std::string& method, const std::string& part) const {
    int n = 0;
    for (const StubRequest& r : StubServer::Requests(bucket_)) {
      if (r.method == method && r.path.find(part) != std::string::npos) ++n;
    }
    return n;
  }

  std::vector<std::string> Paths(const std::string& method) const {
    std::vector<std::string> paths;
    for (const StubRequest& r : StubServer::Requests(bucket_)) {
      if (r.method == method) paths.push_back(r.path);
    }
    return paths;
  }

  // Waits between listing attempts since `sleeps_before` sleeps: the
  // sleeps beyond the pause every request of the bucket's log makes.
  int Waits(size_t sleeps_before = 0) {
    const std::vector<uint32_t>& sleeps = fixture_.env().sleeps();
    EXPECT_EQ(CountSleeps(sleeps, kPause), static_cast<int>(sleeps.size()));
    return static_cast<int>(sleeps.size() - sleeps_before -
                            StubServer::Requests(bucket_).size());
  }

  // "RequestPause": after every request, and between listing attempts.
  static constexpr int32_t kPause = 7;

  StoreFixture fixture_;
  std::string bucket_;
  ScopedFileSystem<CS3FileSystem> fs_;
};

TEST_F(S3FileSystemStubTest, TwoAgreeingListingsLoadTheTree) {
  SKIP_IN_SNAPSHOT_LAYOUT("the stub lists stamped versions and counts the pauses between listings");
  Script({Rule("GET", kFolderListing, Listing({"$folder$d"})),
          Rule("GET", kFileListing,
               Listing({IndexObjectKey("/d/f", kTime1)}))});
  ASSERT_EQ(fs_->LoadTree(), 0);
  EXPECT_EQ(MapKeys(fs_->dirMap), Keys{u"\\d"});
  EXPECT_EQ(fs_->dirMap.ValueAt(0), u"2010-01-01T00:00:00.000Z");
  EXPECT_EQ(MapKeys(fs_->fileMap), Keys{u"\\d\\f"});
  EXPECT_EQ(Count("GET", kFolderListing), 2);
  EXPECT_EQ(Count("GET", kFileListing), 2);
  EXPECT_EQ(Waits(), 1);
}

TEST_F(S3FileSystemStubTest, ListingThatKeepsChangingFailsAfterFiveAttempts) {
  SKIP_IN_SNAPSHOT_LAYOUT("the stub lists stamped versions and counts the pauses between listings");
  std::vector<std::string> rules = {Rule("GET", kFolderListing, Listing({}))};
  std::vector<std::string> keys;
  for (int attempt = 0; attempt < 5; ++attempt) {
    keys.push_back(IndexObjectKey("/f" + std::to_string(attempt), kTime1));
    rules.push_back(Rule("GET", kFileListing, Listing(keys, false, 1)));
  }
  Script(rules);
  EXPECT_EQ(fs_->LoadTree(), 1);
  EXPECT_EQ(Count("GET", kFileListing), 5);
  EXPECT_EQ(Waits(), 5);
  EXPECT_EQ(fs_->fileMap.Count(), 5);  // each attempt added to the last
}

// A listing that fails must never pass for an empty bucket: the engine
// would delete every local file the catalog knows.
TEST_F(S3FileSystemStubTest, FailedListingsNeverAgree) {
  SKIP_IN_SNAPSHOT_LAYOUT("the stub lists stamped versions and counts the pauses between listings");
  const Answer portal{200, "<html><body>Sign in to continue</body></html>"};
  const Answer cut{200, "<ListBucketResult><Contents><Key>$file$/f</Key>"
                        "</Contents></ListBucketResult>"};
  for (const Answer& failure : {Status(500), portal, cut}) {
    SCOPED_TRACE(failure.body);
    Script({Rule("GET", kFolderListing, Listing({"$folder$d"})),
            Rule("GET", kFileListing, failure)});
    EXPECT_EQ(fs_->LoadTree(), 1);
    EXPECT_EQ(fs_->fileMap.Count(), 0);
    StubServer::Reset(bucket_);
  }

  // One failed attempt is passed over: the two complete ones after it end
  // the load.
  Script({Rule("GET", kFolderListing, Listing({"$folder$d"})),
          Rule("GET", kFileListing, Status(503, 5)),  // all sends of one listing
          Rule("GET", kFileListing, Listing({IndexObjectKey("/d/f", kTime1)}))});
  const size_t sleeps_before = fixture_.env().sleeps().size();
  EXPECT_EQ(fs_->LoadTree(), 0);
  EXPECT_EQ(MapKeys(fs_->fileMap), Keys{u"\\d\\f"});
  EXPECT_EQ(Waits(sleeps_before), 2);
}

// A folder whose marker the server refused is reported as not made, so the
// run leaves it out of the catalog; the next attempt stores the marker.
TEST_F(S3FileSystemStubTest, FolderWhoseMarkerIsRefusedIsNotMade) {
  const std::string marker_put = "/" + Encoded("$folder$d");
  const std::vector<std::string> tree = {Rule("GET", kFolderListing, Listing({})),
                                         Rule("GET", kFileListing, Listing({}))};
  std::vector<std::string> rules = tree;
  rules.push_back(Rule("PUT", marker_put, Status(500)));
  Script(rules);
  ASSERT_EQ(fs_->LoadTree(), 0);
  EXPECT_EQ(fs_->CreateDir(u"\\d"), 2);
  EXPECT_EQ(Count("PUT", marker_put), 5);

  StubServer::Reset(bucket_);
  rules = tree;
  rules.push_back(Rule("PUT", marker_put, Status(200)));
  Script(rules);
  EXPECT_EQ(fs_->CreateDir(u"\\d"), 0);
  EXPECT_EQ(Count("PUT", marker_put), 1);
}

TEST_F(S3FileSystemStubTest, TruncatedPagesAreFollowedByTheirMarker) {
  const std::string a = IndexObjectKey("/a", kTime1);
  const std::string b = IndexObjectKey("/b&c", kTime1);
  const std::string c = IndexObjectKey("/c", kTime1);
  // Page one ends with a key listed in its escaped form; the marker is the
  // key itself.
  Script({Rule("GET", "marker=" + Encoded(b), Listing({c})),
          Rule("GET", kFileListing,
               Listing({a, IndexObjectKey("/b&amp;c", kTime1)}, true)),
          Rule("GET", kFolderListing, Listing({}))});
  ASSERT_EQ(fs_->LoadTree(), 0);
  EXPECT_EQ(MapKeys(fs_->fileMap), (Keys{u"\\a", u"\\b&c", u"\\c"}));
  EXPECT_EQ(Count("GET", "marker=" + Encoded(b) + "&prefix=$file$"), 2);

  // A truncated page that does not move on fails the load at once: the
  // same server would do the same again.
  StubServer::Reset(bucket_);
  Script({Rule("GET", kFileListing, Listing({a}, true)),
          Rule("GET", kFolderListing, Listing({}))});
  EXPECT_EQ(fs_->LoadTree(), 1);
  EXPECT_EQ(Count("GET", kFileListing), 2);
}

TEST_F(S3FileSystemStubTest, KeysThatNameNoSafePathAreSkipped) {
  Script({Rule("GET", kFolderListing,
               Listing({"$folder$", "$folder$..", "$folder$a/../../b",
                        "$folder$ok"})),
          Rule("GET", kFileListing,
               Listing({IndexObjectKey("/../x", kTime1),
                        IndexObjectKey("/a/./b", kTime1),
                        IndexObjectKey("/a/../../c", kTime1),
                        IndexObjectKey("//d", kTime1),
                        IndexObjectKey("/e\\f", kTime1), "$file$/_Info",
                        "$file$/g_Tue, 08 Dec 2026 01:02:03 GMT_Info",
                        IndexObjectKey("/ok", kTime1)}))});
  ASSERT_EQ(fs_->LoadTree(), 0);
  EXPECT_EQ(MapKeys(fs_->dirMap), Keys{u"\\ok"});
  EXPECT_EQ(MapKeys(fs_->fileMap), Keys{u"\\ok"});
}

// The previous version of \f as the stub serves it: listed with kTime1, its
// index object naming three chunks of 1000 bytes.
class StubPreviousVersionTest : public S3FileSystemStubTest {
 protected:
  std::vector<std::string> PreviousVersionRules() {
    const std::string index_key = IndexObjectKey("/f", kTime1);
    std::string index;
    for (int i = 0; i < 3; ++i) {
      const std::u16string chunk = u"$data$/f_0000" + std::u16string(1, u'0' + i);
      std::string record(static_cast<size_t>(IndexRecordSize(chunk.size())), '\0');
      EncodeIndexRecord(1000 * i, 1000 * i + 999, chunk,
                        reinterpret_cast<uint8_t*>(record.data()));
      index += record;
    }
    return {Rule("GET", "prefix=" + Encoded(index_key), Listing({index_key})),
            Rule("GET", "/" + Encoded(index_key), Answer{200, index, true}),
            // The upload's own look-up of the plain path finds nothing.
            Rule("GET", "prefix=" + Encoded("$file$/f_Info"), Listing({})),
            // The path's index objects, listed once the new one is stored.
            Rule("GET", "prefix=" + Encoded("$file$/f_"),
                 Listing({index_key, IndexObjectKey("/f", kTime2)})),
            Rule("GET", kFileListing, Listing({index_key})),
            Rule("GET", kFolderListing, Listing({}))};
  }

  // The end of the encoded key of chunk `number` of a new version.
  static std::string ChunkNumber(int number) {
    return Encoded("_0000" + std::to_string(number));
  }

  // Answers that store chunks of \f of the given sizes, from number 0 on:
  // each PUT, and each verification listing in turn.
  static std::vector<std::string> ChunkRules(const std::vector<uint64_t>& sizes) {
    std::vector<std::string> rules;
    for (size_t i = 0; i < sizes.size(); ++i) {
      rules.push_back(Rule("PUT", ChunkNumber(static_cast<int>(i)), Status(200)));
      Answer listed{200, "", false, 1, static_cast<int64_t>(sizes[i])};
      rules.push_back(Rule("GET", "prefix=" + Encoded("$chunk$/f_"), listed));
    }
    return rules;
  }

  void LoadWith(std::vector<std::string> rules) {
    const std::vector<std::string> previous = PreviousVersionRules();
    rules.insert(rules.end(), previous.begin(), previous.end());
    rules.push_back(Rule("DELETE", "", Status(204)));
    Script(rules);
    ASSERT_EQ(fs_->LoadTree(), 0);
    ASSERT_EQ(fs_->GetModifiedTime(u"\\f"), kTime1);
  }

  // The answer to the fetch of the previous version's first chunk.
  static std::string FirstChunkRule() {
    return Rule("GET", "/" + Encoded("$data$/f_00000"),
                Answer{200, PatternText(1000), true});
  }

  int32_t Update(size_t size) {
    MemoryFileSystem source;
    source.AddFile(u"\\f", PatternText(size), kTime2);
    const int32_t result =
        fs_->UpdateFileFrom(fs_->GetRoot(), u"\\f", kTime2, &source, 0);
    EXPECT_FALSE(source.stream_open());
    return result;
  }
};

TEST_F(StubPreviousVersionTest, UpdateRemovesThePreviousVersionOnlyOnceStored) {
  SKIP_IN_SNAPSHOT_LAYOUT("the stub serves versions named by stamps");
  std::vector<std::string> rules = ChunkRules({1000, 200});
  rules.push_back(Rule("PUT", kIndexPut, Status(200)));
  LoadWith(rules);
  EXPECT_EQ(Update(1200), 0);
  // Stored first, then the old index object and after it its chunks.
  EXPECT_EQ(Count("PUT", kIndexPut), 1);
  EXPECT_EQ(Paths("DELETE"),
            (std::vector<std::string>{"/" + Encoded(IndexObjectKey("/f", kTime1)),
                                      "/" + Encoded("$data$/f_00000"),
                                      "/" + Encoded("$data$/f_00001"),
                                      "/" + Encoded("$data$/f_00002")}));
}

TEST_F(StubPreviousVersionTest, FailedChunkUploadKeepsThePreviousVersion) {
  SKIP_IN_SNAPSHOT_LAYOUT("the stub serves versions named by stamps");
  std::vector<std::string> rules = ChunkRules({1000});
  rules.insert(rules.begin(), Rule("PUT", ChunkNumber(1), Status(500)));
  rules.push_back(Rule("PUT", kIndexPut, Status(200)));
  LoadWith(rules);
  EXPECT_EQ(Update(2500), 1);
  EXPECT_EQ(Count("PUT", ChunkNumber(1)), 25);  // 5 attempts of 5 sends
  EXPECT_EQ(Count("PUT", ChunkNumber(2)), 0);   // stopped there
  EXPECT_EQ(Count("PUT", kIndexPut), 0);
  EXPECT_EQ(Count("DELETE", ""), 0);
}

TEST_F(StubPreviousVersionTest, FailedIndexStoreKeepsThePreviousVersion) {
  SKIP_IN_SNAPSHOT_LAYOUT("the stub serves versions named by stamps");
  std::vector<std::string> rules = ChunkRules({1000, 1000, 500});
  rules.push_back(Rule("PUT", kIndexPut, Status(500)));
  LoadWith(rules);
  EXPECT_EQ(Update(2500), 1);
  EXPECT_EQ(Count("PUT", Encoded(IndexObjectKey("/f", kTime2))), 5);
  EXPECT_EQ(Count("DELETE", ""), 0);

  // A plain copy onto the path fails the same way and stores nothing.
  MemoryFileSystem source;
  source.AddFile(u"\\f", PatternText(1000), kTime2);
  EXPECT_EQ(fs_->CopyFileFrom(fs_->GetRoot(), u"\\f", &source, source.GetRoot(),
                              u"\\f"),
            1);
  EXPECT_EQ(Count("DELETE", ""), 0);
}

// A version written through the stream reports a store that failed, and
// the opened version stays.
TEST_F(StubPreviousVersionTest, WrittenStreamReportsFailedStores) {
  SKIP_IN_SNAPSHOT_LAYOUT("the stub serves versions named by stamps");
  const std::string data = PatternText(1500, 'w');
  auto write = [&](int32_t size) {
    return fs_->WriteStream(reinterpret_cast<const uint8_t*>(data.data()), size);
  };
  std::vector<std::string> rules = ChunkRules({1000, 500});
  rules.push_back(Rule("PUT", kIndexPut, Status(500)));
  rules.push_back(FirstChunkRule());
  LoadWith(rules);
  ASSERT_EQ(fs_->OpenStream(u"\\f"), 0);
  EXPECT_EQ(write(1500), 0);
  EXPECT_EQ(fs_->CloseStream(), 2);  // the index object was not stored

  StubServer::Reset(bucket_);
  rules = ChunkRules({1000});
  rules.insert(rules.begin(), Rule("PUT", ChunkNumber(1), Status(500)));
  rules.push_back(FirstChunkRule());
  LoadWith(rules);
  ASSERT_EQ(fs_->OpenStream(u"\\f"), 0);
  EXPECT_EQ(write(1200), 0);
  EXPECT_EQ(write(900), 2);  // the second chunk was not stored
  EXPECT_EQ(fs_->CloseStream(), 2);
  EXPECT_EQ(Count("DELETE", ""), 0);
}

}  // namespace
}  // namespace testsupport::fstest

