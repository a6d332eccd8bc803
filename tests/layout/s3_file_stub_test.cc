// The file object against answers a real server will not give on demand:
// uploads whose verification never succeeds, an index store that fails,
// hostile index objects and chunks that cannot be fetched.

#include "layout/s3_file.h"

#include <gtest/gtest.h>

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/hex.h>
#include <cryptopp/md5.h>

#include <set>
#include <string>
#include <vector>

#include "layout/chunk_transfer.h"
#include "layout/index_record.h"
#include "support/store_fixture.h"
#include "support/test_servers.h"
#include "support/test_layout.h"

namespace {

using testsupport::JsonString;
using testsupport::StoreFixture;
using testsupport::StubListing;
using testsupport::StubRequest;
using testsupport::StubServer;

std::string Base64(const std::string& bytes) {
  static const char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const uint32_t v = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8) | uint8_t(bytes[i + 2]);
    out += {kDigits[v >> 18], kDigits[(v >> 12) & 63], kDigits[(v >> 6) & 63], kDigits[v & 63]};
  }
  if (i + 1 == bytes.size()) {
    const uint32_t v = uint8_t(bytes[i]) << 16;
    out += {kDigits[v >> 18], kDigits[(v >> 12) & 63], '=', '='};
  } else if (i + 2 == bytes.size()) {
    const uint32_t v = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8);
    out += {kDigits[v >> 18], kDigits[(v >> 12) & 63], kDigits[(v >> 6) & 63], '='};
  }
  return out;
}

std::string Record(uint64_t start, uint64_t end, const std::u16string& key) {
  std::string bytes(static_cast<size_t>(IndexRecordSize(key.size())), '\0');
  EncodeIndexRecord(start, end, key, reinterpret_cast<uint8_t*>(bytes.data()));
  return bytes;
}

std::string Rule(const std::string& method, const std::string& path, int status,
                 const std::string& body_field) {
  std::string rule = "{\"method\":" + JsonString(method);
  if (!path.empty()) rule += ",\"path\":" + JsonString(path);
  rule += ",\"status\":" + std::to_string(status);
  if (!body_field.empty()) rule += "," + body_field;
  return rule + "}";
}

std::u16string Utf16Digit(int i) { return std::u16string(1, static_cast<char16_t>(u'0' + i)); }

std::string Body(const std::string& text) { return "\"body\":" + JsonString(text); }

// A header rule field giving the answer the plain ETag of `bytes`.
std::string ETagOf(const std::string& bytes) {
  std::string hex;
  CryptoPP::Weak::MD5 md5;
  CryptoPP::StringSource(bytes, true,
                         new CryptoPP::HashFilter(md5, new CryptoPP::HexEncoder(
                                                           new CryptoPP::StringSink(hex), false)));
  return "\"headers\":{\"ETag\":" + JsonString("\"" + hex + "\"") + "}";
}
std::string RawBody(const std::string& bytes) {
  return "\"body_base64\":" + JsonString(Base64(bytes));
}

int Count(const std::vector<StubRequest>& requests, const std::string& method,
          const std::string& path_part = "") {
  int n = 0;
  for (const StubRequest& r : requests) {
    if (r.method == method && r.path.find(path_part) != std::string::npos) ++n;
  }
  return n;
}

class S3FileStubTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::StoreSettings settings;
    settings.bucket = StoreFixture::UniqueBucket("stubb");
    settings.data_bucket = StoreFixture::UniqueBucket("stubd");
    settings.buffer_size = 1000;
    settings.use_stub = true;
    fixture_.WriteSettings(settings);
  }
  void TearDown() override {
    StubServer::Reset(fixture_.bucket());
    StubServer::Reset(fixture_.data_bucket());
  }

  void Script(const std::string& bucket, const std::vector<std::string>& rules) {
    std::string json = "[";
    for (size_t i = 0; i < rules.size(); ++i) json += (i ? "," : "") + rules[i];
    std::string error;
    ASSERT_TRUE(StubServer::SetScript(bucket, json + "]", &error)) << error;
  }

  // A backup bucket that lists the index object of \h.bin_S and serves
  // `index` for it.
  void ServeIndex(const std::string& index) {
    Script(fixture_.bucket(),
           {Rule("GET", "?prefix=", 200, Body(StubListing({{"$file$/h.bin_S_Info", 1}}, false))),
            Rule("GET", "Info", 200, RawBody(index))});
  }

  StoreFixture fixture_;
};

