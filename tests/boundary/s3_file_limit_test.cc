// The chunk limit of one version, against an in-process fake of the HTTP
// facility (a real server would take far too long for 100 000 chunks).

#include "boundary/s3_file.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/env.h"
#include "s3/fake_s3_env.h"
#include "support/temp_dir.h"

namespace {

// "%24data%24%2Fa%5F00001" back to "$data$/a_00001".
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
          key.find("$data$") == 0 ? std::vector<std::string>{key} : std::vector<std::string>{});
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

}  // namespace
