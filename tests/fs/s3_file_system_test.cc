// The S3 file system against the S3 test server: where its requests go,
// what a listing reads, copies between all three kinds of tree, and how
// versions are replaced, kept after a failure and written through the
// stream.  Settings buckets exist but must stay empty: the root's bucket is
// the only one the file system addresses.

#include "fs/s3_file_system.h"

#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "layout/s3_file.h"
#include "common/wide_string.h"
#include "fs/local_file_system.h"
#include "fs/virtual_file_system.h"
#include "support/fs_test_util.h"
#include "support/s3_fs_util.h"
#include "support/store_fixture.h"
#include "support/test_servers.h"
#include "support/test_layout.h"

namespace testsupport::fstest {
namespace {

using Keys = std::vector<std::u16string>;
using Names = std::vector<std::string>;

constexpr char16_t kTime1[] = u"2010-06-01T12:00:00.000Z";
constexpr std::int64_t kTime1Unix = 1275393600;
constexpr char16_t kTime2[] = u"2011-02-03T04:05:06.000Z";

class S3FileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_.bucket = StoreFixture::UniqueBucket("s3fs-settings");
    settings_.data_bucket = StoreFixture::UniqueBucket("s3fs-settings-data");
    settings_.buffer_size = 1000;
    settings_.protocol = protocol();
    ASSERT_TRUE(RawS3::CreateBucket(settings_.bucket));
    ASSERT_TRUE(RawS3::CreateBucket(settings_.data_bucket));
    fixture_.WriteSettings(settings_);
    bucket_ = NewBucket("s3fs-root");
    fs_ = OpenTree(bucket_);
  }

  virtual Protocol protocol() const { return Protocol::kDefaults; }

  void TearDown() override {
    fs_.reset();
    // Nothing ever lands in the buckets the settings name.
    EXPECT_EQ(RawS3::ListKeys(settings_.bucket), Names{});
    EXPECT_EQ(RawS3::ListKeys(settings_.data_bucket), Names{});
  }

  static std::string NewBucket(const std::string& hint) {
    const std::string bucket = StoreFixture::UniqueBucket(hint);
    EXPECT_TRUE(RawS3::CreateBucket(bucket)) << bucket;
    return bucket;
  }

  static ScopedFileSystem<CS3FileSystem> OpenTree(const std::string& bucket) {
    ScopedFileSystem<CS3FileSystem> fs(new CS3FileSystem());
    fs->SetRoot(Utf8ToU16(bucket));
    return fs;
  }

  void UseChunkSize(int32_t size) {
    settings_.buffer_size = size;
    fixture_.WriteSettings(settings_);
  }

  // The bucket's keys, chunk tokens left out ("$chunk$/f_<t>_00000").
  Names Stored() const { return WithoutTokens(RawS3::ListKeys(bucket_)); }

  StoreFixture fixture_;
  StoreSettings settings_;
  std::string bucket_;
  ScopedFileSystem<CS3FileSystem> fs_;
};

// The cases that run under both signature versions and addressing styles.
using S3FileSystemProtocolTest = ProtocolSuite<S3FileSystemTest>;

INSTANTIATE_TEST_SUITE_P(Protocols, S3FileSystemProtocolTest, ::testing::ValuesIn(kAllProtocols),
                         ProtocolName);

TEST_P(S3FileSystemProtocolTest, EveryRequestGoesToTheRootsBucket) {
  ASSERT_EQ(fs_->CreateDir(u"\\a\\b"), 0);  // the parent's marker comes first
  const std::string content = PatternText(2500);
  ASSERT_EQ(PutFile(fs_.get(), u"\\a\\b\\f.txt", content, kTime1), 0);
  EXPECT_EQ(Stored(),
            (Names{"$chunk$/a/b/f.txt_<t>_00000", "$chunk$/a/b/f.txt_<t>_00001",
                   "$chunk$/a/b/f.txt_<t>_00002",
                   IndexObjectKey("/a/b/f.txt", kTime1), "$folder$a",
                   "$folder$a/b"}));

  ASSERT_EQ(fs_->LoadTree(), 0);
  EXPECT_EQ(MapKeys(fs_->dirMap), (Keys{u"\\a", u"\\a\\b"}));
  EXPECT_EQ(MapKeys(fs_->fileMap), Keys{u"\\a\\b\\f.txt"});
  EXPECT_EQ(ReadBack(fs_.get(), u"\\a\\b\\f.txt"), content);

  EXPECT_EQ(fs_->RemoveFile(fs_->GetRoot(), u"\\a\\b\\f.txt"), 0);
  EXPECT_EQ(fs_->RemoveDir(fs_->GetRoot(), u"\\a\\b"), 0);
  EXPECT_EQ(fs_->RemoveDir(u"\\a"), 0);
  EXPECT_EQ(Stored(), Names{});
}

