// Paths changed on both machines between two runs: a file replaced by a
// directory (or the reverse) on one machine while the other edits it, and
// the policy "SyncConflicts=keep", under which no edited content is lost.
// Two machines share one bucket of the S3 test server; every case checks
// every file of both.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "KeltoS3.h"
#include "common/wide_string.h"
#include "support/fs_test_util.h"
#include "support/store_fixture.h"
#include "support/sync_tree_util.h"
#include "support/test_servers.h"
#include "support/test_layout.h"

namespace testsupport::synctest {
namespace {

using Tree = std::map<std::string, std::string>;
using Names = std::vector<std::string>;

constexpr std::int64_t kT1 = 1275393600;  // 2010-06-01T12:00:00Z
constexpr std::int64_t kT2 = kT1 + 3600;
constexpr std::int64_t kT3 = kT1 + 7200;

class SyncConflictTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fixture_.UseServer("conflict", 1000));
    bucket_ = StoreFixture::UniqueBucket("conflict-root");
    ASSERT_TRUE(RawS3::CreateBucket(bucket_));
  }

  void Keep() {
    StoreSettings settings = fixture_.settings();
    settings.extra = "SyncConflicts=keep\n";
    fixture_.WriteSettings(settings);
  }

  // One run whose every action succeeded; the conflicts it settled, as
  // "<kind> <path> <winner> <copy>".
  Names Run(const Machine& m) {
    std::vector<SyncConflict> conflicts;
    std::vector<SeenAction> actions;
    EXPECT_EQ(m.SyncWith(bucket_, SyncRunOptions(), nullptr, &conflicts, &actions),
              kSyncRunDone);
    for (const SeenAction& a : actions) {
      EXPECT_EQ(a.outcome, KELTOS3_SYNC_DONE) << a.key << " " << a.name;
      EXPECT_EQ(a.result, 0) << a.key << " " << a.name;
    }
    Names out;
    for (const SyncConflict& c : conflicts) {
      const char* kind = c.kind == SyncConflict::Kind::kBothChanged ? "both"
                         : c.kind == SyncConflict::Kind::kDeletedAndChanged
                             ? "deleted"
                             : "type";
      out.push_back(std::string(kind) + " " + U16ToUtf8(c.name) + " " +
                    std::to_string(c.winner) + " " + U16ToUtf8(c.copy_name));
    }
    return out;
  }

  // Runs A and B in turn until a round does nothing (at most `rounds`
  // rounds that act); both trees then hold `expected`.
  void Converge(const Tree& expected, int rounds) {
    for (int round = 0; round <= rounds; ++round) {
      std::vector<SeenAction> a_actions;
      std::vector<SeenAction> b_actions;
      a_.SyncWith(bucket_, SyncRunOptions(), nullptr, nullptr, &a_actions);
      b_.SyncWith(bucket_, SyncRunOptions(), nullptr, nullptr, &b_actions);
      if (a_actions.empty() && b_actions.empty()) break;
      ASSERT_LT(round, rounds) << "still acting";
    }
    EXPECT_EQ(Snapshot(a_.tree.path()), expected);
    EXPECT_EQ(Snapshot(b_.tree.path()), expected);
  }

  StoreFixture fixture_;
  std::string bucket_;
  Machine a_;
  Machine b_;
};

// A turns the file x into a directory and the directory d into a file; B
// edits x and a file in d.  Under the fixed rules A's deletions win: x and
// d take A's form on both machines within two rounds, with no failure.
TEST_F(SyncConflictTest, TypeChangesAgainstEditsConverge) {
  a_.Put("x", "file x", kT1);
  a_.Put("d/y", "file d/y", kT1);
  a_.Put("keep.txt", "kept", kT1);
  a_.Put("keep2.txt", "kept too", kT1);  // half the files stay
  Run(a_);
  Run(b_);

  std::filesystem::remove(a_.tree.At("x"));
  a_.Put("x/inner.txt", "x is a directory now", kT2);
  std::filesystem::remove_all(a_.tree.At("d"));
  a_.Put("d", "d is a file now", kT2);
  b_.Put("x", "b's edit of x", kT3);
  b_.Put("d/y", "b's edit of d/y", kT3);
  Run(a_);
  Run(b_);
  Converge({{"d", "d is a file now"},
            {"keep.txt", "kept"},
            {"keep2.txt", "kept too"},
            {"x/", ""},
            {"x/inner.txt", "x is a directory now"}},
           1);
}

// Under "keep" no edited content is deleted: an edit wins over a deletion,
// the other content of a file edited on both machines is kept beside it,
// and a file that must make way for a directory is kept under a conflict
// copy's name.
TEST_F(SyncConflictTest, KeepLosesNoEditedContent) {
  SKIP_IN_SNAPSHOT_LAYOUT("the later edit wins by its file time");
  Keep();
  for (const char* name : {"del-upd", "upd-del", "both.txt", "x"}) {
    a_.Put(name, std::string("base ") + name, kT1);
  }
  Run(a_);
  Run(b_);

  std::filesystem::remove(a_.tree.At("del-upd"));
  a_.Put("upd-del", "a's edit", kT2);
  a_.Put("both.txt", "a's edit", kT2);
  std::filesystem::remove(a_.tree.At("x"));
  a_.Put("x/inner.txt", "x is a directory now", kT2);
  b_.Put("del-upd", "b's edit", kT2);
  std::filesystem::remove(b_.tree.At("upd-del"));
  b_.Put("both.txt", "b's later edit", kT3);
  b_.Put("x", "b's edit of x", kT3);
  EXPECT_EQ(Run(a_), Names{});
  EXPECT_EQ(Run(b_),
            (Names{"both \\both.txt 1 \\both (conflict copy 2010-06-01 13-00-00).txt",
                   "deleted \\del-upd 1 ",
                   "deleted \\upd-del 2 ",
                   "type \\x 2 \\x (conflict copy 2010-06-01 14-00-00)"}));
  Converge({{"both (conflict copy 2010-06-01 13-00-00).txt", "a's edit"},
            {"both.txt", "b's later edit"},
            {"del-upd", "b's edit"},
            {"upd-del", "a's edit"},
            {"x (conflict copy 2010-06-01 14-00-00)", "b's edit of x"},
            {"x/", ""},
            {"x/inner.txt", "x is a directory now"}},
           1);
}

}  // namespace
}  // namespace testsupport::synctest
