// The file object against the S3 test server: what lands on the server for
// each way of writing, and reading it back with every kind of seek.

#include "layout/s3_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "KeltoS3.h"
#include "common/wide_string.h"
#include "layout/index_record.h"
#include "support/store_fixture.h"
#include "support/test_platform.h"
#include "support/test_servers.h"
#include "support/test_layout.h"

namespace {

using testsupport::RandomBytes;
using testsupport::RawS3;
using testsupport::StoreFixture;
using testsupport::Wide;
using testsupport::WithoutTokens;

constexpr char16_t kStamp[] = u"2008-09-20T06:33:34.000Z";

// Names the versions `file` stores with kStamp.  The snapshot-assisted build
// has no stamps: a version is stored under its path.
void UseFixedStamp(CS3File* file) {
  file->SetVersionStamp(kStamp);
}

class S3FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fixture_.UseServer(Hint(), 1000, protocol())) << "buckets not created";
  }

  virtual testsupport::Protocol protocol() const { return testsupport::Protocol::kDefaults; }

  // The test's name, shortened into a bucket-name part.
  static std::string Hint() {
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::string hint;
    for (const char c : name) {
      if (std::isalnum(static_cast<unsigned char>(c))) {
        hint += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      }
    }
    return hint.substr(0, 24);
  }

  // Writes `content` to `path` in pieces of `piece` bytes (the last one with
  // last = 1) through a new file object with the fixed stamp.
  int Store(const std::u16string& path, const std::string& content, size_t piece) {
    CS3File file;
    UseFixedStamp(&file);
    if (file.Open(Wide(path).c_str()) != 0) return -1;
    size_t at = 0;
    do {
      const size_t n = std::min(piece, content.size() - at);
      const int last = at + n == content.size() ? 1 : 0;
      const int result = file.Write(content.data() + at, static_cast<int>(n), last);
      if (result != 0) return result;
      at += n;
    } while (at < content.size());
    return 0;
  }

  std::u16string StoredName(const std::u16string& path) {
    return ::testsupport::IsSnapshotRun() ? path : path + u"_" + kStamp;
  }

  std::string IndexKey(const std::string& path) {
    if (::testsupport::IsSnapshotRun()) return "$file$" + path + "_Info";
    return "$file$" + path + "_" + U16ToUtf8(kStamp) + "_Info";
  }

  // Reads a whole version through `file` in pieces of `piece` bytes.
  static std::string ReadAll(CS3File* file, size_t piece) {
    std::string out;
    std::vector<char> buffer(piece);
    while (true) {
      const int n = file->Read(buffer.data(), static_cast<unsigned>(piece));
      if (n <= 0) {
        EXPECT_EQ(n, 0);
        break;
      }
      out.append(buffer.data(), static_cast<size_t>(n));
    }
    return out;
  }

  std::vector<std::string> DataKeys() { return RawS3::ListKeys(fixture_.data_bucket()); }

  // The key of the one chunk of the data bucket whose key, its token left
  // out, is `shape` ("$chunk$/a.txt_<t>_00000").
  std::string ChunkKey(const std::string& shape) {
    for (const std::string& key : DataKeys()) {
      if (WithoutTokens(key) == shape) return key;
    }
    ADD_FAILURE() << "no chunk " << shape;
    return shape;
  }

  // The records of the index object stored for `path`.
  std::vector<IndexRecord> StoredRecords(const std::string& path) {
    std::string bytes;
    EXPECT_TRUE(RawS3::GetObject(fixture_.bucket(), IndexKey(path), &bytes));
    std::vector<IndexRecord> records;
    int32_t offset = 0;
    IndexRecord record;
    while (DecodeIndexRecord(reinterpret_cast<const uint8_t*>(bytes.data()),
                             static_cast<int32_t>(bytes.size()), offset, &record) ==
           IndexRecordStatus::kRecord) {
      records.push_back(record);
      offset += record.record_length;
    }
    EXPECT_EQ(offset, static_cast<int32_t>(bytes.size())) << "stray bytes in the index";
    return records;
  }

  StoreFixture fixture_;
};