TEST_P(S3FileSystemProtocolTest, ListingReadsMarkersAndTheNewestVersions) {
  for (const std::string& key :
       {std::string("$folder$docs"), std::string("$folder$docs/sub"),
        std::string("$folder$docs2"), std::string("$folder$other"),
        IndexObjectKey("/docs/sub/a.txt", kTime1),
        IndexObjectKey("/docs/sub/a.txt", kTime2),
        std::string("$file$/docs/readme"),  // not an index object
        IndexObjectKey("/docs2/b&c.txt", kTime1),
        IndexObjectKey("/other/d.txt", kTime1),
        std::string("$data$/docs/sub/a.txt_00000")}) {
    ASSERT_TRUE(RawS3::PutObject(bucket_, key, "")) << key;
  }

  // A subtree load matches by leading characters: \docs picks up \docs2.
  ASSERT_EQ(fs_->LoadTree(u"\\docs"), 0);
  EXPECT_EQ(MapKeys(fs_->dirMap), (Keys{u"\\docs", u"\\docs2", u"\\docs\\sub"}));
  EXPECT_EQ(MapKeys(fs_->fileMap),
            (Keys{u"\\docs2\\b&c.txt", u"\\docs\\sub\\a.txt"}));
  EXPECT_EQ(fs_->dirMap.ValueAt(0).size(), 24u);
  if (::testsupport::IsSnapshotRun()) {
    // The listing's own time of the one index object.
    EXPECT_EQ(fs_->fileMap.Lookup(u"\\docs\\sub\\a.txt").size(), 24u);
  } else {
    EXPECT_EQ(fs_->GetModifiedTime(u"\\docs\\sub\\a.txt"), kTime2);
  }
  // With "RequestPause" 0 nothing waits, between the listings either.
  EXPECT_EQ(CountSleeps(fixture_.env().sleeps(), 0),
            static_cast<int>(fixture_.env().sleeps().size()));

  ASSERT_EQ(fs_->LoadFiles(), 0);
  EXPECT_EQ(fs_->fileMap.Count(), 3);
  EXPECT_EQ(fs_->dirMap.Count(), 3);  // LoadFiles leaves dirMap
  ASSERT_EQ(fs_->LoadDirs(), 0);
  EXPECT_EQ(fs_->dirMap.Count(), 4);
}

TEST_F(S3FileSystemTest, CopiesBetweenAllThreeKinds) {
  const std::string content = PatternText(2500);
  FsScratchDir local_dir;
  WriteFile(local_dir.At("a.txt"), content);
  SetMTime(local_dir.At("a.txt"), kTime1Unix);
  ScopedFileSystem<CLocalFileSystem> local(new CLocalFileSystem());
  local->SetRoot(local_dir.LibPath());
  ASSERT_EQ(local->LoadTree(), 0);

  // Local to S3: the version is named with the local file's time.
  ASSERT_EQ(fs_->CopyFileFrom(fs_->GetRoot(), u"\\a.txt", local.get(),
                              local->GetRoot(), u"\\a.txt"),
            0);
  ASSERT_EQ(fs_->LoadTree(), 0);
  ExpectCarriedTime(fs_->fileMap, u"\\a.txt", kTime1);

  // S3 to local: the copy gets the stamp as its time (no time in the
  // snapshot-assisted build).
  FsScratchDir back_dir;
  ScopedFileSystem<CLocalFileSystem> back(new CLocalFileSystem());
  back->SetRoot(back_dir.LibPath());
  ASSERT_EQ(back->CopyFileFrom(back->GetRoot(), u"\\a.txt", fs_.get(),
                               fs_->GetRoot(), u"\\a.txt"),
            0);
  EXPECT_EQ(ReadFile(back_dir.At("a.txt")), content);
  if (!::testsupport::IsSnapshotRun()) {
    EXPECT_EQ(MTime(back_dir.At("a.txt")).tv_sec, kTime1Unix);
  }

  // S3 to the catalog and back: the catalog records the time, no data.
  FsScratchDir catalog_dir;
  ScopedFileSystem<CVirtualFileSystem> catalog(new CVirtualFileSystem());
  catalog->SetRoot(catalog_dir.LibPath());
  ASSERT_EQ(catalog->CopyFileFrom(catalog->GetRoot(), u"\\a.txt", fs_.get(),
                                  fs_->GetRoot(), u"\\a.txt"),
            0);
  ASSERT_EQ(catalog->LoadTree(), 0);
  ExpectCarriedTime(catalog->fileMap, u"\\a.txt", kTime1);
  ASSERT_EQ(fs_->CopyFileFrom(fs_->GetRoot(), u"\\placeholder", catalog.get(),
                              catalog->GetRoot(), u"\\a.txt"),
            0);

  // S3 to another bucket.
  const std::string other_bucket = NewBucket("s3fs-other");
  ScopedFileSystem<CS3FileSystem> other = OpenTree(other_bucket);
  ASSERT_EQ(other->CopyFileFrom(other->GetRoot(), u"\\copy.txt", fs_.get(),
                                fs_->GetRoot(), u"\\a.txt"),
            0);

  ASSERT_EQ(fs_->LoadTree(), 0);
  ExpectCarriedTime(fs_->fileMap, u"\\placeholder", kTime1);
  EXPECT_EQ(ReadBack(fs_.get(), u"\\placeholder"), "");
  ASSERT_EQ(other->LoadTree(), 0);
  ExpectCarriedTime(other->fileMap, u"\\copy.txt", kTime1);
  EXPECT_EQ(ReadBack(other.get(), u"\\copy.txt"), content);
}

