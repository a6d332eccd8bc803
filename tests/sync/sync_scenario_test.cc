// Synchronisations of real local trees with one bucket of the S3 test
// server through KeltoS3Synchronize.  Two machines (each a local tree with
// its own catalog) share the bucket; after every run the content of every
// file is compared byte for byte, the remote side being read back through
// the other machine's tree.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "KeltoS3.h"
#include "support/fs_test_util.h"
#include "support/store_fixture.h"
#include "support/sync_tree_util.h"
#include "support/test_servers.h"
#include "support/test_layout.h"

namespace testsupport::synctest {
namespace {

using fstest::PatternText;
using Tree = std::map<std::string, std::string>;

constexpr std::int64_t kT1 = 1275393600;  // 2010-06-01T12:00:00Z
constexpr std::int64_t kT2 = kT1 + 3600;
constexpr std::int64_t kT3 = kT1 + 7200;

class SyncScenarioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Small chunks: several per file.
    ASSERT_TRUE(fixture_.UseServer("sync", 1000, protocol()));
    bucket_ = StoreFixture::UniqueBucket("sync-root");
    ASSERT_TRUE(RawS3::CreateBucket(bucket_));
  }

  virtual Protocol protocol() const { return Protocol::kDefaults; }

  // Runs `m` and expects a completed run whose live transfers all succeeded.
  std::vector<SeenAction> Run(const Machine& m) {
    std::vector<SeenAction> actions;
    EXPECT_EQ(m.Sync(bucket_, &actions), KELTOS3_SYNC_OK);
    for (const SeenAction& a : actions) {
      EXPECT_EQ(a.outcome, KELTOS3_SYNC_DONE) << a.key << " " << a.name;
      EXPECT_EQ(a.result, 0) << a.key << " " << a.name;
    }
    return actions;
  }

  // Both machines run until nothing is left to do; their trees then match.
  void Settle() {
    for (int round = 0; round < 3; ++round) {
      Run(a_);
      Run(b_);
    }
    EXPECT_TRUE(Run(a_).empty());
    EXPECT_TRUE(Run(b_).empty());
    EXPECT_EQ(Snapshot(a_.tree.path()), Snapshot(b_.tree.path()));
  }

  StoreFixture fixture_;
  std::string bucket_;
  Machine a_;
  Machine b_;
};

// Edits are seen by their file times, which only the standard build
// carries; the snapshot-assisted build runs the scenarios without edits.
using SyncProtocolTest = ProtocolSuite<SyncScenarioTest>;

INSTANTIATE_TEST_SUITE_P(Protocols, SyncProtocolTest, ::testing::ValuesIn(kAllProtocols),
                         ProtocolName);

TEST_P(SyncProtocolTest, ChangesOnEitherMachineReachTheOther) {
  SKIP_IN_SNAPSHOT_LAYOUT("downloads carry the files' times");
  const std::string big = RandomBytes(4500, 1);  // five chunks
  a_.Put("a.txt", "alpha", kT1);
  a_.Put("docs/b.bin", big, kT1);
  a_.Put("docs/sub/c.txt", "", kT1);  // empty files travel too

  // The first run into the empty bucket: two directories, three files, each
  // carried to the bucket and then recorded in the catalog.
  EXPECT_EQ(Describe(Run(a_)),
            (std::vector<std::string>{
                "DIRADD00007 \\docs 1>2", "DIRADD00008 \\docs 1>0",
                "DIRADD00009 \\docs\\sub 1>2", "DIRADD00010 \\docs\\sub 1>0",
                "FILEADD00001 \\a.txt 1>2", "FILEADD00002 \\a.txt 1>0",
                "FILEADD00003 \\docs\\b.bin 1>2", "FILEADD00004 \\docs\\b.bin 1>0",
                "FILEADD00005 \\docs\\sub\\c.txt 1>2",
                "FILEADD00006 \\docs\\sub\\c.txt 1>0"}));
  EXPECT_TRUE(Run(a_).empty());

  // The second machine downloads everything, with the files' times.
  Run(b_);
  EXPECT_EQ(Snapshot(b_.tree.path()),
            (Tree{{"a.txt", "alpha"}, {"docs/", ""}, {"docs/b.bin", big},
                  {"docs/sub/", ""}, {"docs/sub/c.txt", ""}}));
  EXPECT_EQ(fstest::MTime(b_.tree.At("docs/b.bin")).tv_sec, kT1);
  EXPECT_TRUE(Run(b_).empty());

  // A local add, update and delete on A; B picks them up from the bucket.
  a_.Put("a.txt", "alpha, second edition", kT2);
  a_.Put("docs/new.txt", PatternText(2100), kT2);
  std::filesystem::remove(a_.tree.At("docs/sub/c.txt"));
  EXPECT_EQ(LiveTransfers(Run(a_)), 3);
  EXPECT_EQ(LiveTransfers(Run(b_)), 3);
  EXPECT_EQ(Snapshot(b_.tree.path()), Snapshot(a_.tree.path()));
  EXPECT_EQ(fstest::ReadFile(b_.tree.At("a.txt")), "alpha, second edition");

  // And the other way round: B changes, A follows.
  b_.Put("docs/b.bin", RandomBytes(999, 2), kT3);
  b_.Put("docs/sub/d.txt", "from b", kT3);
  std::filesystem::remove(b_.tree.At("a.txt"));
  Run(b_);
  Run(a_);
  EXPECT_EQ(Snapshot(a_.tree.path()),
            (Tree{{"docs/", ""}, {"docs/b.bin", RandomBytes(999, 2)},
                  {"docs/new.txt", PatternText(2100)}, {"docs/sub/", ""},
                  {"docs/sub/d.txt", "from b"}}));
  Settle();
}