// The cases that run under both signature versions and addressing styles.
using S3FileProtocolTest = testsupport::ProtocolSuite<S3FileTest>;

INSTANTIATE_TEST_SUITE_P(Protocols, S3FileProtocolTest,
                         ::testing::ValuesIn(testsupport::kAllProtocols),
                         testsupport::ProtocolName);

TEST_F(S3FileTest, OpenOfMissingPathIsReadyToWrite) {
  CS3File file;
  EXPECT_EQ(file.Open(L"\\nothing.txt"), 0);
  EXPECT_EQ(file.GetSize(), 0);
  char byte;
  EXPECT_EQ(file.Read(&byte, 1), 0);
  EXPECT_EQ(file.Seek(0, 0), 1);
}

TEST_P(S3FileProtocolTest, TwoAndAHalfChunksInOneCall) {
  const std::string content = RandomBytes(2500, 1);
  ASSERT_EQ(Store(u"\\docs\\a.txt", content, content.size()), 0);

  const std::vector<std::string> keys = DataKeys();
  EXPECT_EQ(WithoutTokens(keys), (std::vector<std::string>{"$chunk$/docs/a.txt_<t>_00000",
                                                           "$chunk$/docs/a.txt_<t>_00001",
                                                           "$chunk$/docs/a.txt_<t>_00002"}));
  ASSERT_EQ(keys.size(), 3u);
  // The index object, byte for byte: three records of 32 + 2 * 58 bytes,
  // each with its chunk's key and CRC-32C.
  std::string bytes;
  ASSERT_TRUE(RawS3::GetObject(fixture_.bucket(), IndexKey("/docs/a.txt"), &bytes));
  ASSERT_EQ(bytes.size(), 3u * 148);
  std::vector<uint8_t> expected(3 * 148);
  const uint64_t ranges[3][2] = {{0, 999}, {1000, 1999}, {2000, 2499}};
  for (int i = 0; i < 3; ++i) {
    const auto* chunk = reinterpret_cast<const uint8_t*>(content.data()) + ranges[i][0];
    EncodeIndexRecord(ranges[i][0], ranges[i][1], Utf8ToU16(keys[static_cast<size_t>(i)]),
                      expected.data() + 148 * i,
                      ChunkChecksum(chunk, ranges[i][1] - ranges[i][0] + 1));
  }
  EXPECT_EQ(std::memcmp(bytes.data(), expected.data(), expected.size()), 0);

  // The folder marker of the parent directory went to the backup bucket.
  const std::vector<std::string> backup = RawS3::ListKeys(fixture_.bucket());
  EXPECT_NE(std::find(backup.begin(), backup.end(), "$folder$docs"), backup.end());

  // Any S3 client can reassemble the file from its chunks.
  std::string joined;
  for (const std::string& key : DataKeys()) {
    std::string chunk;
    ASSERT_TRUE(RawS3::GetObject(fixture_.data_bucket(), key, &chunk));
    joined += chunk;
  }
  EXPECT_EQ(joined, content);

  CS3File reader;
  ASSERT_EQ(reader.Open(Wide(StoredName(u"\\docs\\a.txt")).c_str()), 1);
  EXPECT_EQ(reader.GetSize(), 2500);
  EXPECT_EQ(ReadAll(&reader, 4096), content);
  EXPECT_EQ(reader.GetSize(), 0);  // reading past the end reset it
}