TEST_F(S3FileStubTest, ChunkWhoseVerificationKeepsFailing) {
  Script(fixture_.bucket(), {Rule("GET", "?prefix=", 200, Body(StubListing({}, false)))});
  Script(fixture_.data_bucket(),
         {Rule("PUT", "", 200, ""), Rule("GET", "?prefix=", 200, Body(StubListing({}, false)))});
  CS3File file;
  ASSERT_EQ(file.Open(L"\\v.bin"), 0);
  EXPECT_EQ(file.Write("abc", 3, 1), 1);
  const std::vector<StubRequest> data = StubServer::Requests(fixture_.data_bucket());
  EXPECT_EQ(Count(data, "PUT"), 5);
  EXPECT_EQ(Count(data, "GET", "?prefix=%24chunk%24%2Fv%2Ebin%5F"), 5);
  // The failed version is never finished: no index object is stored.
  EXPECT_EQ(file.Write(nullptr, 0, 1), 1);
  EXPECT_EQ(Count(StubServer::Requests(fixture_.bucket()), "PUT"), 0);
  EXPECT_EQ(Count(StubServer::Requests(fixture_.data_bucket()), "PUT"), 5);
}

TEST_F(S3FileStubTest, ListedButRefusedUploadIsNotStored) {
  // An object under the chunk key answers the verification listing, but
  // this upload itself failed.
  Script(fixture_.bucket(), {Rule("GET", "?prefix=", 200, Body(StubListing({}, false)))});
  Script(fixture_.data_bucket(),
         {Rule("PUT", "", 500, ""), Rule("GET", "?prefix=", 200, "\"list_prefix\":3")});
  CS3File file;
  ASSERT_EQ(file.Open(L"\\v.bin"), 0);
  EXPECT_EQ(file.Write("abc", 3, 1), 1);
  EXPECT_EQ(Count(StubServer::Requests(fixture_.bucket()), "PUT"), 0);
}

TEST_F(S3FileStubTest, FailedIndexStoreFailsTheLastWrite) {
  Script(fixture_.bucket(),
         {Rule("GET", "?prefix=", 200, Body(StubListing({}, false))), Rule("PUT", "", 500, "")});
  Script(fixture_.data_bucket(),
         {Rule("PUT", "", 200, ""), Rule("GET", "?prefix=", 200, "\"list_prefix\":3")});
  CS3File file;
  file.SetVersionStamp(u"S");
  const char* const kIndexKey = ::testsupport::IsSnapshotRun() ? "%24file%24%2Fs%2Ebin%5FInfo"
                                                      : "%24file%24%2Fs%2Ebin%5FS%5FInfo";
  ASSERT_EQ(file.Open(L"\\s.bin"), 0);
  EXPECT_EQ(file.Write("abc", 3, 1), 1);
  const std::vector<StubRequest> backup = StubServer::Requests(fixture_.bucket());
  EXPECT_EQ(Count(backup, "PUT", kIndexKey), 5);
  EXPECT_EQ(file.GetSize(), 0);  // reset all the same
}

TEST_F(S3FileStubTest, IndexWithoutUsableRecords) {
  std::string bad_tail = Record(5, 9, u"$data$/h.bin_00001");
  bad_tail[bad_tail.size() - 2] = 'x';  // its key loses its terminating zero
  const std::vector<std::string> hostile = {
      std::string("\xFF\xFF\xFF\xFF", 4) + std::string(60, 'x'),  // length past the end
      std::string(40, '\x01'),                                    // garbage
      Record(5, 9, u"$data$/h.bin_00000"),                        // does not start at 0
      std::string(),                                              // empty object
      // A good record and a malformed one: a part of a version is none.
      Record(0, 4, u"$data$/h.bin_00000") + bad_tail,
  };
  Script(fixture_.data_bucket(), {Rule("GET", "00000", 200, Body("hello"))});
  for (const std::string& index : hostile) {
    SCOPED_TRACE(testing::Message() << "index of " << index.size() << " bytes");
    ServeIndex(index);
    CS3File file;
    EXPECT_EQ(file.Open(L"\\h.bin_S"), 2);
    EXPECT_EQ(file.GetSize(), 0);
    EXPECT_EQ(file.Seek(0, 5), 2);
    char buffer[16];
    EXPECT_EQ(file.Read(buffer, sizeof(buffer)), -1);
    EXPECT_EQ(file.Read(buffer, sizeof(buffer)), 0);
  }
}

