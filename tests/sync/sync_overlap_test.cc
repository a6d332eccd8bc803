// Two machines whose runs overlap, against the S3 test server: a slow run
// that stores an older edit after another machine stored a newer one never
// removes the newer version, and every version left listed reads back.

#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "KeltoS3.h"
#include "common/wide_string.h"
#include "fs/s3_file_system.h"
#include "support/s3_fs_util.h"
#include "support/store_fixture.h"
#include "support/sync_tree_util.h"
#include "support/test_servers.h"
#include "support/test_layout.h"

namespace testsupport::synctest {
namespace {

using Tree = std::map<std::string, std::string>;

constexpr std::int64_t kT1 = 1275393600;  // 2010-06-01T12:00:00Z

class SyncOverlapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fixture_.UseServer("overlap", 1000));
    bucket_ = StoreFixture::UniqueBucket("overlap-root");
    ASSERT_TRUE(RawS3::CreateBucket(bucket_));
  }

  void Run(const Machine& m,
           const std::function<void(const SeenAction&)>& on_action = {}) {
    std::vector<SeenAction> actions;
    EXPECT_EQ(m.Sync(bucket_, &actions, 0, on_action), KELTOS3_SYNC_OK);
    for (const SeenAction& a : actions) EXPECT_EQ(a.result, 0) << a.key << " " << a.name;
  }

  static void KELTOS3_CDECL CountVersion(void* context, const wchar_t*, int outcome,
                                         const wchar_t* detail, int, int) {
    auto* bad = static_cast<std::vector<std::string>*>(context);
    if (outcome != KELTOS3_VERIFY_INTACT) {
      std::u16string text;
      for (const wchar_t* p = detail; *p != 0; ++p) text.push_back(static_cast<char16_t>(*p));
      bad->push_back(U16ToUtf8(text));
    }
  }

  StoreFixture fixture_;
  std::string bucket_;
  Machine a_;
  Machine b_;
};

TEST_F(SyncOverlapTest, AnOlderEditStoredLateNeverRemovesANewerVersion) {
  SKIP_IN_SNAPSHOT_LAYOUT("the file times that name versions");
  a_.Put("f.txt", "first", kT1);
  Run(a_);
  Run(b_);
  a_.Put("f.txt", "edit on A", kT1 + 100);
  a_.Put("a0.txt", "new on A", kT1 + 100);
  b_.Put("f.txt", "edit on B", kT1 + 200);

  // A's run has loaded the tree and stored a0.txt when B's whole run goes
  // by; then A stores its older edit of f.txt.
  bool b_ran = false;
  Run(a_, [&](const SeenAction& action) {
    if (!b_ran && action.name == "\\a0.txt" && action.target == 2) {
      b_ran = true;
      Run(b_);
    }
  });
  ASSERT_TRUE(b_ran);

  // Every version the bucket lists reads back whole.
  std::vector<std::string> bad;
  const std::wstring bucket = Wide(Utf8ToU16(bucket_));
  EXPECT_EQ(KeltoS3Verify(nullptr, 0, bucket.c_str(), &CountVersion, &bad), KELTOS3_VERIFY_OK);
  EXPECT_EQ(bad, std::vector<std::string>{});

  // The newer edit is found by the next runs and reaches both machines.
  for (int round = 0; round < 2; ++round) {
    Run(a_);
    Run(b_);
  }
  const Tree expected{{"a0.txt", "new on A"}, {"f.txt", "edit on B"}};
  EXPECT_EQ(Snapshot(a_.tree.path()), expected);
  EXPECT_EQ(Snapshot(b_.tree.path()), expected);
}

// One version per path: the store of a path the run's load listed replaces
// its index object only while it is the one the load listed.
TEST_F(SyncOverlapTest, AStoreNeverReplacesAVersionStoredSinceTheLoad) {
  SKIP_IN_STANDARD_LAYOUT("one version per path");
  const std::int64_t now = std::time(nullptr);
  a_.Put("f.txt", "first", now);
  Run(a_);
  Run(b_);
  // Times after the catalog's (its records take the time of writing).
  a_.Put("f.txt", "edit on A", now + 100);
  a_.Put("a0.txt", "new on A", now + 100);
  b_.Put("f.txt", "edit on B", now + 200);

  bool b_ran = false;
  std::vector<SeenAction> actions;
  EXPECT_EQ(a_.Sync(bucket_, &actions, 0,
                    [&](const SeenAction& action) {
                      if (!b_ran && action.name == "\\a0.txt" && action.target == 2) {
                        b_ran = true;
                        Run(b_);
                      }
                    }),
            KELTOS3_SYNC_OK);
  ASSERT_TRUE(b_ran);
  for (const SeenAction& action : actions) {
    if (action.name == "\\f.txt" && action.target == 2) {
      EXPECT_NE(action.result, 0);
    }
  }
  CS3FileSystem* remote = new CS3FileSystem();
  remote->SetRoot(Utf8ToU16(bucket_));
  ASSERT_EQ(remote->LoadTree(), 0);
  EXPECT_EQ(fstest::ReadBack(remote, u"\\f.txt"), "edit on B");
  remote->Release();
  // (Which edit the next runs keep is the conflict rules' business.)
  std::vector<std::string> bad;
  const std::wstring bucket = Wide(Utf8ToU16(bucket_));
  EXPECT_EQ(KeltoS3Verify(nullptr, 0, bucket.c_str(), &CountVersion, &bad), KELTOS3_VERIFY_OK);
}

}  // namespace
}  // namespace testsupport::synctest
