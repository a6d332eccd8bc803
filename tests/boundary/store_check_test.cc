// KeltoS3Verify and KeltoS3Prune, and `keltos3 verify` / `keltos3 prune`
// over them, against the S3 test server.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "KeltoS3.h"
#include "common/wide_string.h"
#include "layout/index_record.h"
#include "support/store_fixture.h"
#include "support/subprocess.h"
#include "support/test_layout.h"
#include "support/test_paths.h"
#include "support/test_servers.h"

namespace {

using testsupport::RandomBytes;
using testsupport::RawS3;
using testsupport::SplitDirList;
using testsupport::StoreFixture;
using testsupport::Wide;
using testsupport::WithoutTokens;

std::string Narrow(const wchar_t* text) {
  std::u16string wide;
  for (; text != nullptr && *text != 0; ++text) wide.push_back(static_cast<char16_t>(*text));
  return U16ToUtf8(wide);
}

struct Seen {
  std::string name;
  int outcome = 0;
  std::string detail;
};

void KELTOS3_CDECL OnVersion(void* context, const wchar_t* name, int outcome,
                             const wchar_t* detail, int, int) {
  static_cast<std::vector<Seen>*>(context)->push_back({Narrow(name), outcome, Narrow(detail)});
}

void KELTOS3_CDECL OnChunk(void* context, const wchar_t* key, unsigned long long size,
                           int outcome) {
  static_cast<std::vector<Seen>*>(context)->push_back(
      {Narrow(key), outcome, std::to_string(size)});
}

class StoreCheckTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(fixture_.UseServer("check", 1000)); }

  // Stores `content` at `path` through the exported surface; returns its
  // stored name as GetDirList shows it (the snapshot-assisted build's is
  // the path).
  static std::string Store(const std::u16string& path, const std::string& content) {
    KS3File* file = nullptr;
    EXPECT_EQ(CreateS3FileObject(&file), 0);
    EXPECT_EQ(file->Open(Wide(path).c_str()), 0);
    EXPECT_EQ(file->Write(content.data(), static_cast<int>(content.size()), 1), 0);
    DestroyS3FileObject(&file);
    for (const std::u16string& entry : SplitDirList(GetDirList())) {
      if (entry.rfind(u"$file$" + path + u"_", 0) == 0 || entry == u"$file$" + path + u"_Info") {
        return U16ToUtf8(entry.substr(6, entry.size() - 6 - 5));
      }
    }
    ADD_FAILURE() << "not listed: " << U16ToUtf8(path);
    return "";
  }

  // The data bucket's key whose shape (token left out) is `shape`.
  std::string ChunkKey(const std::string& shape) {
    for (const std::string& key : RawS3::ListKeys(fixture_.data_bucket())) {
      if (WithoutTokens(key) == shape) return key;
    }
    ADD_FAILURE() << "no chunk " << shape;
    return shape;
  }

  static std::vector<Seen> Verify(const std::vector<std::string>& names, int* result) {
    std::vector<std::wstring> wide;
    for (const std::string& name : names) wide.push_back(Wide(Utf8ToU16(name)));
    std::vector<const wchar_t*> pointers;
    for (const std::wstring& name : wide) pointers.push_back(name.c_str());
    std::vector<Seen> seen;
    *result = KeltoS3Verify(pointers.data(), static_cast<int>(pointers.size()), nullptr,
                            &OnVersion, &seen);
    return seen;
  }

  static std::vector<Seen> Prune(long long min_age, int flags, int* result) {
    std::vector<Seen> seen;
    *result = KeltoS3Prune(nullptr, min_age, flags, &OnChunk, &seen);
    std::sort(seen.begin(), seen.end(),
              [](const Seen& x, const Seen& y) { return x.name < y.name; });
    return seen;
  }

#if !defined(_WIN32)  // keltos3 is a POSIX program
  testsupport::ProcessResult Keltos3(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {std::string(testsupport::kTestBinaryDir) + "/keltos3"};
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::RunProcess(argv, {{"KELTOS3_INI", fixture_.ini().ini_posix_path()},
                                          {"LD_LIBRARY_PATH", testsupport::TestLibraryDir()}});
  }