// Both machines add the same path: each upload stores a version of it, and
// the one that lost must not come back once the path is deleted.
TEST_F(SyncScenarioTest, BothMachinesAddTheSamePath) {
  a_.Put("keep.txt", "kept", kT1);  // neither tree ends up empty
  a_.Put("same.bin", RandomBytes(2500, 3), kT1);
  b_.Put("same.bin", RandomBytes(1500, 4), kT2);
  Run(a_);
  Run(b_);
  Settle();
  auto stored_of_same = [&] {
    const std::vector<std::string> stored = RawS3::ListKeys(bucket_);
    return std::count_if(stored.begin(), stored.end(), [](const std::string& key) {
      return key.find("same.bin") != std::string::npos;
    });
  };
  const std::vector<std::string> stored = RawS3::ListKeys(bucket_);
  EXPECT_EQ(std::count_if(stored.begin(), stored.end(),
                          [](const std::string& key) {
                            return key.rfind("$file$/same.bin", 0) == 0;
                          }),
            1);  // one version left

  std::filesystem::remove(b_.tree.At("same.bin"));
  Settle();
  EXPECT_EQ(Snapshot(a_.tree.path()), (Tree{{"keep.txt", "kept"}}));
  EXPECT_EQ(stored_of_same(), 0);
}

TEST_F(SyncScenarioTest, ConflictsFollowTheTable) {
  SKIP_IN_SNAPSHOT_LAYOUT("the later edit wins by its file time");
  for (const char* name : {"equal", "del-upd", "upd-del", "both-del", "newer"}) {
    a_.Put(name, std::string("base ") + name, kT1);
  }
  Run(a_);
  Run(b_);

  // A's changes reach the bucket first.
  a_.Put("equal", "from a", kT2);
  a_.Put("upd-del", "a updated", kT2);
  std::filesystem::remove(a_.tree.At("both-del"));
  a_.Put("newer", "a older edit", kT2);
  a_.Put("added", "a added first", kT1);
  b_.Put("equal", "from b", kT2);                  // same time: B, the local side, wins
  std::filesystem::remove(b_.tree.At("upd-del"));  // deletion against an update
  std::filesystem::remove(b_.tree.At("both-del"));  // both deleted: only the catalog
  b_.Put("newer", "b newer edit", kT3);            // the later time wins
  b_.Put("added", "b added later", kT2);           // both added: the later time wins
  Run(a_);

  std::vector<std::string> b_live;
  for (const SeenAction& x : Run(b_)) {
    if (x.target != 0) b_live.push_back(x.name + " " + std::to_string(x.target));
  }
  std::sort(b_live.begin(), b_live.end());
  EXPECT_EQ(b_live, (std::vector<std::string>{"\\added 2", "\\equal 2",
                                              "\\newer 2", "\\upd-del 2"}));
  Run(a_);
  // Changes are seen by their times only: B's copy of "equal" carries the
  // time A's catalog already holds, so A keeps its own edit.
  EXPECT_EQ(Snapshot(a_.tree.path()),
            (Tree{{"added", "b added later"},
                  {"del-upd", "base del-upd"},
                  {"equal", "from a"},
                  {"newer", "b newer edit"}}));
  Tree b_tree = Snapshot(b_.tree.path());
  EXPECT_EQ(b_tree["equal"], "from b");
  b_tree["equal"] = "from a";
  EXPECT_EQ(b_tree, Snapshot(a_.tree.path()));
  a_.Put("equal", "settled", kT3);

  // A deletion on A against an update on B that reached the bucket first.
  b_.Put("del-upd", "b updated", kT3);
  Run(b_);
  std::filesystem::remove(a_.tree.At("del-upd"));
  Run(a_);
  Settle();
  EXPECT_EQ(Snapshot(a_.tree.path()).count("del-upd"), 0u);
}