TEST_F(S3FileStubTest, IndexThatCannotBeFetched) {
  Script(fixture_.bucket(),
         {Rule("GET", "?prefix=", 200, Body(StubListing({{"$file$/h.bin_S_Info", 1}}, false))),
          Rule("GET", "Info", 500, "")});
  CS3File file;
  EXPECT_EQ(file.Open(L"\\h.bin_S"), 2);
  char byte;
  EXPECT_EQ(file.Read(&byte, 1), -1);
}

TEST_F(S3FileStubTest, ChunkOfTheWrongLengthIsTriedFiveTimes) {
  ServeIndex(Record(0, 9, u"$data$/h.bin_00000"));
  // Four short answers, then the right one: the fifth attempt succeeds.
  Script(fixture_.data_bucket(), {Rule("GET", "00000", 200, "\"times\":4," + Body("short")),
                                  Rule("GET", "00000", 200, Body("0123456789"))});
  CS3File file;
  EXPECT_EQ(file.Open(L"\\h.bin_S"), 1);
  EXPECT_EQ(Count(StubServer::Requests(fixture_.data_bucket()), "GET"), 5);

  // Always short: the fetch fails after five attempts.
  StubServer::Reset(fixture_.data_bucket());
  Script(fixture_.data_bucket(), {Rule("GET", "00000", 200, Body("short"))});
  EXPECT_EQ(file.Open(L"\\h.bin_S"), 2);
  EXPECT_EQ(Count(StubServer::Requests(fixture_.data_bucket()), "GET"), 5);
  // A failed Seek leaves the position; Read then fails once and resets.
  EXPECT_EQ(file.Seek(3, 0), 2);
  EXPECT_EQ(file.GetPosition(), 0);
  char buffer[4];
  EXPECT_EQ(file.Read(buffer, 4), -1);
  EXPECT_EQ(file.GetSize(), 0);
}

TEST_F(S3FileStubTest, ErrorAnswerEndsTheFetchAtOnce) {
  ServeIndex(Record(0, 9, u"$data$/h.bin_00000"));
  // GetObject's own five sends all fail; a further attempt would succeed
  // but is not made.
  Script(fixture_.data_bucket(), {Rule("GET", "00000", 500, "\"times\":5"),
                                  Rule("GET", "00000", 200, Body("0123456789"))});
  CS3File file;
  EXPECT_EQ(file.Open(L"\\h.bin_S"), 2);
  EXPECT_EQ(Count(StubServer::Requests(fixture_.data_bucket()), "GET"), 5);
}

// A chunk's record says how long it is: an answer that announces more is
// refused before a byte of it is read (and reported), and so is an index
// object longer than any this path's index can be.
TEST_F(S3FileStubTest, AnswersLongerThanExpectedAreRefused) {
  ServeIndex(Record(0, 9, u"$data$/h.bin_00000"));
  Script(fixture_.data_bucket(),
         {Rule("GET", "00000", 200,
               "\"length\":100000,\"trickle_ms\":100,\"trickle_bytes\":10," +
                   Body(std::string(50, 'x')))});
  CS3File file;
  EXPECT_EQ(file.Open(L"\\h.bin_S"), 2);
  EXPECT_EQ(Count(StubServer::Requests(fixture_.data_bucket()), "GET"), 5);
  const auto refusals = [this](const std::u16string& text) {
    int n = 0;
    for (const auto& event : fixture_.env().events()) n += event.text == text;
    return n;
  };
  EXPECT_EQ(refusals(u"answer refused: 100000 bytes or more where at most 10 were expected"), 5);

  // 99999 records of a chunk key one longer than the index key's 19
  // characters at most: a longer index object is refused.
  const std::string index = Record(0, 9, u"$data$/h.bin_00000");
  ServeIndex(index + std::string(99999 * (32 + 2 * 20) + 1 - index.size(), '\0'));
  StubServer::Reset(fixture_.data_bucket());
  Script(fixture_.data_bucket(), {Rule("GET", "00000", 200, Body("0123456789"))});
  EXPECT_EQ(file.Open(L"\\h.bin_S"), 2);
  EXPECT_EQ(Count(StubServer::Requests(fixture_.data_bucket()), "GET"), 0);
  ServeIndex(index + std::string(99999 * (32 + 2 * 20) - index.size(), '\0'));
  EXPECT_EQ(file.Open(L"\\h.bin_S"), 1);
}