TEST_F(S3FileSystemTest, UpdateReplacesTheListedVersion) {
  ASSERT_EQ(PutFile(fs_.get(), u"\\f", PatternText(2500), kTime1), 0);
  ASSERT_EQ(fs_->LoadTree(), 0);

  // Two chunks of its own replace three: the old ones and the old index
  // object go.
  MemoryFileSystem source;
  source.AddFile(u"\\f", PatternText(1200, 'u'), kTime2);
  ASSERT_EQ(fs_->UpdateFileFrom(u"\\f", kTime2, &source, 0), 0);
  EXPECT_EQ(Stored(), (Names{"$chunk$/f_<t>_00000", "$chunk$/f_<t>_00001",
                             IndexObjectKey("/f", kTime2)}));

  // The same stamp again: the index object is replaced in place.
  ASSERT_EQ(fs_->LoadTree(), 0);
  source.AddFile(u"\\f", PatternText(500, 's'), kTime2);
  ASSERT_EQ(fs_->UpdateFileFrom(fs_->GetRoot(), u"\\f", kTime1, &source, 0),
            0);
  EXPECT_EQ(Stored(), (Names{"$chunk$/f_<t>_00000", IndexObjectKey("/f", kTime2)}));
  ASSERT_EQ(fs_->LoadTree(), 0);
  EXPECT_EQ(ReadBack(fs_.get(), u"\\f"), PatternText(500, 's'));
}

// A version the host stored itself (its stamp an HTTP date, so it is not
// part of the tree) beside this file system's: it stays, and so does every
// chunk it names.
TEST_F(S3FileSystemTest, RemovalsKeepTheChunksOfTheHostsVersions) {
  SKIP_IN_SNAPSHOT_LAYOUT("versions of the host beside the tree's own are stamped versions");
  {
    CS3File host;
    host.SetBucket(Utf8ToU16(bucket_));
    host.SetDataBucket(Utf8ToU16(bucket_));
    ASSERT_EQ(host.Open(L"\\f"), 0);
    const std::string content = PatternText(2500, 'h');
    ASSERT_EQ(host.Write(content.data(), 2500, 1), 0);
  }
  const Names hosts = Stored();
  ASSERT_EQ(hosts.size(), 4u);
  ASSERT_EQ(PutFile(fs_.get(), u"\\f", PatternText(1500), kTime1), 0);
  ASSERT_EQ(fs_->LoadTree(), 0);
  MemoryFileSystem source;
  source.AddFile(u"\\f", "x", kTime2);
  ASSERT_EQ(fs_->UpdateFileFrom(u"\\f", kTime2, &source, 0), 0);
  ASSERT_EQ(fs_->LoadTree(), 0);
  ASSERT_EQ(fs_->RemoveFile(u"\\f"), 0);
  EXPECT_EQ(Stored(), hosts);
}

TEST_F(S3FileSystemTest, FailedTransfersKeepTheListedVersionReadable) {
  UseChunkSize(4096);  // the failure comes before a chunk is full
  ASSERT_EQ(PutFile(fs_.get(), u"\\kept", "previous version", kTime1), 0);
  ASSERT_EQ(fs_->LoadTree(), 0);
  const Names before = Stored();

  MemoryFileSystem source;
  source.AddFile(u"\\kept", PatternText(8000, 'n'), kTime2);
  source.fail_read_at = 2048;
  EXPECT_EQ(fs_->UpdateFileFrom(fs_->GetRoot(), u"\\kept", kTime2, &source, 0),
            1);
  EXPECT_EQ(fs_->ReplaceFileFrom(fs_->GetRoot(), u"\\kept", kTime2, &source,
                                 source.GetRoot(), u"\\kept"),
            1);
  // A copy onto a listed path whose source fails removes nothing either.
  EXPECT_EQ(fs_->CopyFileFrom(fs_->GetRoot(), u"\\kept", &source,
                              source.GetRoot(), u"\\kept"),
            1);
  EXPECT_FALSE(source.stream_open());
  EXPECT_EQ(Stored(), before);

  ASSERT_EQ(fs_->LoadTree(), 0);
  ExpectCarriedTime(fs_->fileMap, u"\\kept", kTime1);
  EXPECT_EQ(ReadBack(fs_.get(), u"\\kept"), "previous version");
}

