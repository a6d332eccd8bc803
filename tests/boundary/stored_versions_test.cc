// Every stored version reads back as itself, against the S3 test server:
// versions of one path and of paths that differ only in "$file$"/"$data$"
// never share chunks, two stores within one second never replace each
// other, versions in the key form of earlier builds still read and are
// removed safely, and damage done on the server (a chunk stored without a
// checksum, an index object cut short) fails the read instead of passing
// for content.

#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "KeltoS3.h"
#include "common/wide_string.h"
#include "layout/index_record.h"
#include "support/http_date.h"
#include "support/store_fixture.h"
#include "support/test_servers.h"
#include "support/test_layout.h"

namespace {

using testsupport::RandomBytes;
using testsupport::RawS3;
using testsupport::SplitDirList;
using testsupport::StoreFixture;
using testsupport::TestServers;
using testsupport::Wide;

class StoredVersionsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(fixture_.UseServer("stored", 1000)); }

  // Stores `content` at `path` through the exported surface at the time
  // `unix_seconds`; returns the stored name GetDirList shows for it (the
  // newest entry of the path), or "" on failure.
  std::u16string Store(const std::u16string& path, const std::string& content,
                       int64_t unix_seconds) {
    fixture_.env().SetNowUnixSeconds(unix_seconds);
    KS3File* file = nullptr;
    EXPECT_EQ(CreateS3FileObject(&file), 0);
    // (In the snapshot-assisted build Open finds the path's one version.)
    const bool stored = file->Open(Wide(path).c_str()) != 2 &&
                        file->Write(content.data(), static_cast<int>(content.size()), 1) == 0;
    DestroyS3FileObject(&file);
    if (!stored) return u"";
    if (::testsupport::IsSnapshotRun()) return path;
    // The versions of the path, their stamps as the file object names them.
    std::u16string newest;
    for (int64_t t = unix_seconds; t < unix_seconds + 5; ++t) {
      const std::u16string name = path + u"_" + Utf8ToU16(FormatHttpDate(t));
      if (Listed(name)) newest = name;
    }
    return newest;
  }

  static bool Listed(const std::u16string& name) {
    for (const std::u16string& entry : SplitDirList(GetDirList())) {
      if (entry == u"$file$" + name + u"_Info") return true;
    }
    return false;
  }

  // The whole content of a stored version, or "failed".
  static std::string ReadBack(const std::u16string& name) {
    KS3File* file = nullptr;
    EXPECT_EQ(CreateS3FileObject(&file), 0);
    std::string content = "failed";
    if (file->Open(Wide(name).c_str()) == 1) {
      content.clear();
      char buffer[700];
      int n = 0;
      while ((n = file->Read(buffer, sizeof buffer)) > 0) content.append(buffer, n);
      if (n < 0) content = "failed";
    }
    DestroyS3FileObject(&file);
    return content;
  }

  // Stores a version of `path` as the first release of the library wrote
  // it: chunks "$data$" + key form + "_%05d", records without checksums,
  // the index object named with an HTTP-date stamp (the snapshot-assisted
  // build's under the plain path).  Returns its stored name.
  std::u16string StoreAsEarlierBuild(const std::string& path, const std::string& content) {
    std::string index;
    for (size_t start = 0, n = 0; start < content.size(); start += 1000, ++n) {
      char number[8];
      std::snprintf(number, sizeof number, "_%05zu", n);
      const std::string key = "$data$" + path + number;
      const std::string chunk = content.substr(start, 1000);
      EXPECT_TRUE(RawS3::PutObject(fixture_.data_bucket(), key, chunk));
      std::string record(static_cast<size_t>(IndexRecordSize(key.size())), '\0');
      EncodeIndexRecord(start, start + chunk.size() - 1, Utf8ToU16(key),
                        reinterpret_cast<uint8_t*>(record.data()));
      index += record;
    }
    const std::string name =
        ::testsupport::IsSnapshotRun() ? path : path + "_" + FormatHttpDate(std::time(nullptr) - 3600);
    EXPECT_TRUE(RawS3::PutObject(fixture_.bucket(), "$file$" + name + "_Info", index));
    std::u16string stored = Utf8ToU16(name);
    for (char16_t& c : stored) {
      if (c == u'/') c = u'\\';
    }
    return stored;
  }

  // The file in which the S3 test server keeps `key` of `bucket`; "" when
  // its storage cannot be reached.
  static std::string ServerFile(const std::string& bucket, const std::string& key) {
    const std::string& root = TestServers::Get().s3_data;
    return root.empty() ? "" : root + "/" + bucket + "/" + key + "._S3rver_object";
  }

  // Replaces what the server holds under `key` behind its back, keeping the
  // ETag it computed when the object was stored.
  static void DamageOnServer(const std::string& bucket, const std::string& key,
                             const std::string& bytes) {
    std::ofstream out(ServerFile(bucket, key), std::ios::binary | std::ios::trunc);
    out << bytes;
    ASSERT_TRUE(out.good()) << key;
  }

  StoreFixture fixture_;
};