// ---- Transfers side by side ------------------------------------------------

class ParallelS3FileStubTest : public S3FileStubTest {
 protected:
  void SetUp() override {
    S3FileStubTest::SetUp();
    testsupport::StoreSettings settings = fixture_.settings();
    settings.extra = "Transfers=4\n";
    fixture_.WriteSettings(settings);
  }

  // The TCP connections `requests` came over.
  static size_t Connections(const std::vector<StubRequest>& requests) {
    std::set<std::string> seen;
    for (const StubRequest& r : requests) seen.insert(r.connection);
    return seen.size();
  }
};

// Chunks go up four at a time; one that keeps failing fails the store, and
// no index object is stored although the chunks around it were.
TEST_F(ParallelS3FileStubTest, ChunkFailingMidWayFailsTheStoreAndListsNothing) {
  Script(fixture_.bucket(),
         {Rule("GET", "?prefix=", 200, Body(StubListing({}, false))), Rule("PUT", "", 200, "")});
  Script(fixture_.data_bucket(),
         {Rule("PUT", "00002", 500, ""), Rule("PUT", "", 200, "\"delay_ms\":100"),
          Rule("GET", "%5F00005", 200, "\"list_prefix\":500"),
          Rule("GET", "?prefix=", 200, "\"list_prefix\":1000")});
  CS3File file;
  ASSERT_EQ(file.Open(L"\\p.bin"), 0);
  const std::string content(5500, 'p');
  EXPECT_EQ(file.Write(content.data(), 2500, 0) + file.Write(content.data() + 2500, 3000, 1), 1);
  EXPECT_EQ(file.Write("x", 1, 1), 1);  // the failed store stays failed

  const std::vector<StubRequest> data = StubServer::Requests(fixture_.data_bucket());
  EXPECT_EQ(Count(data, "PUT", "00002"), 25);  // five attempts of five sends
  EXPECT_GE(Count(data, "PUT", "00001"), 1);
  std::vector<StubRequest> puts;
  for (const StubRequest& r : data) {
    if (r.method == "PUT") puts.push_back(r);
  }
  EXPECT_GT(Connections(puts), 1u) << "the chunks went up one after another";
  EXPECT_EQ(Count(StubServer::Requests(fixture_.bucket()), "PUT"), 0);
}

// Side by side, a PUT answer naming the MD5 of the chunk's bytes stands for
// the chunk's listing; one naming other bytes fails the attempt, however the
// listing would look; without a plain tag the listing decides.
TEST_F(ParallelS3FileStubTest, PutAnswerNamingTheBytesStandsForTheListing) {
  Script(fixture_.bucket(),
         {Rule("GET", "?prefix=", 200, Body(StubListing({}, false))), Rule("PUT", "", 200, "")});
  const std::string a(1000, 'a'), b(1000, 'b'), c(1000, 'c');
  Script(fixture_.data_bucket(),
         {Rule("PUT", "%5F00000", 200, ETagOf(a)), Rule("PUT", "%5F00001", 200, ETagOf(a)),
          Rule("PUT", "", 200, ""), Rule("GET", "?prefix=", 200, "\"list_prefix\":1000")});
  CS3File file;
  ASSERT_EQ(file.Open(L"\\e.bin"), 0);
  const std::string content = a + b + c;
  EXPECT_EQ(file.Write(content.data(), static_cast<int>(content.size()), 1), 1);

  const std::vector<StubRequest> data = StubServer::Requests(fixture_.data_bucket());
  EXPECT_EQ(Count(data, "GET", "%5F00000"), 0);  // confirmed by its answer
  EXPECT_EQ(Count(data, "PUT", "%5F00001"), kChunkAttempts);
  EXPECT_EQ(Count(data, "GET", "%5F00001"), 0);  // the listing would have shown it
  EXPECT_EQ(Count(data, "GET", "%5F00002"), 1);  // no tag: listed
  EXPECT_EQ(Count(StubServer::Requests(fixture_.bucket()), "PUT"), 0);
}

