// One stored version per path: the index object is named by the path alone,
// storing the path again replaces it, and the remote-store functions take
// the plain path.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "KeltoS3.h"
#include "layout/s3_file.h"
#include "common/wide_string.h"
#include "layout/index_record.h"
#include "support/store_fixture.h"
#include "support/test_servers.h"
#include "support/test_layout.h"

namespace {

using testsupport::RandomBytes;
using testsupport::RawS3;
using testsupport::SplitDirList;
using testsupport::StoreFixture;
using testsupport::Wide;

// Stores `content` at `path` through a new file object in one last Write.
// Returns the result of Open, or -1 when a Write failed.
int Store(const std::u16string& path, const std::string& content) {
  CS3File file;
  const int opened = file.Open(Wide(path).c_str());
  if (file.Write(content.data(), static_cast<int>(content.size()), 1) != 0) return -1;
  return opened;
}

std::string ReadBack(const std::u16string& path) {
  CS3File file;
  if (file.Open(Wide(path).c_str()) != 1) return "(not opened)";
  std::string out;
  std::vector<char> buffer(4096);
  for (int n; (n = file.Read(buffer.data(), 4096)) > 0;) out.append(buffer.data(), n);
  return out;
}

std::vector<IndexRecord> Records(const std::string& bytes) {
  std::vector<IndexRecord> records;
  int32_t offset = 0;
  IndexRecord record;
  while (DecodeIndexRecord(reinterpret_cast<const uint8_t*>(bytes.data()),
                           static_cast<int32_t>(bytes.size()), offset,
                           &record) == IndexRecordStatus::kRecord) {
    records.push_back(record);
    offset += record.record_length;
  }
  return records;
}

TEST(SingleVersionTest, StoringAPathTwiceLeavesOneIndexNamingTheSecondStore) {
  SKIP_IN_STANDARD_LAYOUT("the snapshot-assisted library's own cases");
  StoreFixture fixture;
  ASSERT_TRUE(fixture.UseServer("single", 1000));
  ASSERT_EQ(Store(u"\\docs\\a.txt", RandomBytes(2500, 1)), 0);  // nothing there yet
  const std::string second = RandomBytes(1500, 2);
  ASSERT_EQ(Store(u"\\docs\\a.txt", second), 1);  // found the first one

  EXPECT_EQ(RawS3::ListKeys(fixture.bucket()),
            (std::vector<std::string>{"$file$/docs/a.txt_Info", "$folder$docs"}));
  std::string bytes;
  ASSERT_TRUE(RawS3::GetObject(fixture.bucket(), "$file$/docs/a.txt_Info", &bytes));
  const std::vector<IndexRecord> records = Records(bytes);
  ASSERT_EQ(records.size(), 2u);
  // The second store's chunks are its own, and the first one's are gone.
  const std::vector<std::string> chunks = RawS3::ListKeys(fixture.data_bucket());
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(records[0].key, Utf8ToU16(chunks[0]));
  EXPECT_EQ(records[1].key, Utf8ToU16(chunks[1]));
  EXPECT_EQ(testsupport::WithoutTokens(chunks[1]), "$chunk$/docs/a.txt_<t>_00001");
  EXPECT_EQ(records[1].end, 1499u);
  EXPECT_EQ(ReadBack(u"\\docs\\a.txt"), second);

  // The listing shows the plain path; it is also what DeleteS3File takes.
  EXPECT_EQ(SplitDirList(GetDirList()),
            (std::vector<std::u16string>{u"$file$\\docs\\a.txt_Info", u"\\docs"}));
  EXPECT_EQ(DeleteS3File(L"\\docs\\a.txt"), 0);
  EXPECT_EQ(RawS3::ListKeys(fixture.bucket()), std::vector<std::string>{"$folder$docs"});
  EXPECT_EQ(RawS3::ListKeys(fixture.data_bucket()), std::vector<std::string>{});
}

// Storing again opens (and reads) the stored version first; the new one must
// still be cut into chunks of the configured size, not of the length of the
// chunk that was read.
TEST(SingleVersionTest, StoringAgainKeepsTheConfiguredChunkSize) {
  SKIP_IN_STANDARD_LAYOUT("the snapshot-assisted library's own cases");
  StoreFixture fixture;
  ASSERT_TRUE(fixture.UseServer("chunksize", 1000));
  ASSERT_EQ(Store(u"\\grow.bin", "tiny"), 0);
  const std::string grown = RandomBytes(2500, 3);
  ASSERT_EQ(Store(u"\\grow.bin", grown), 1);
  std::string bytes;
  ASSERT_TRUE(RawS3::GetObject(fixture.bucket(), "$file$/grow.bin_Info", &bytes));
  const std::vector<IndexRecord> records = Records(bytes);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1].start, 1000u);
  EXPECT_EQ(ReadBack(u"\\grow.bin"), grown);
}

}  // namespace