#endif

  StoreFixture fixture_;
};

TEST_F(StoreCheckTest, VerifyNamesExactlyTheDamagedVersions) {
  const std::string a = Store(u"\\a.bin", RandomBytes(2500, 1));
  const std::string b = Store(u"\\docs\\b.bin", RandomBytes(1500, 2));
  const std::string c = Store(u"\\c.bin", RandomBytes(2100, 3));
  // b's second chunk rewritten (its length kept), c's third chunk gone.
  ASSERT_TRUE(RawS3::PutObject(fixture_.data_bucket(), ChunkKey("$chunk$/docs/b.bin_<t>_00001"),
                               RandomBytes(500, 4)));
  ASSERT_TRUE(RawS3::DeleteObject(fixture_.data_bucket(), ChunkKey("$chunk$/c.bin_<t>_00002")));

  int result = -1;
  std::vector<Seen> seen = Verify({}, &result);
  EXPECT_EQ(result, KELTOS3_VERIFY_BAD);
  ASSERT_EQ(seen.size(), 3u);
  std::set<std::string> damaged;
  for (const Seen& s : seen) {
    if (s.outcome != KELTOS3_VERIFY_INTACT) damaged.insert(s.name);
    if (s.name == b) {
      EXPECT_EQ(WithoutTokens(s.detail),
                "chunk 2 of 2 ($chunk$/docs/b.bin_<t>_00001): CRC-32C mismatch");
    }
    if (s.name == c) {
      EXPECT_EQ(WithoutTokens(s.detail), "chunk 3 of 3 ($chunk$/c.bin_<t>_00002): missing");
    }
  }
  EXPECT_EQ(damaged, (std::set<std::string>{b, c}));

  // Named versions: an intact one, and one that is not stored.
  seen = Verify({a, "\\nothing.bin"}, &result);
  EXPECT_EQ(result, KELTOS3_VERIFY_BAD);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].outcome, KELTOS3_VERIFY_INTACT);
  EXPECT_EQ(seen[1].outcome, KELTOS3_VERIFY_MISSING);
  seen = Verify({a}, &result);
  EXPECT_EQ(result, KELTOS3_VERIFY_OK);

#if !defined(_WIN32)
  const testsupport::ProcessResult all = Keltos3({"verify"});
  EXPECT_EQ(all.exit_code, 1) << all.err;
  EXPECT_EQ(std::count(all.out.begin(), all.out.end(), '\n'), 3) << all.out;
  EXPECT_NE(all.out.find("DAMAGED " + b + ": chunk 2 of 2"), std::string::npos) << all.out;
  EXPECT_NE(all.out.find("DAMAGED " + c + ": chunk 3 of 3"), std::string::npos) << all.out;
  EXPECT_NE(all.out.find("3 versions read: 1 intact, 2 damaged or unreadable"),
            std::string::npos)
      << all.out;
  EXPECT_EQ(Keltos3({"verify", a}).exit_code, 0);
#endif
}