TEST_F(S3FileTest, ExactlyOneChunkThenAnEmptyLastWrite) {
  CS3File file;
  UseFixedStamp(&file);
  ASSERT_EQ(file.Open(L"\\one.bin"), 0);
  const std::string content = RandomBytes(1000, 2);
  ASSERT_EQ(file.Write(content.data(), 1000, 0), 0);
  EXPECT_EQ(file.GetSize(), 1000);
  ASSERT_EQ(file.Write(nullptr, 0, 1), 0);
  EXPECT_EQ(file.GetSize(), 0);

  const std::vector<IndexRecord> records = StoredRecords("/one.bin");
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].start, 1000u);
  EXPECT_EQ(records[1].end, 999u);  // a chunk of 0 bytes
  std::string empty = "x";
  ASSERT_TRUE(RawS3::GetObject(fixture_.data_bucket(), ChunkKey("$chunk$/one.bin_<t>_00001"),
                               &empty));
  EXPECT_EQ(empty, "");

  CS3File reader;
  ASSERT_EQ(reader.Open(Wide(StoredName(u"\\one.bin")).c_str()), 1);
  EXPECT_EQ(reader.GetSize(), 1000);
  EXPECT_EQ(ReadAll(&reader, 333), content);
}

TEST_F(S3FileTest, ExactlyOneChunkInALastWriteStoresNoEmptyChunk) {
  ASSERT_EQ(Store(u"\\one.bin", RandomBytes(1000, 3), 1000), 0);
  EXPECT_EQ(WithoutTokens(DataKeys()), std::vector<std::string>{"$chunk$/one.bin_<t>_00000"});
  EXPECT_EQ(StoredRecords("/one.bin").size(), 1u);
}

TEST_F(S3FileTest, EmptyFileIsOneEmptyChunk) {
  ASSERT_EQ(Store(u"\\empty", "", 0), 0);
  const std::vector<IndexRecord> records = StoredRecords("/empty");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].start, 0u);
  EXPECT_EQ(records[0].end, 0xFFFFFFFFFFFFFFFFull);

  CS3File reader;
  ASSERT_EQ(reader.Open(Wide(StoredName(u"\\empty")).c_str()), 1);
  EXPECT_EQ(reader.GetSize(), 0);
  char byte;
  EXPECT_EQ(reader.Read(&byte, 1), 0);
  EXPECT_EQ(reader.Seek(0, 2), 1);  // an empty version has no position
}

TEST_F(S3FileTest, WriteIsRefusedUntilOpenedAndAfterTheVersionEnds) {
  CS3File file;
  UseFixedStamp(&file);
  EXPECT_EQ(file.Write("abc", 3, 1), 1);  // never opened
  ASSERT_EQ(file.Open(L"\\w.txt"), 0);
  ASSERT_EQ(file.Write("abc", 3, 1), 0);
  // A stray Write after the version was stored must not overwrite chunk 0.
  EXPECT_EQ(file.Write("XYZ", 3, 1), 1);
  std::string chunk;
  ASSERT_TRUE(RawS3::GetObject(fixture_.data_bucket(), ChunkKey("$chunk$/w.txt_<t>_00000"),
                               &chunk));
  EXPECT_EQ(chunk, "abc");
  EXPECT_EQ(file.Write(nullptr, 5, 0), 1);
}

TEST_F(S3FileTest, ReadingPastTheEndDeliversTheRestThenNothing) {
  const std::string content = RandomBytes(2500, 4);
  ASSERT_EQ(Store(u"\\r.bin", content, 700), 0);
  CS3File reader;
  ASSERT_EQ(reader.Open(Wide(StoredName(u"\\r.bin")).c_str()), 1);
  std::vector<char> buffer(5000);
  ASSERT_EQ(reader.Read(buffer.data(), 1200), 1200);
  EXPECT_EQ(reader.GetPosition(), 1200);
  ASSERT_EQ(reader.Read(buffer.data() + 1200, 5000), 1300);
  EXPECT_EQ(std::string(buffer.data(), 2500), content);
  EXPECT_EQ(reader.Read(buffer.data(), 10), 0);
  EXPECT_EQ(reader.GetSize(), 0);
}