TEST_F(S3FileSystemTest, WrittenStreamIsFinishedAsANewVersion) {
  fixture_.env().SetNowUnixSeconds(static_cast<std::int64_t>(std::time(nullptr)));
  ASSERT_EQ(PutFile(fs_.get(), u"\\f", PatternText(2500), kTime1), 0);
  ScopedFileSystem<CS3FileSystem> writer = OpenTree(bucket_);
  ASSERT_EQ(writer->LoadTree(), 0);
  ASSERT_EQ(writer->OpenStream(u"\\f"), 0);
  const std::string content = PatternText(1500, 'w');
  EXPECT_EQ(writer->WriteStream(
                reinterpret_cast<const uint8_t*>(content.data()), 700),
            0);
  EXPECT_EQ(writer->WriteStream(
                reinterpret_cast<const uint8_t*>(content.data()) + 700, 800),
            0);
  EXPECT_EQ(writer->ReadStream(nullptr, 0), -1);  // a written stream is not read
  // Released without CloseStream: the version is still stored.
  EXPECT_EQ(writer.release()->Release(), 0);

  ASSERT_EQ(fs_->LoadTree(), 0);
  const std::u16string stamp = fs_->fileMap.Lookup(u"\\f");
  EXPECT_NE(stamp, kTime1);
  EXPECT_EQ(Stored(), (Names{"$chunk$/f_<t>_00000", "$chunk$/f_<t>_00001",
                             IndexObjectKey("/f", stamp)}));
  EXPECT_EQ(ReadBack(fs_.get(), u"\\f"), content);

  // CloseStream finishes it the same way.
  ASSERT_EQ(fs_->OpenStream(u"\\f"), 0);
  EXPECT_EQ(fs_->WriteStream(reinterpret_cast<const uint8_t*>("tail"), 4), 0);
  EXPECT_EQ(fs_->CloseStream(), 0);
  ASSERT_EQ(fs_->LoadTree(), 0);
  EXPECT_EQ(ReadBack(fs_.get(), u"\\f"), "tail");
  EXPECT_EQ(Stored().size(), 2u);

  // A copy whose source has no time for the file is named with the time of
  // writing too, so that the listing reads it back.
  MemoryFileSystem untimed;
  untimed.AddFile(u"\\g", "no time", u"");
  const std::u16string now = CQUEXFSManager::FormatTimeText(
      platform::FileTimeFromUnixSeconds(fixture_.env().NowUnixSeconds()));
  ASSERT_EQ(fs_->CopyFileFrom(fs_->GetRoot(), u"\\g", &untimed,
                              untimed.GetRoot(), u"\\g"),
            0);
  ASSERT_EQ(fs_->LoadTree(), 0);
  if (!::testsupport::IsSnapshotRun()) {
    EXPECT_EQ(fs_->fileMap.Lookup(u"\\g"), now);
  }
  EXPECT_EQ(ReadBack(fs_.get(), u"\\g"), "no time");
}

TEST_F(S3FileSystemTest, StreamsAndRemovalsAddressOnlyListedVersions) {
  ASSERT_EQ(PutFile(fs_.get(), u"\\a", "alpha", kTime1), 0);
  ASSERT_EQ(PutFile(fs_.get(), u"\\b", "beta", kTime1), 0);
  const Names stored = Stored();
  // Not loaded yet: no stamp, so no version to open or remove.
  EXPECT_EQ(fs_->OpenStream(u"\\a"), 3);
  EXPECT_EQ(fs_->RemoveFile(u"\\a"), 0);
  EXPECT_EQ(Stored(), stored);

  // A second open is refused and leaves the first stream readable.
  ASSERT_EQ(fs_->LoadTree(), 0);
  ASSERT_EQ(fs_->OpenStream(u"\\a"), 0);
  EXPECT_EQ(fs_->OpenStream(u"\\b"), 1);
  uint8_t buffer[16];
  ASSERT_EQ(fs_->ReadStream(buffer, sizeof buffer), 5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 5), "alpha");
  EXPECT_EQ(fs_->CloseStream(), 0);

  // A version listed but gone since is not read as an empty file.
  ASSERT_TRUE(RawS3::DeleteObject(bucket_, IndexObjectKey("/a", kTime1)));
  EXPECT_EQ(fs_->OpenStream(u"\\a"), 3);
  EXPECT_EQ(fs_->CloseStream(), 1);
}

}  // namespace
}  // namespace testsupport::fstest