// A read of a version just listed fetches its index object without
// listing it again; one gone since reads as unreadable, never as absent.
TEST_F(ParallelS3FileStubTest, ListedVersionIsOpenedWithoutAnotherListing) {
  ServeIndex(Record(0, 9, u"$data$/h.bin_00000"));
  Script(fixture_.data_bucket(), {Rule("GET", "00000", 200, Body("0123456789"))});
  CS3File file;
  EXPECT_EQ(file.OpenListed(u"\\h.bin_S"), 1);
  EXPECT_EQ(Count(StubServer::Requests(fixture_.bucket()), "GET", "?prefix="), 0);
  EXPECT_EQ(Count(StubServer::Requests(fixture_.bucket()), "GET", "Info"), 1);

  Script(fixture_.bucket(), {Rule("GET", "Info", 404, Body("<Error><Code>NoSuchKey</Code></Error>"))});
  EXPECT_EQ(file.OpenListed(u"\\h.bin_S"), 2);
}

// A version that is found is read without its folder markers being looked
// up (a Write after it sees to them), and the chunks after the first are
// fetched ahead from the first Read on, while the first is delivered.
TEST_F(ParallelS3FileStubTest, FoundVersionIsReadAheadWithoutFolderMarkers) {
  std::string index;
  for (int i = 0; i < 3; ++i) {
    index += Record(1000 * i, 1000 * i + 999, u"$data$/h.bin_0000" + Utf16Digit(i));
  }
  ServeIndex(index);
  Script(fixture_.data_bucket(), {Rule("GET", "0000", 200, Body(std::string(1000, 'c')))});
  CS3File file;
  ASSERT_EQ(file.Open(L"\\d\\h.bin_S"), 1);
  std::string buffer(10, '\0');
  EXPECT_EQ(file.Read(buffer.data(), 10), 10);
  file.Reset();  // waits for what was fetched ahead
  EXPECT_EQ(Count(StubServer::Requests(fixture_.bucket()), "GET", "folder"), 0);
  const std::vector<StubRequest> data = StubServer::Requests(fixture_.data_bucket());
  EXPECT_EQ(Count(data, "GET", "00001"), 1);
  EXPECT_EQ(Count(data, "GET", "00002"), 1);

  ASSERT_EQ(file.Open(L"\\d\\h.bin_S"), 1);
  EXPECT_EQ(file.Write("x", 1, 0), 0);
  EXPECT_GE(Count(StubServer::Requests(fixture_.bucket()), "GET", "folder"), 1);
}

// Chunks are fetched ahead; one that cannot be fetched fails the Read that
// reaches it, after the chunks before it were delivered, as when read alone.
TEST_F(ParallelS3FileStubTest, FailingReadAheadReportsLikeToday) {
  std::string index;
  for (int i = 0; i < 4; ++i) {
    index += Record(1000 * i, 1000 * i + 999, u"$data$/h.bin_0000" + Utf16Digit(i));
  }
  ServeIndex(index);
  Script(fixture_.data_bucket(),
         {Rule("GET", "00002", 500, ""),
          Rule("GET", "0000", 200, "\"delay_ms\":50," + Body(std::string(1000, 'c')))});
  CS3File file;
  ASSERT_EQ(file.Open(L"\\h.bin_S"), 1);
  std::string buffer(1000, '\0');
  EXPECT_EQ(file.Read(buffer.data(), 1000), 1000);
  EXPECT_EQ(file.Read(buffer.data(), 1000), 1000);  // chunk 1, and 2 and 3 ahead
  EXPECT_EQ(buffer, std::string(1000, 'c'));
  EXPECT_EQ(file.Read(buffer.data(), 1000), -1);
  EXPECT_EQ(file.Read(buffer.data(), 1000), 0);  // reset, as after any failed fetch
  const std::vector<StubRequest> data = StubServer::Requests(fixture_.data_bucket());
  EXPECT_EQ(Count(data, "GET", "00002"), 5);
  EXPECT_EQ(Count(data, "GET", "00003"), 1);  // fetched ahead, never delivered
}

}  // namespace