// An interrupted store (chunks sent, no index object) leaves the stored
// version as it was, in both builds.
TEST_F(StoredVersionsTest, EachVersionReadsItsOwnBytes) {
  const int64_t now = std::time(nullptr);
  const std::string first = RandomBytes(2500, 1);
  const std::u16string v1 = Store(u"\\v.bin", first, now);
  ASSERT_FALSE(v1.empty());
  {
    // (The snapshot-assisted build's Open finds the stored version: 1.)
    KS3File* file = nullptr;
    ASSERT_EQ(CreateS3FileObject(&file), 0);
    const int opened = file->Open(L"\\v.bin");
    const std::string partial = RandomBytes(1500, 9);
    const int written = file->Write(partial.data(), 1500, 0);  // one chunk sent
    DestroyS3FileObject(&file);
    ASSERT_NE(opened, 2);
    ASSERT_EQ(written, 0);
  }
  EXPECT_EQ(ReadBack(v1), first);

  if (::testsupport::IsSnapshotRun()) return;  // one version per path there
  // Versions one after another, each with chunks of its own.
  const std::string second = first.substr(0, 1000) + RandomBytes(1000, 2);
  const std::string third = RandomBytes(3500, 3);
  const std::u16string v2 = Store(u"\\v.bin", second, now + 60);
  const std::u16string v3 = Store(u"\\v.bin", third, now + 120);
  EXPECT_EQ(ReadBack(v1), first);
  EXPECT_EQ(ReadBack(v2), second);
  EXPECT_EQ(ReadBack(v3), third);

  // Removing one leaves the others whole, and so does storing more.
  EXPECT_EQ(DeleteS3File(Wide(v2).c_str()), 0);
  const std::string fourth = RandomBytes(500, 4);
  const std::u16string v4 = Store(u"\\v.bin", fourth, now + 180);
  EXPECT_EQ(ReadBack(v1), first);
  EXPECT_EQ(ReadBack(v2), "failed");
  EXPECT_EQ(ReadBack(v3), third);
  EXPECT_EQ(ReadBack(v4), fourth);
  for (const std::u16string& name : {v1, v3, v4}) {
    EXPECT_EQ(DeleteS3File(Wide(name).c_str()), 0);
  }
  // What is left is the interrupted store's one chunk, named by nothing.
  EXPECT_EQ(RawS3::ListKeys(fixture_.bucket()), std::vector<std::string>{});
  EXPECT_EQ(RawS3::ListKeys(fixture_.data_bucket()).size(), 1u);
}

TEST_F(StoredVersionsTest, StoresWithinOneSecondGetStampsOfTheirOwn) {
  SKIP_IN_SNAPSHOT_LAYOUT("one version per path there");
  const int64_t now = std::time(nullptr);
  const std::string first = RandomBytes(1500, 5);
  const std::string second = RandomBytes(700, 6);
  const std::u16string v1 = Store(u"\\same.txt", first, now);
  const std::u16string v2 = Store(u"\\same.txt", second, now);
  EXPECT_EQ(v1, u"\\same.txt_" + Utf8ToU16(FormatHttpDate(now)));
  EXPECT_EQ(v2, u"\\same.txt_" + Utf8ToU16(FormatHttpDate(now + 1)));
  EXPECT_EQ(ReadBack(v1), first);
  EXPECT_EQ(ReadBack(v2), second);
}