TEST_F(S3FileTest, EverySeekBoundary) {
  const std::string content = RandomBytes(2500, 5);
  ASSERT_EQ(Store(u"\\s.bin", content, 2500), 0);
  CS3File reader;
  ASSERT_EQ(reader.Open(Wide(StoredName(u"\\s.bin")).c_str()), 1);
  char byte = 0;

  EXPECT_EQ(reader.Seek(2499, 0), 0);  // size - 1: the last chunk
  EXPECT_EQ(WithoutTokens(U16ToUtf8(reader.GetSubFileName())), "$chunk$/s.bin_<t>_00002");
  EXPECT_EQ(reader.GetBufferOffset(), 499);
  ASSERT_EQ(reader.Read(&byte, 1), 1);
  EXPECT_EQ(byte, content[2499]);

  ASSERT_EQ(reader.Open(Wide(StoredName(u"\\s.bin")).c_str()), 1);
  EXPECT_EQ(reader.Seek(2500, 0), 1);   // size
  EXPECT_EQ(reader.Seek(-1, 0), 1);
  EXPECT_EQ(reader.Seek(-2500, 2), 1);  // -size
  EXPECT_EQ(reader.Seek(1, 2), 1);
  EXPECT_EQ(reader.GetPosition(), 0);   // refusals move nothing

  EXPECT_EQ(reader.Seek(-1, 2), 0);     // the last byte
  EXPECT_EQ(reader.GetPosition(), 2499);
  ASSERT_EQ(reader.Read(&byte, 1), 1);
  EXPECT_EQ(byte, content[2499]);

  ASSERT_EQ(reader.Open(Wide(StoredName(u"\\s.bin")).c_str()), 1);
  EXPECT_EQ(reader.Seek(1000, 0), 0);   // K: second chunk from its start
  EXPECT_EQ(WithoutTokens(U16ToUtf8(reader.GetSubFileName())), "$chunk$/s.bin_<t>_00001");
  EXPECT_EQ(reader.GetBufferOffset(), 0);
  EXPECT_EQ(reader.Seek(999, 0), 0);    // K - 1: first chunk, its last byte
  EXPECT_EQ(WithoutTokens(U16ToUtf8(reader.GetSubFileName())), "$chunk$/s.bin_<t>_00000");
  EXPECT_EQ(reader.GetBufferOffset(), 999);
  std::vector<char> two(2);
  ASSERT_EQ(reader.Read(two.data(), 2), 2);
  EXPECT_EQ(std::string(two.data(), 2), content.substr(999, 2));

  EXPECT_EQ(reader.Seek(-1001, 1), 0);  // relative: back to 0
  EXPECT_EQ(reader.GetPosition(), 0);
  EXPECT_EQ(reader.Seek(2500, 1), 1);
  EXPECT_EQ(reader.Seek(1500, 7), 0);   // unknown origin: position kept
  EXPECT_EQ(reader.GetPosition(), 0);

  // The end itself: allowed, and the next Read finds nothing.
  EXPECT_EQ(reader.Seek(0, 2), 0);
  EXPECT_EQ(reader.GetPosition(), 2500);
  EXPECT_EQ(reader.Read(&byte, 1), 0);
}

TEST_F(S3FileTest, SeekToTheEndOfWholeChunks) {
  const std::string content = RandomBytes(2000, 6);
  ASSERT_EQ(Store(u"\\w.bin", content, 2000), 0);
  CS3File reader;
  ASSERT_EQ(reader.Open(Wide(StoredName(u"\\w.bin")).c_str()), 1);
  // No record holds position 2000; the last chunk is loaded with nothing
  // left to deliver.
  EXPECT_EQ(reader.Seek(0, 2), 0);
  EXPECT_EQ(WithoutTokens(U16ToUtf8(reader.GetSubFileName())), "$chunk$/w.bin_<t>_00001");
  EXPECT_EQ(reader.GetBufferOffset(), 1000);
  char byte;
  EXPECT_EQ(reader.Read(&byte, 1), 0);
  // A different origin at the end re-positions there as well.
  ASSERT_EQ(reader.Open(Wide(StoredName(u"\\w.bin")).c_str()), 1);
  ASSERT_EQ(reader.Seek(0, 2), 0);
  EXPECT_EQ(reader.Seek(0, 9), 0);
  EXPECT_EQ(reader.Read(&byte, 1), 0);
}

