// A file whose time differs from the catalog's is changed, whichever way the
// time moved: a file replaced by an older copy, a machine whose clock runs
// behind, a file once stamped in the future, two saves within one second.
// And a file that did not change is never taken for a changed one, also
// with a catalog written by an earlier release.  Two machines share one
// bucket of the S3 test server; every case checks every file of both.

#include <gtest/gtest.h>

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

using Tree = std::map<std::string, std::string>;

constexpr std::int64_t kT1 = 1275393600;  // 2010-06-01T12:00:00Z
constexpr std::int64_t kT2 = kT1 + 3600;
constexpr std::int64_t kT3 = kT1 + 7200;
constexpr std::int64_t kFuture = 4102444800;  // 2100-01-01T00:00:00Z

class SyncChangeTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fixture_.UseServer("changetime", 1000));
    bucket_ = StoreFixture::UniqueBucket("changetime-root");
    ASSERT_TRUE(RawS3::CreateBucket(bucket_));
  }

  // One run that completes with every action done; its live transfers,
  // or with `target` only those to that side.
  int Run(const Machine& m, int target = -1) {
    std::vector<SeenAction> actions;
    EXPECT_EQ(m.Sync(bucket_, &actions), KELTOS3_SYNC_OK);
    int transfers = 0;
    for (const SeenAction& a : actions) {
      EXPECT_EQ(a.outcome, KELTOS3_SYNC_DONE) << a.key << " " << a.name;
      EXPECT_EQ(a.result, 0) << a.key << " " << a.name;
      if (a.target != 0 && (target < 0 || a.target == target)) ++transfers;
    }
    return transfers;
  }

  // A, B and A again, then both with nothing left to do; both trees then
  // hold `expected`.
  void Exchange(const Tree& expected) {
    Run(a_);
    Run(b_);
    Run(a_);
    EXPECT_EQ(Run(b_), 0);
    EXPECT_EQ(Run(a_), 0);
    EXPECT_EQ(Snapshot(a_.tree.path()), expected);
    EXPECT_EQ(Snapshot(b_.tree.path()), expected);
  }

  // A fresh machine restores `expected` from the bucket.
  void ExpectStored(const Tree& expected) {
    Machine fresh;
    for (int run = 0; run < 3 && Run(fresh) > 0; ++run) {
    }
    EXPECT_EQ(Snapshot(fresh.tree.path()), expected);
  }

  StoreFixture fixture_;
  std::string bucket_;
  Machine a_;
  Machine b_;
};

// Remote times of the snapshot-assisted build are the server's, to the
// second: a version stored within the second of the one another machine
// last received is not seen there until the path changes again.  The
// stores of these tests follow each other within a second, so that build
// checks what reached the bucket through a fresh machine.
bool SecondsOfTheServer() { return ::testsupport::IsSnapshotRun(); }

TEST_F(SyncChangeTimeTest, EarlierTimesAreChangesToo) {
  Tree tree{{"copy.txt", "this week"}, {"behind.txt", "one"},
            {"future.txt", "stamped 2100"}, {"twice.txt", "first save"}};
  a_.Put("copy.txt", "this week", kT2);
  a_.Put("behind.txt", "one", kT2);
  a_.Put("future.txt", "stamped 2100", kFuture);
  a_.Put("twice.txt", "first save", kT2);
  fstest::SetMTime(a_.tree.At("twice.txt"), kT2, 200000000);
  Exchange(tree);

  // Replaced by last week's copy (cp -p, tar x, a restore).
  a_.Put("copy.txt", "last week", kT1);
  // Saved on a machine whose clock runs an hour behind.
  b_.Put("behind.txt", "two", kT1);
  // Edited at the present time, which is before the time it once had.
  a_.Put("future.txt", "edited now", kT3);
  // Saved again within the same second, with as many bytes.
  a_.Put("twice.txt", "later save", kT2);
  fstest::SetMTime(a_.tree.At("twice.txt"), kT2, 700000000);
  EXPECT_EQ(Run(a_), 3);
  if (SecondsOfTheServer()) {
    EXPECT_EQ(Run(b_, SIDE_REMOTE), 1);
  } else {
    EXPECT_EQ(Run(b_), 4);  // three down, one up
  }
  tree["copy.txt"] = "last week";
  tree["behind.txt"] = "two";
  tree["future.txt"] = "edited now";
  tree["twice.txt"] = "later save";
  if (SecondsOfTheServer()) {
    ExpectStored(tree);
    return;
  }
  Exchange(tree);

  // A later change from the other machine is carried as one, too.
  b_.Put("copy.txt", "b's edit", kT3);
  tree["copy.txt"] = "b's edit";
  Exchange(tree);
}

// A download gives the file the whole second its version is named with (the
// standard build); a save within that second is an edit like any other.
TEST_F(SyncChangeTimeTest, ASaveWithinTheSecondOfADownloadIsSent) {
  Tree tree{{"notes.txt", "bread, milk"}};
  a_.Put("notes.txt", "bread, milk", kT2);
  fstest::SetMTime(a_.tree.At("notes.txt"), kT2, 300000000);
  Exchange(tree);

  b_.Put("notes.txt", "bread, milk, tea", kT2);
  fstest::SetMTime(b_.tree.At("notes.txt"), kT2, 600000000);
  tree["notes.txt"] = "bread, milk, tea";
  EXPECT_EQ(Run(b_, SIDE_REMOTE), 1);
  if (SecondsOfTheServer()) {
    ExpectStored(tree);
    return;
  }
  Exchange(tree);
}

// The catalog is left as an earlier release wrote it: no work folder, and
// whole seconds (the standard build) or the time each record was written
// (the snapshot-assisted build).  The next runs send nothing again, and
// later edits, earlier times included, are still seen.
TEST_F(SyncChangeTimeTest, CatalogOfAnEarlierReleaseMigratesWithoutTransfers) {
  Tree tree;
  for (int i = 0; i < 6; ++i) {
    const std::string name = "f" + std::to_string(i) + ".txt";
    a_.Put(name, "content " + name, kT2);
    fstest::SetMTime(a_.tree.At(name), kT2, 100000000 * (i + 1));
    tree[name] = "content " + name;
  }
  Exchange(tree);

  for (const Machine* m : {&a_, &b_}) {
    std::filesystem::remove_all(m->catalog.At(".keltos3"));
    for (const auto& [name, content] : tree) {
      fstest::SetMTime(m->catalog.At(name), ::testsupport::IsSnapshotRun() ? std::time(nullptr) : kT2);
    }
  }
  EXPECT_EQ(Run(a_), 0);
  EXPECT_EQ(Run(b_), 0);
  EXPECT_EQ(Run(a_), 0);

  a_.Put("f1.txt", "older copy", kT1);
  b_.Put("f2.txt", "edited on b", kT3);
  tree["f1.txt"] = "older copy";
  tree["f2.txt"] = "edited on b";
  if (SecondsOfTheServer()) {
    EXPECT_EQ(Run(a_, SIDE_REMOTE), 1);
    EXPECT_EQ(Run(b_, SIDE_REMOTE), 1);
    ExpectStored(tree);
    return;
  }
  Exchange(tree);
}

}  // namespace
}  // namespace testsupport::synctest