TEST_F(StoredVersionsTest, PathsDifferingInFileAndDataPrefixKeepTheirData) {
  const int64_t now = std::time(nullptr);
  const std::string file_content = RandomBytes(1800, 7);
  const std::string data_content = RandomBytes(1800, 8);
  const std::u16string f = Store(u"\\$file$x", file_content, now);
  const std::u16string d = Store(u"\\$data$x", data_content, now);
  EXPECT_EQ(ReadBack(f), file_content);
  EXPECT_EQ(ReadBack(d), data_content);
  EXPECT_EQ(DeleteS3File(Wide(f).c_str()), 0);
  EXPECT_EQ(ReadBack(d), data_content);
}

TEST_F(StoredVersionsTest, EarlierKeyFormStillReadsAndIsRemovedSafely) {
  const std::string old_content = RandomBytes(2500, 10);
  const std::u16string old = StoreAsEarlierBuild("/old.bin", old_content);
  EXPECT_EQ(ReadBack(old), old_content);

  // A new version of the path writes chunks of its own: the earlier one,
  // whose chunks carry no checksum, keeps its bytes.
  const std::string new_content = RandomBytes(1200, 11);
  const std::u16string fresh = Store(u"\\old.bin", new_content, std::time(nullptr));
  EXPECT_EQ(ReadBack(fresh), new_content);
  if (!::testsupport::IsSnapshotRun()) {
    EXPECT_EQ(ReadBack(old), old_content);
    // Removing the earlier version takes its chunks and leaves the new one.
    EXPECT_EQ(DeleteS3File(Wide(old).c_str()), 0);
    EXPECT_EQ(ReadBack(fresh), new_content);
  }
  // Only the new version's chunks are left (the snapshot-assisted build's
  // store replaced the earlier version and removed its chunks).
  for (const std::string& key : RawS3::ListKeys(fixture_.data_bucket())) {
    EXPECT_EQ(key.rfind("$chunk$/old.bin_", 0), 0u) << key;
  }
  EXPECT_EQ(RawS3::ListKeys(fixture_.data_bucket()).size(), 2u);
}

TEST_F(StoredVersionsTest, DamageOnTheServerFailsTheRead) {
  if (ServerFile(fixture_.data_bucket(), "x").empty()) {
    GTEST_SKIP() << "the server's storage cannot be reached";
  }
  // A chunk stored without a checksum, changed on the server: its ETag
  // still names the bytes it was stored with.
  const std::string content = RandomBytes(2500, 12);
  const std::u16string old = StoreAsEarlierBuild("/crc0.bin", content);
  ASSERT_EQ(ReadBack(old), content);
  std::string damaged = content.substr(1000, 1000);
  damaged[10] ^= 0x20;
  DamageOnServer(fixture_.data_bucket(), "$data$/crc0.bin_00001", damaged);
  EXPECT_EQ(ReadBack(old), "failed");

  // An index object cut short on the server, at a record's end and in the
  // middle of one: not a shorter file.
  const std::string whole = RandomBytes(2600, 13);
  const std::u16string cut = Store(u"\\cut.bin", whole, std::time(nullptr));
  ASSERT_EQ(ReadBack(cut), whole);
  std::string index;
  const std::string index_key = "$file$" + U16ToUtf8(cut) + "_Info";
  std::string key = index_key;
  for (char& c : key) {
    if (c == '\\') c = '/';
  }
  ASSERT_TRUE(RawS3::GetObject(fixture_.bucket(), key, &index));
  const size_t record = index.size() / 3;
  for (const size_t keep : {2 * record, 2 * record - 7}) {
    SCOPED_TRACE(keep);
    DamageOnServer(fixture_.bucket(), key, index.substr(0, keep));
    KS3File* file = nullptr;
    ASSERT_EQ(CreateS3FileObject(&file), 0);
    EXPECT_EQ(file->Open(Wide(cut).c_str()), 2);
    DestroyS3FileObject(&file);
  }
}

}  // namespace