TEST_F(S3FileTest, SeekBackAfterTheLastChunkReadsEverythingAgain) {
  const std::string content = RandomBytes(2500, 7);
  ASSERT_EQ(Store(u"\\again.bin", content, 2500), 0);
  CS3File reader;
  ASSERT_EQ(reader.Open(Wide(StoredName(u"\\again.bin")).c_str()), 1);
  std::vector<char> buffer(2500);
  ASSERT_EQ(reader.Read(buffer.data(), 2500), 2500);  // last chunk fetched
  ASSERT_EQ(reader.Seek(0, 0), 0);
  EXPECT_EQ(ReadAll(&reader, 600), content);
}

TEST_F(S3FileTest, ChunkSizeAfterAReadIsTheLastChunkLength) {
  ASSERT_EQ(Store(u"\\src.bin", RandomBytes(2500, 8), 2500), 0);
  CS3File file;
  UseFixedStamp(&file);
  ASSERT_EQ(file.Open(Wide(StoredName(u"\\src.bin")).c_str()), 1);
  EXPECT_EQ(file.GetBufferSize(), 1000);
  std::vector<char> buffer(3000);
  ASSERT_EQ(file.Read(buffer.data(), 3000), 2500);
  EXPECT_EQ(file.GetBufferSize(), 500);

  // The same object writes its next file in chunks of that length.
  ASSERT_EQ(file.Open(L"\\next.bin"), 0);
  const std::string next = RandomBytes(1200, 9);
  ASSERT_EQ(file.Write(next.data(), 1200, 1), 0);
  const std::vector<IndexRecord> records = StoredRecords("/next.bin");
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1].start, 500u);
  EXPECT_EQ(records[2].ChunkLength(), 200u);
}

TEST_F(S3FileTest, WriteAfterOpeningAVersionStartsANewOne) {
  SKIP_IN_SNAPSHOT_LAYOUT("tests/snapshot/ has its own");
  ASSERT_EQ(Store(u"\\v.txt", RandomBytes(2500, 10), 2500), 0);
  CS3File file;
  const std::u16string stored = StoredName(u"\\v.txt");
  ASSERT_EQ(file.Open(Wide(stored).c_str()), 1);
  file.SetVersionStamp(u"2009-01-01T00:00:00.000Z");
  const std::string fresh = RandomBytes(1500, 11);
  ASSERT_EQ(file.Write(fresh.data(), 1500, 1), 0);

  // Only the new chunks are in the new index, numbered from 0.
  std::string bytes;
  ASSERT_TRUE(RawS3::GetObject(
      fixture_.bucket(), "$file$/v.txt_" + U16ToUtf8(kStamp) + "_2009-01-01T00:00:00.000Z_Info",
      &bytes));
  CS3InfoIndex index(u"b", u"d", u"s");
  index.LoadFromBytes(reinterpret_cast<const uint8_t*>(bytes.data()),
                      static_cast<int32_t>(bytes.size()));
  ASSERT_EQ(index.Count(), 2);
  IndexRecord record;
  ASSERT_TRUE(index.Record(0, &record));
  EXPECT_EQ(WithoutTokens(U16ToUtf8(record.key)),
            "$chunk$/v.txt_" + U16ToUtf8(kStamp) + "_<t>_00000");
  ASSERT_TRUE(index.Record(1, &record));
  EXPECT_EQ(record.end, 1499u);
}