TEST_F(SyncScenarioTest, DirectoriesAreRemovedDeepestFirst) {
  a_.Put("d/e/f/g.txt", "deep", kT1);
  a_.Put("d/h.txt", "shallow", kT1);
  a_.Put("keep/k.txt", "kept", kT1);
  a_.Put("keep/l.txt", "kept too", kT1);  // half the files stay
  Run(a_);
  Run(b_);
  std::filesystem::remove_all(a_.tree.At("d"));

  std::vector<std::string> removed;
  for (const SeenAction& x : Run(a_)) {
    if (x.key.rfind("DIRDELETE", 0) == 0 && x.target == 2) removed.push_back(x.name);
  }
  EXPECT_EQ(removed, (std::vector<std::string>{"\\d\\e\\f", "\\d\\e", "\\d"}));
  for (const std::string& key : RawS3::ListKeys(bucket_)) {
    EXPECT_EQ(key.find("/d/"), std::string::npos) << key;
    EXPECT_NE(key.rfind("$folder$d", 0), 0u) << key;
  }
  Run(b_);
  EXPECT_EQ(Snapshot(b_.tree.path()),
            (Tree{{"keep/", ""}, {"keep/k.txt", "kept"}, {"keep/l.txt", "kept too"}}));
}

TEST_F(SyncScenarioTest, LargeChangesAreSpreadOverSeveralRuns) {
  Tree expected;
  for (int i = 0; i < 90; ++i) {
    const std::string name = "f" + std::to_string(1000 + i);
    a_.Put(name, "content " + name, kT1);
    expected[name] = "content " + name;
  }
  // Each run carries at most 95 actions (a file and its record are two);
  // every run completes and the next picks up the rest.
  int runs = 0;
  for (std::vector<SeenAction> actions = Run(a_); !actions.empty();
       actions = Run(a_)) {
    EXPECT_LE(actions.size(), 95u);
    ASSERT_LT(++runs, 8);
  }
  EXPECT_GE(runs, 2);
  for (int i = 0; i < 8 && !Run(b_).empty(); ++i) {
  }
  EXPECT_EQ(Snapshot(b_.tree.path()), expected);
}

#if !defined(_WIN32)  // names that differ only in case are one file on Windows
TEST_F(SyncScenarioTest, KeysDifferingOnlyInCaseStayApart) {
  a_.Put("Readme.txt", "mixed", kT1);
  a_.Put("README.txt", "upper", kT2);
  a_.Put("Docs/x", "1", kT1);
  a_.Put("docs/x", "2", kT1);
  Run(a_);
  Run(b_);
  EXPECT_EQ(Snapshot(b_.tree.path()),
            (Tree{{"Docs/", ""}, {"Docs/x", "1"}, {"README.txt", "upper"},
                  {"Readme.txt", "mixed"}, {"docs/", ""}, {"docs/x", "2"}}));
  std::filesystem::remove(b_.tree.At("README.txt"));
  Settle();
  EXPECT_EQ(fstest::ReadFile(a_.tree.At("Readme.txt")), "mixed");
  EXPECT_FALSE(fstest::PathExists(a_.tree.At("README.txt")));
}
#endif

TEST_F(SyncScenarioTest, DryRunChangesNothing) {
  a_.Put("a.txt", "alpha", kT1);
  std::vector<SeenAction> planned;
  ASSERT_EQ(a_.Sync(bucket_, &planned, KELTOS3_SYNC_DRY_RUN), KELTOS3_SYNC_OK);
  ASSERT_EQ(planned.size(), 2u);
  EXPECT_EQ(planned[0].outcome, KELTOS3_SYNC_PLANNED);
  EXPECT_TRUE(RawS3::ListKeys(bucket_).empty());
  EXPECT_EQ(Describe(Run(a_)), Describe(planned));
}

}  // namespace
}  // namespace testsupport::synctest
