// The file object at its limits, against an in-process fake of the HTTP
// facility: the chunk limit of one version (a real server would take far
// too long for 100 000 chunks), memory that runs out, and exceptions.

#include "layout/s3_file.h"

#include <gtest/gtest.h>

#include <map>
#include <new>
#include <string>

#include "layout/index_record.h"
#include "platform/env.h"
#include "s3/fake_s3_env.h"
#include "support/temp_dir.h"
#include "support/test_layout.h"

namespace {

// "%24chunk%24%2Fa%5F00001" back to "$chunk$/a_00001".
std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

TEST(S3FileLimitTest, VersionOfMoreThan99999ChunksIsRefused) {
  testsupport::TempDir dir;
  dir.WriteFile("Kelto.ini",
                "[ONLINE]\nS3Host=s3.example\nRequestPause=0\nQuexS3BufferSize=1\n");
  s3test::FakeS3Env env;
  env.SetEnvironmentVariable("KELTOS3_INI", dir.PathOf("Kelto.ini"));
  int puts = 0;
  env.responder = [&puts](const s3test::Exchange& exchange) {
    s3test::Answer answer;
    const size_t prefix = exchange.path.find("prefix=");
    if (exchange.verb == "GET" && prefix != std::string::npos) {
      const std::string key = Unescape(exchange.path.substr(prefix + 7));
      // The index of the path is absent; every chunk is listed.
      answer.body = s3test::BucketListing(
          key.find("$chunk$") == 0 ? std::vector<std::string>{key} : std::vector<std::string>{});
    } else if (exchange.verb == "PUT") {
      ++puts;
    }
    return answer;
  };
  platform::ScopedEnvOverride override(&env);

  CS3File file;
  ASSERT_EQ(file.GetBufferSize(), 1);
  ASSERT_EQ(file.Open(L"\\a"), 0);
  const std::string content(CS3InfoIndex::kMaxRecords, 'x');
  ASSERT_EQ(file.Write(content.data(), static_cast<int>(content.size()), 0), 0);
  EXPECT_EQ(file.GetSize(), CS3InfoIndex::kMaxRecords);
  EXPECT_EQ(puts, CS3InfoIndex::kMaxRecords);
  // Chunk 99999 would not fit the table: refused, nothing sent, and the
  // version can no longer be finished.
  env.exchanges.clear();
  EXPECT_EQ(file.Write("y", 1, 1), 1);
  EXPECT_TRUE(env.exchanges.empty());
  EXPECT_EQ(file.Write(nullptr, 0, 1), 1);
  EXPECT_EQ(puts, CS3InfoIndex::kMaxRecords);
}

// A store in memory behind the fake: PUT keeps the object, a listing with a
// prefix lists the objects under it with their sizes, GET returns one.
// With `fail` set, every exchange throws, as an allocation that fails
// somewhere below would.
struct FakeStore {
  std::map<std::string, std::string> objects;
  bool fail = false;

  s3test::Answer operator()(const s3test::Exchange& exchange) {
    if (fail) throw std::bad_alloc();
    s3test::Answer answer;
    const size_t query = exchange.path.find("?prefix=");
    const std::string key = Unescape(exchange.path.substr(1, query - 1));
    if (exchange.verb == "PUT") {
      if (!key.empty()) objects[key] = exchange.body;  // not a bucket
    } else if (exchange.verb == "GET" && query != std::string::npos) {
      const std::string prefix = Unescape(exchange.path.substr(query + 8));
      answer.body = "<ListBucketResult><IsTruncated>false</IsTruncated>";
      for (const auto& [name, body] : objects) {
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        answer.body += "<Contents><Key>" + name + "</Key><Size>" +
                       std::to_string(body.size()) + "</Size></Contents>";
      }
      answer.body += "</ListBucketResult>";
    } else if (exchange.verb == "GET" && objects.count(key) != 0) {
      answer.body = objects[key];
    } else if (exchange.verb == "GET" && !key.empty()) {
      answer.status = 404;
    } else if (exchange.verb == "GET") {
      answer.body = s3test::ServiceListing({});
    }
    return answer;
  }
};

class S3FileFakeStoreTest : public ::testing::Test {
 protected:
  void UseChunkSize(int32_t size) {
    dir_.WriteFile("Kelto.ini", "[ONLINE]\nS3Host=s3.example\nRequestPause=0\n"
                                "QuexS3BufferSize=" + std::to_string(size) + "\n");
    env_.SetEnvironmentVariable("KELTOS3_INI", dir_.PathOf("Kelto.ini"));
    env_.responder = [this](const s3test::Exchange& e) { return store_(e); };
  }

  testsupport::TempDir dir_;
  s3test::FakeS3Env env_;
  platform::ScopedEnvOverride override_{&env_};
  FakeStore store_;
};

// A stored name with the fake's clock as stamp; the snapshot-assisted
// layout keeps one version per path, under the path.
std::wstring Stamped(const std::wstring& name) {
  return ::testsupport::IsSnapshotRun() ? name : name + L"_Tue, 27 Mar 2007 19:36:42 GMT";
}
std::string Stamped(const std::string& name) {
  return ::testsupport::IsSnapshotRun() ? name : name + "_Tue, 27 Mar 2007 19:36:42 GMT";
}

TEST_F(S3FileFakeStoreTest, NoExceptionLeavesTheFileObject) {
  UseChunkSize(2);
  {
    CS3File writer;
    ASSERT_EQ(writer.Open(L"\\v"), 0);
    ASSERT_EQ(writer.Write("abcd", 4, 1), 0);
  }
  CS3File file;
  store_.fail = true;
  EXPECT_EQ(file.Open(Stamped(L"\\v").c_str()), 2);
  EXPECT_EQ(file.GetSize(), 0);
  EXPECT_EQ(file.TestConnection(), 0);

  // Reading: the second chunk's fetch throws.
  store_.fail = false;
  ASSERT_EQ(file.Open(Stamped(L"\\v").c_str()), 1);
  store_.fail = true;
  char buffer[4];
  EXPECT_EQ(file.Read(buffer, 4), -1);
  store_.fail = false;
  ASSERT_EQ(file.Open(Stamped(L"\\v").c_str()), 1);
  store_.fail = true;
  EXPECT_EQ(file.Seek(2, 0), 2);

  // Writing: the first upload throws, and the version can never be
  // finished after it.
  store_.fail = false;
  ASSERT_EQ(file.Open(L"\\w"), 0);
  store_.fail = true;
  EXPECT_EQ(file.Write("abcd", 4, 0), 1);
  store_.fail = false;
  EXPECT_EQ(file.Write("", 0, 1), 1);
  EXPECT_EQ(store_.objects.count(Stamped("$file$/w") + "_Info"), 0u);
}

// A body that reached the server short (a proxy that dropped it, say) is
// stored as another object than the chunk: its listed size tells.
TEST_F(S3FileFakeStoreTest, ChunkListedWithAnotherSizeIsNotStored) {
  UseChunkSize(4);
  env_.responder = [this](const s3test::Exchange& e) {
    s3test::Exchange shortened = e;
    if (e.verb == "PUT") shortened.body.clear();
    return store_(shortened);
  };
  CS3File file;
  ASSERT_EQ(file.Open(L"\\s"), 0);
  EXPECT_EQ(file.Write("abcdef", 6, 1), 1);
  EXPECT_EQ(store_.objects.count(Stamped("$file$/s") + "_Info"), 0u);
}

}  // namespace