// Byte-exact round trips through the exported surface, with the file
// object's own stamp, at several chunk sizes and odd write sizes.
TEST_P(S3FileProtocolTest, RoundTripsAtSeveralChunkSizes) {
  struct Case {
    int32_t chunk;
    size_t size;
    size_t piece;
  };
  const Case cases[] = {{7, 100, 3}, {1000, 4321, 999}, {4096, 20000, 4096},
                        {65536, 200001, 77777}, {65536, 131072, 1}};
  uint32_t seed = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "chunk " << c.chunk << " size " << c.size);
    testsupport::StoreSettings settings = fixture_.settings();
    settings.buffer_size = c.chunk;
    fixture_.WriteSettings(settings);
    const std::string content = RandomBytes(c.size, ++seed);
    const std::u16string path = u"\\rt\\f" + Utf8ToU16(std::to_string(seed)) + u".dat";

    KS3File* file = nullptr;
    ASSERT_EQ(CreateS3FileObject(&file), 0);
    ASSERT_EQ(file->Open(Wide(path).c_str()), 0);
    size_t at = 0;
    if (c.piece == 1) {
      // Large pieces after a one-byte one: a pending byte then whole chunks.
      ASSERT_EQ(file->Write(content.data(), 1, 0), 0);
      ASSERT_EQ(file->Write(content.data() + 1, static_cast<int>(c.size - 1), 1), 0);
      at = c.size;
    }
    while (at < c.size) {
      const size_t n = std::min(c.piece, c.size - at);
      ASSERT_EQ(file->Write(content.data() + at, static_cast<int>(n), at + n == c.size), 0);
      at += n;
    }
    const std::u16string stored =
        ::testsupport::IsSnapshotRun() ? path : path + u"_" + static_cast<CS3File*>(file)->GetVersionStamp();
    ASSERT_EQ(DestroyS3FileObject(&file), 0);
    EXPECT_EQ(file, nullptr);

    ASSERT_EQ(CreateS3FileObject(&file), 0);
    ASSERT_EQ(file->Open(Wide(stored).c_str()), 1);
    EXPECT_EQ(file->GetSize(), static_cast<long long>(c.size));
    std::string back;
    std::vector<char> buffer(5003);
    for (int n; (n = file->Read(buffer.data(), 5003)) > 0;) back.append(buffer.data(), n);
    EXPECT_TRUE(back == content) << "content differs";
    ASSERT_EQ(DestroyS3FileObject(&file), 0);
  }
}

TEST_P(S3FileProtocolTest, NamesSetRedirectEveryRequest) {
  const std::string other = StoreFixture::UniqueBucket("redirect");
  ASSERT_TRUE(RawS3::CreateBucket(other));
  CS3File file;
  file.SetBucket(Utf8ToU16(other));
  file.SetDataBucket(Utf8ToU16(other));
  UseFixedStamp(&file);
  ASSERT_EQ(file.Open(L"\\dir\\sub\\x.txt"), 0);
  ASSERT_EQ(file.Write("hello", 5, 1), 0);

  const std::vector<std::string> keys = RawS3::ListKeys(other);
  EXPECT_EQ(WithoutTokens(keys), (std::vector<std::string>{
                                     "$chunk$/dir/sub/x.txt_<t>_00000", IndexKey("/dir/sub/x.txt"),
                                     "$folder$dir", "$folder$dir/sub"}));
  EXPECT_TRUE(RawS3::ListKeys(fixture_.bucket()).empty());
  EXPECT_TRUE(RawS3::ListKeys(fixture_.data_bucket()).empty());

  CS3File reader;
  reader.SetBucket(Utf8ToU16(other));
  reader.SetDataBucket(Utf8ToU16(other));
  ASSERT_EQ(reader.Open(Wide(StoredName(u"\\dir\\sub\\x.txt")).c_str()), 1);
  char text[8] = {};
  EXPECT_EQ(reader.Read(text, 8), 5);
  EXPECT_STREQ(text, "hello");
}

TEST_F(S3FileTest, ChunkSizeOfZeroOrBelowFallsBackToOneMebibyte) {
  for (const char* value : {"0", "-5", "junk"}) {
    testsupport::StoreSettings settings = fixture_.settings();
    settings.buffer_size = 0;
    settings.extra = std::string("QuexS3BufferSize=") + value + "\n";
    fixture_.WriteSettings(settings);
    CS3File file;
    EXPECT_EQ(file.GetBufferSize(), 1048576) << value;
  }
}