TEST_F(StoreCheckTest, PruneRemovesOrphansAndNothingAVersionNeeds) {
  Store(u"\\v.bin", RandomBytes(2500, 5));
  // An earlier build's version, its chunks in the shared form.
  std::string index;
  for (int i = 0; i < 2; ++i) {
    const std::string key = "$data$/e.bin_0000" + std::to_string(i);
    ASSERT_TRUE(RawS3::PutObject(fixture_.data_bucket(), key, RandomBytes(1000, 6 + i)));
    std::string record(static_cast<size_t>(IndexRecordSize(key.size())), '\0');
    EncodeIndexRecord(1000 * i, 1000 * i + 999, Utf8ToU16(key),
                      reinterpret_cast<uint8_t*>(record.data()));
    index += record;
  }
  ASSERT_TRUE(RawS3::PutObject(fixture_.bucket(), "$file$/e.bin_Info", index));
  // Orphans: a store interrupted after its first chunk, and chunks of an
  // earlier build that no index object names; beside them an object that
  // is no chunk at all.
  {
    // (The snapshot-assisted build's Open finds the stored version: 1.)
    KS3File* file = nullptr;
    ASSERT_EQ(CreateS3FileObject(&file), 0);
    const int opened = file->Open(L"\\v.bin");
    const std::string partial = RandomBytes(1500, 8);
    const int written = file->Write(partial.data(), 1500, 0);
    DestroyS3FileObject(&file);
    ASSERT_NE(opened, 2);
    ASSERT_EQ(written, 0);
  }
  ASSERT_TRUE(RawS3::PutObject(fixture_.data_bucket(), "$data$/gone.bin_00000", "12345"));
  ASSERT_TRUE(RawS3::PutObject(fixture_.data_bucket(), "notes.txt", "not a chunk"));
  const std::vector<std::string> before = RawS3::ListKeys(fixture_.data_bucket());
  ASSERT_EQ(before.size(), 3u + 2u + 1u + 1u + 1u);

  // Young orphans are kept by default: a store may still be writing them.
  int result = -1;
  std::vector<Seen> seen = Prune(-1, KELTOS3_PRUNE_DRY_RUN, &result);
  EXPECT_EQ(result, KELTOS3_PRUNE_OK);
  ASSERT_EQ(seen.size(), 2u);
  for (const Seen& s : seen) EXPECT_EQ(s.outcome, KELTOS3_PRUNE_RECENT) << s.name;

  seen = Prune(0, KELTOS3_PRUNE_DRY_RUN, &result);
  ASSERT_EQ(seen.size(), 2u);
  // In key order: "$chunk$" before "$data$".
  EXPECT_EQ(WithoutTokens(seen[0].name), "$chunk$/v.bin_<t>_00000");
  EXPECT_EQ(seen[0].detail, "1000");
  EXPECT_EQ(seen[1].name, "$data$/gone.bin_00000");
  EXPECT_EQ(seen[1].detail, "5");
  for (const Seen& s : seen) EXPECT_EQ(s.outcome, KELTOS3_PRUNE_PLANNED);
  EXPECT_EQ(RawS3::ListKeys(fixture_.data_bucket()), before);

  seen = Prune(0, 0, &result);
  EXPECT_EQ(result, KELTOS3_PRUNE_OK);
  ASSERT_EQ(seen.size(), 2u);
  for (const Seen& s : seen) EXPECT_EQ(s.outcome, KELTOS3_PRUNE_REMOVED);
  EXPECT_EQ(RawS3::ListKeys(fixture_.data_bucket()).size(), 6u);
  std::vector<Seen> versions = Verify({}, &result);
  EXPECT_EQ(result, KELTOS3_VERIFY_OK);
  EXPECT_EQ(versions.size(), 2u);

  // An index object that cannot be read: its chunks are unknown, nothing
  // goes.
  ASSERT_TRUE(RawS3::PutObject(fixture_.bucket(), "$file$/bad.bin_Info", "not an index"));
  ASSERT_TRUE(RawS3::PutObject(fixture_.data_bucket(), "$data$/gone.bin_00001", "678"));
  seen = Prune(0, 0, &result);
  EXPECT_EQ(result, KELTOS3_PRUNE_REFUSED);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].name, "$file$/bad.bin_Info");
  EXPECT_EQ(seen[0].outcome, KELTOS3_PRUNE_UNREADABLE);
  EXPECT_EQ(RawS3::ListKeys(fixture_.data_bucket()).size(), 7u);

#if !defined(_WIN32)
  testsupport::ProcessResult run = Keltos3({"prune", "--min-age", "0"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(run.out.find("cannot read index object $file$/bad.bin_Info whole"),
            std::string::npos)
      << run.out;
  ASSERT_TRUE(RawS3::DeleteObject(fixture_.bucket(), "$file$/bad.bin_Info"));
  run = Keltos3({"prune", "--dry-run", "--min-age", "0"});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_NE(run.out.find("would remove $data$/gone.bin_00001 (3 bytes)"), std::string::npos)
      << run.out;
  run = Keltos3({"prune", "--min-age", "0"});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  EXPECT_NE(run.out.find("removed 1 unnamed chunks (3 bytes)"), std::string::npos) << run.out;
  EXPECT_EQ(RawS3::ListKeys(fixture_.data_bucket()).size(), 6u);
#endif
}

}  // namespace
