// Trees beyond what one run carries: a new folder larger than one run's
// actions with the default settings, and a tree far beyond the default
// capacity synchronised whole with a raised "SyncCapacity".  Two machines,
// the S3 test server, KeltoS3Synchronize.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "KeltoS3.h"
#include "support/store_fixture.h"
#include "support/sync_tree_util.h"
#include "support/test_layout.h"

namespace testsupport::synctest {
namespace {

using Tree = std::map<std::string, std::string>;

constexpr std::int64_t kT1 = 1275393600;  // 2010-06-01T12:00:00Z
constexpr int kDirs = 50;
constexpr int kFilesPerDir = 20;

// Runs `m` until a run has nothing to do, every action done with result 0;
// the number of runs that acted.
int RunUntilIdle(const Machine& m, const std::string& bucket, int limit) {
  for (int runs = 0; runs < limit; ++runs) {
    std::vector<SeenAction> actions;
    EXPECT_EQ(m.Sync(bucket, &actions), KELTOS3_SYNC_OK);
    for (const SeenAction& a : actions) {
      EXPECT_EQ(a.outcome, KELTOS3_SYNC_DONE) << a.key << " " << a.name;
      EXPECT_EQ(a.result, 0) << a.key << " " << a.name;
    }
    if (actions.empty()) return runs;
  }
  ADD_FAILURE() << "still acting after " << limit << " runs";
  return limit;
}

// The catalog's records below `dir` (its own work folder left out).
int RecordedFiles(const Machine& m, const std::string& dir) {
  int files = 0;
  for (const auto& [path, content] : Snapshot(m.catalog.path())) {
    if (path.rfind(dir, 0) == 0 && path.back() != '/') ++files;
  }
  return files;
}

// A new folder of 48 files and its directory are 98 actions, three more
// than one run of the default capacity carries.  The run that carries the
// files must create the folder too, on the other side and in the catalog;
// the rest follows in the next run, and a fresh machine restores it all.
TEST(SyncDefaultCapacityTest, NewFolderBeyondOneRunConvergesAndRestores) {
  StoreFixture fixture;
  ASSERT_TRUE(fixture.UseServer("capdefault", 0));
  Machine a;
  Machine b;
  Tree expected{{"photos/", ""}};
  for (int i = 1; i <= 48; ++i) {
    const std::string name = "photos/img" + std::to_string(i) + ".jpg";
    a.Put(name, std::to_string(i), kT1);
    expected[name] = std::to_string(i);
  }
  EXPECT_EQ(RunUntilIdle(a, fixture.bucket(), 4), 2);
  EXPECT_EQ(RecordedFiles(a, "photos/"), 48);
  EXPECT_EQ(RunUntilIdle(b, fixture.bucket(), 4), 2);
  EXPECT_EQ(Snapshot(b.tree.path()), expected);
  EXPECT_EQ(Snapshot(a.tree.path()), expected);
  EXPECT_EQ(RunUntilIdle(a, fixture.bucket(), 1), 0);
}

// The edited tree carries file times, which the snapshot-assisted build does
// not; its loads share every map and table with this build.

class SyncCapacityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fixture_.UseServer("capacity", 0));
    StoreSettings settings = fixture_.settings();
    settings.extra = "SyncCapacity=5000\n";
    fixture_.WriteSettings(settings);
  }

  // One run of `m` that completes with every action done; the count of
  // actions on the live sides.
  int Run(const Machine& m) {
    std::vector<SeenAction> actions;
    EXPECT_EQ(m.Sync(fixture_.bucket(), &actions), KELTOS3_SYNC_OK);
    int failed = 0;
    for (const SeenAction& a : actions) {
      if (a.result == 0) continue;
      if (++failed <= 3) ADD_FAILURE() << a.key << " " << a.name << ": " << a.result;
    }
    EXPECT_EQ(failed, 0);
    return LiveTransfers(actions);
  }

  // Requests sent so far: each is followed by one pause of "RequestPause"
  // (0) milliseconds.
  int Requests() {
    int n = 0;
    for (const std::uint32_t ms : fixture_.env().sleeps()) n += ms == 0 ? 1 : 0;
    return n;
  }

  static std::string Name(int dir, int file) {
    char name[32];
    std::snprintf(name, sizeof name, "d%02d/f%03d.txt", dir, file);
    return name;
  }

  StoreFixture fixture_;
  Machine a_;
  Machine b_;
};

TEST_F(SyncCapacityTest, ThousandFilesRoundTripAndEditsOnBothSidesConverge) {
  SKIP_IN_SNAPSHOT_LAYOUT("its edits carry fixed times in the past");
  for (int d = 0; d < kDirs; ++d) {
    for (int f = 0; f < kFilesPerDir; ++f) {
      a_.Put(Name(d, f), "content of " + Name(d, f) + std::string(f * 7, 'x'), kT1);
    }
  }
  const int files = kDirs * kFilesPerDir;
  int sent = Requests();
  EXPECT_EQ(Run(a_), kDirs + files);  // everything up at once
  // Uploads into folders the run created or listed look for no marker.
  EXPECT_LE(Requests() - sent, 4 * files);
  EXPECT_EQ(Run(b_), kDirs + files);  // and down
  ASSERT_EQ(Snapshot(b_.tree.path()), Snapshot(a_.tree.path()));
  // A run with nothing to do lists the bucket, whatever its size.
  sent = Requests();
  EXPECT_EQ(Run(a_), 0);
  EXPECT_LE(Requests() - sent, 8);
  EXPECT_EQ(Run(b_), 0);

  // Edits, additions and deletions on both sides, spread over the tree.
  for (int d = 0; d < kDirs; d += 2) {
    a_.Put(Name(d, 1), "edited on A", kT1 + 3600);
    b_.Put(Name(d + 1, 2), "edited on B", kT1 + 3600);
    a_.Put(Name(d, 100), "added on A", kT1);
    b_.Put(Name(d + 1, 101), "added on B", kT1);
    std::filesystem::remove(a_.tree.At(Name(d, 3)));
    std::filesystem::remove(b_.tree.At(Name(d + 1, 4)));
  }
  a_.Put("new/a.txt", "a new directory on A", kT1);
  std::filesystem::remove_all(b_.tree.At("d49"));

  // A carries its 25 edits, additions and deletions and the new directory
  // with its file; B receives those and carries its own outside d49 (24
  // of each kind) and the removal of d49's 20 files and of d49 itself; A
  // receives what B carried.
  const int a_changes = 25 * 3 + 2;
  const int b_changes = 24 * 3 + 20 + 1;
  EXPECT_EQ(Run(a_), a_changes);
  EXPECT_EQ(Run(b_), a_changes + b_changes);
  EXPECT_EQ(Run(a_), b_changes);
  const Tree tree = Snapshot(a_.tree.path());
  EXPECT_EQ(Snapshot(b_.tree.path()), tree);
  EXPECT_EQ(tree.at(Name(0, 1)), "edited on A");
  EXPECT_EQ(tree.at(Name(1, 2)), "edited on B");
  EXPECT_EQ(tree.count(Name(2, 3)) + tree.count(Name(3, 4)) + tree.count("d49/"), 0u);
  EXPECT_EQ(tree.count(Name(1, 101)) + tree.count("new/a.txt"), 2u);
  EXPECT_EQ(Run(a_), 0);
  EXPECT_EQ(Run(b_), 0);
}


}  // namespace
}  // namespace testsupport::synctest