// With Transfers 4 the chunks go up and come down side by side: every byte
// arrives in its place, through reads in pieces that straddle chunks and
// seeks ahead of, into and behind what was fetched ahead.
TEST_F(S3FileTest, ParallelTransfersKeepEveryByteInPlace) {
  testsupport::StoreSettings settings = fixture_.settings();
  settings.extra = "Transfers=4\n";
  fixture_.WriteSettings(settings);
  const std::string content = RandomBytes(10500, 41);
  ASSERT_EQ(Store(u"\\par\\ten.bin", content, 700), 0);
  const std::vector<IndexRecord> records = StoredRecords("/par/ten.bin");
  ASSERT_EQ(records.size(), 11u);
  for (size_t i = 0; i < records.size(); ++i) EXPECT_EQ(records[i].start, 1000 * i);

  CS3File file;
  ASSERT_EQ(file.Open(Wide(StoredName(u"\\par\\ten.bin")).c_str()), 1);
  EXPECT_EQ(ReadAll(&file, 333), content);
  ASSERT_EQ(file.Open(Wide(StoredName(u"\\par\\ten.bin")).c_str()), 1);
  const auto read_at = [&file](long long offset, size_t n) {
    EXPECT_EQ(file.Seek(offset, 0), 0);
    std::string out(n, '\0');
    EXPECT_EQ(file.Read(out.data(), static_cast<unsigned>(n)), static_cast<int>(n));
    return out;
  };
  EXPECT_EQ(read_at(1500, 2600), content.substr(1500, 2600));  // fetches ahead
  EXPECT_EQ(read_at(5200, 1000), content.substr(5200, 1000));  // among those ahead
  EXPECT_EQ(read_at(9999, 501), content.substr(9999, 501));    // beyond them
  EXPECT_EQ(read_at(10, 3000), content.substr(10, 3000));      // behind them
}

// Every operation reads the INI file once, however many requests it sends
// (each request used to read it a dozen times).
TEST_F(S3FileTest, EachOperationReadsTheSettingsOnce) {
  if (!testsupport::IniReadsAreSeen()) GTEST_SKIP() << "INI readings are not seen here";
  int reads = 0;
  const std::u16string ini = fixture_.ini().ini_path();
  fixture_.env().SetOpenFileHook([&](const std::u16string& path, platform::FileOpenMode mode,
                                     platform::Env* target) {
    if (path == ini) ++reads;
    return target->OpenFile(path, mode);
  });
  KS3File* file = nullptr;
  ASSERT_EQ(CreateS3FileObject(&file), 0);
  EXPECT_EQ(reads, 1);
  UseFixedStamp(static_cast<CS3File*>(file));
  ASSERT_EQ(file->Open(L"\\sub\\once.bin"), 0);
  EXPECT_EQ(reads, 2);
  const std::string content = RandomBytes(3500, 7);
  ASSERT_EQ(file->Write(content.data(), 100, 0), 0);  // fills the buffer only
  ASSERT_EQ(file->Write(content.data() + 100, 3400, 1), 0);
  EXPECT_EQ(reads, 3);
  ASSERT_EQ(file->Open(Wide(StoredName(u"\\sub\\once.bin")).c_str()), 1);
  std::string back(content.size() + 1, '\0');
  EXPECT_EQ(file->Read(back.data(), 10), 10);  // from the chunk at hand
  EXPECT_EQ(file->Read(back.data() + 10, static_cast<unsigned>(content.size())), 3490);
  EXPECT_EQ(back.substr(0, content.size()), content);
  EXPECT_EQ(reads, 5);
  EXPECT_EQ(DestroyS3FileObject(&file), 0);
}

TEST_F(S3FileTest, TestConnectionReachesTheService) {
  KS3File* file = nullptr;
  ASSERT_EQ(CreateS3FileObject(&file), 0);
  EXPECT_EQ(file->TestConnection(), 1);
  KS3File* previous = file;
  ASSERT_EQ(CreateS3FileObject(&file), 0);  // replaces the one held
  EXPECT_NE(file, nullptr);
  (void)previous;
  ASSERT_EQ(DestroyS3FileObject(&file), 0);
  EXPECT_EQ(DestroyS3FileObject(&file), 0);  // null is accepted
  EXPECT_EQ(CreateS3FileObject(nullptr), 1);
}

}  // namespace
