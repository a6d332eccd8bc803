// What a synchronisation must never do to a user's files, whatever the
// remote side looks like: a remote root with a path, trees larger than one
// load holds, a bucket in the other build's form or holding the host's own
// versions, an empty or a mostly wrong side, a catalog inside the local tree
// or paired with another remote root, files below dot-directories.  Real trees, the S3 test server, KeltoS3Synchronize or
// `keltos3 sync`; every case checks the content of every file afterwards.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "KeltoS3.h"
#include "common/wide_string.h"
#include "fs/s3_file_system.h"
#include "sync/sync_driver.h"
#include "support/fs_test_util.h"
#include "support/s3_fs_util.h"
#include "support/store_fixture.h"
#include "support/subprocess.h"
#include "support/sync_tree_util.h"
#include "support/test_layout.h"
#include "support/test_paths.h"
#include "support/test_servers.h"

namespace testsupport::synctest {
namespace {

using Tree = std::map<std::string, std::string>;
using Names = std::vector<std::string>;

constexpr std::int64_t kT1 = 1275393600;  // 2010-06-01T12:00:00Z
constexpr char16_t kT2Text[] = u"2010-06-01T13:00:00.000Z";

class SyncRemoteSafetyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fixture_.UseServer("safety", 1000));
    bucket_ = StoreFixture::UniqueBucket("safety-root");
    ASSERT_TRUE(RawS3::CreateBucket(bucket_));
  }

  // One run of `m` against `root` that must complete with every action done.
  static std::vector<SeenAction> Run(const Machine& m, const std::string& root) {
    std::vector<SeenAction> actions;
    EXPECT_EQ(m.Sync(root, &actions), KELTOS3_SYNC_OK) << root;
    for (const SeenAction& a : actions) {
      EXPECT_EQ(a.result, 0) << a.key << " " << a.name;
    }
    return actions;
  }

  // Runs `m` until a run finds nothing to do (at most `limit` runs).
  static void Settle(const Machine& m, const std::string& root, int limit = 5) {
    for (int run = 0; run < limit; ++run) {
      if (Run(m, root).empty()) return;
    }
    ADD_FAILURE() << "still acting after " << limit << " runs";
  }

#if !defined(_WIN32)  // keltos3 is a POSIX program
  // `keltos3 sync` as a user runs it, with the library under test.
  ProcessResult Keltos3Sync(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {std::string(kTestBinaryDir) + "/keltos3", "sync"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProcess(argv, {{"KELTOS3_INI", fixture_.ini().ini_posix_path()},
                             {"KELTOS3_TRACE", std::nullopt},
                             {"LD_LIBRARY_PATH", TestLibraryDir()}});
  }
#endif

  StoreFixture fixture_;
  std::string bucket_;
  Machine a_;
  Machine b_;
};

TEST_F(SyncRemoteSafetyTest, RemoteRootWithAPathRoundTrips) {
  const std::string docs = bucket_ + "\\docs";
  const std::string neighbour = bucket_ + "\\docs2";  // begins like docs
  Machine c;
  c.Put("n.txt", "neighbour", kT1);
  Run(c, neighbour);

  a_.Put("a.txt", "alpha", kT1);
  a_.Put("sub/b.txt", "beta", kT1);
  Run(a_, docs);
  EXPECT_TRUE(Run(a_, docs).empty());
  Run(b_, docs);
  Tree expected{{"a.txt", "alpha"}, {"sub/", ""}, {"sub/b.txt", "beta"}};
  EXPECT_EQ(Snapshot(a_.tree.path()), expected);
  EXPECT_EQ(Snapshot(b_.tree.path()), expected);

  std::filesystem::remove(b_.tree.At("a.txt"));
  Run(b_, docs);
  Run(a_, docs);
  expected.erase("a.txt");
  EXPECT_EQ(Snapshot(a_.tree.path()), expected);
  EXPECT_TRUE(Run(b_, docs).empty());
  EXPECT_TRUE(Run(c, neighbour).empty());
  EXPECT_EQ(Snapshot(c.tree.path()), (Tree{{"n.txt", "neighbour"}}));
  for (const std::string& key : RawS3::ListKeys(bucket_)) {
    const bool below = key.rfind("$folder$docs", 0) == 0 ||
                       key.rfind("$file$/docs", 0) == 0 ||
                       key.rfind("$chunk$/docs", 0) == 0;
    EXPECT_TRUE(below) << key;
  }
}

// The standard build carries file times, which an edit needs to be seen.
TEST_F(SyncRemoteSafetyTest, TreesLargerThanTheMapsLoseNothing) {
  SKIP_IN_SNAPSHOT_LAYOUT("its edits carry fixed times in the past");
  // Both machines hold the same 110 paths, B an older edition, A a newer
  // one, created in opposite orders; each load holds 100 entries.
  Tree a_tree;
  Tree b_tree;
  for (int i = 0; i < 110; ++i) {
    char up[8];
    char down[8];
    std::snprintf(up, sizeof up, "f%03d", i);
    std::snprintf(down, sizeof down, "f%03d", 109 - i);
    b_.Put(up, std::string("old ") + up, kT1);
    a_.Put(down, std::string("new ") + down, kT1 + 3600);
    b_tree[up] = std::string("old ") + up;
    a_tree[down] = std::string("new ") + down;
  }
  Settle(b_, bucket_);
  Settle(a_, bucket_);
  Settle(b_, bucket_);
  // The 100 lowest paths are carried, the newer edition winning; the rest
  // stay as they are on each machine.
  EXPECT_EQ(Snapshot(a_.tree.path()), a_tree);
  for (const auto& [path, content] : a_tree) {
    if (path < "f100") b_tree[path] = content;
  }
  EXPECT_EQ(Snapshot(b_.tree.path()), b_tree);
}

// Rewrites every index object of `bucket` into the form the other build of
// the library stores: with a stamp for the snapshot-assisted build's, without
// one for the standard build's.
void RewriteInOtherBuildsForm(const std::string& bucket) {
  for (const std::string& key : RawS3::ListKeys(bucket, "$file$")) {
    if (key.find(" GMT_") != std::string::npos) continue;  // the host's own
    std::string other = key.substr(0, key.size() - 5);
    if (::testsupport::IsSnapshotRun()) {
      other += "_2010-06-01T12:00:00.000Z_Info";
    } else {
      other = other.substr(0, other.size() - 25) + "_Info";
    }
    std::string index;
    ASSERT_TRUE(RawS3::GetObject(bucket, key, &index));
    ASSERT_TRUE(RawS3::PutObject(bucket, other, index));
    ASSERT_TRUE(RawS3::DeleteObject(bucket, key));
  }
}

TEST_F(SyncRemoteSafetyTest, OtherBuildsLayoutIsRefusedAndHostVersionsAreNoFiles) {
  a_.Put("a.txt", "alpha", kT1);
  a_.Put("docs/b.txt", "beta", kT1);
  Run(a_, bucket_);
  const Tree base = Snapshot(a_.tree.path());

  // A version the host stored itself beside the synchronised files.
  std::string index;
  ASSERT_TRUE(RawS3::GetObject(bucket_, RawS3::ListKeys(bucket_, "$file$/a.txt")[0],
                               &index));
  ASSERT_TRUE(RawS3::PutObject(
      bucket_, "$file$/docs/b.txt_Tue, 27 Mar 2007 19:36:42 GMT_Info", index));
  EXPECT_TRUE(Run(a_, bucket_).empty());
  Run(b_, bucket_);
  EXPECT_EQ(Snapshot(b_.tree.path()), base);

  RewriteInOtherBuildsForm(bucket_);
  const Names stored = RawS3::ListKeys(bucket_);
  for (const Machine* m : {&a_, &b_}) {
    std::vector<SeenAction> actions;
    EXPECT_EQ(m->Sync(bucket_, &actions), KELTOS3_SYNC_OTHER_LAYOUT);
    EXPECT_TRUE(actions.empty());
    EXPECT_EQ(Snapshot(m->tree.path()), base);
  }
  EXPECT_EQ(RawS3::ListKeys(bucket_), stored);
}

#if !defined(_WIN32)
TEST_F(SyncRemoteSafetyTest, UnsafeRunsAreRefusedAndSayWhy) {
  a_.Put("a.txt", "alpha", kT1);
  a_.Put("docs/b.txt", "beta", kT1);
  Run(a_, bucket_);
  const Tree base = Snapshot(a_.tree.path());
  const Names stored = RawS3::ListKeys(bucket_);
  const std::string local = a_.tree.path();
  const std::string catalog = a_.catalog.path();
  auto expect_refused = [&](const ProcessResult& r, const std::string& words) {
    EXPECT_EQ(r.exit_code, 4) << r.out << r.err;
    EXPECT_NE(r.err.find(words), std::string::npos) << r.err;
    EXPECT_EQ(Snapshot(local), base);
    EXPECT_EQ(RawS3::ListKeys(bucket_), stored);
  };

  // A bucket that lists nothing: a wrong name, another endpoint, emptied.
  // (The catalog is made to look older than its record of the remote
  // root, which refuses another bucket first.)
  std::filesystem::remove(a_.catalog.At(".keltos3/remote-root"));
  const std::string empty = StoreFixture::UniqueBucket("safety-empty");
  ASSERT_TRUE(RawS3::CreateBucket(empty));
  expect_refused(Keltos3Sync({local, catalog, empty}), "the remote tree is empty");
  // A local root that scans empty: the mount point of a disk not mounted.
  fstest::FsScratchDir unmounted;
  expect_refused(Keltos3Sync({unmounted.path(), catalog, bucket_}),
                 "the local tree is empty");
  // The catalog in the local tree, or the local tree as its own catalog.
  expect_refused(Keltos3Sync({local, local + "/catalog", bucket_}), "catalog");
  expect_refused(Keltos3Sync({local, local, bucket_}), "catalog");
  fstest::MakeDir(catalog + "/tree");
  expect_refused(Keltos3Sync({catalog + "/tree", catalog, bucket_}), "catalog");

  // Emptied on purpose: the deletions go through when asked for.
  std::filesystem::remove_all(a_.tree.At("docs"));
  std::filesystem::remove(a_.tree.At("a.txt"));
  const ProcessResult r = Keltos3Sync({"--allow-empty", local, catalog, bucket_});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(RawS3::ListKeys(bucket_, "$file$"), Names{});
  EXPECT_TRUE(Run(b_, bucket_).empty());
}
#endif

// The keys of `bucket` that store a file whose tree key is below `bound`
// ("\\f50" leaves \f00 .. \f49), index objects only.
Names IndexKeysBelow(const std::string& bucket, const std::string& bound) {
  Names out;
  for (const std::string& key : RawS3::ListKeys(bucket, "$file$/")) {
    if (key.substr(6) < bound) out.push_back(key);
  }
  return out;
}

// A side that lost most of what the catalog records, without being empty:
// a bucket emptied and given a few files by another machine, a local tree
// restored from an old copy.  Counted before the cap on one run's actions,
// which would otherwise spread the deletions over runs of a few each.
TEST_F(SyncRemoteSafetyTest, DeletingMostRecordedFilesIsRefused) {
  Tree full;
  for (int i = 0; i < 98; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "f%02d", i);
    a_.Put(name, name, kT1);
    full[name] = name;
  }
  Settle(a_, bucket_);
  Settle(b_, bucket_);
  // 50 of the 98 files disappear from the bucket: more than half, though
  // one run would carry only 47 of their deletions.
  for (const std::string& key : IndexKeysBelow(bucket_, "/f50")) {
    ASSERT_TRUE(RawS3::DeleteObject(bucket_, key));
  }
  const Names stored = RawS3::ListKeys(bucket_);
  for (const Machine* m : {&a_, &b_}) {
    std::vector<SeenAction> actions;
    EXPECT_EQ(m->Sync(bucket_, &actions), KELTOS3_SYNC_TOO_MANY_DELETIONS);
    EXPECT_TRUE(actions.empty());
    EXPECT_EQ(Snapshot(m->tree.path()), full);
  }
  EXPECT_EQ(RawS3::ListKeys(bucket_), stored);
  SyncRunFacts facts;
  EXPECT_EQ(a_.SyncWith(bucket_, SyncRunOptions(), &facts, nullptr),
            kSyncRunTooManyDeletions);
  EXPECT_EQ(facts.refused_side, SIDE_LOCAL);
  EXPECT_EQ(facts.local_deletions, 50);
  EXPECT_EQ(facts.remote_deletions, 0);
  EXPECT_EQ(facts.recorded_files, 98);
  EXPECT_EQ(facts.max_delete_percent, 50);

  // Meant after all: a limit for this one run on A, the setting for B.
  Tree kept;
  for (const auto& [path, content] : full) {
    if (path >= "f50") kept[path] = content;
  }
  SyncRunOptions allow;
  allow.max_delete_percent = 60;
  EXPECT_EQ(a_.SyncWith(bucket_, allow, nullptr, nullptr), kSyncRunDone);
  EXPECT_EQ(a_.SyncWith(bucket_, allow, nullptr, nullptr), kSyncRunDone);
  EXPECT_EQ(Snapshot(a_.tree.path()), kept);
  StoreSettings settings = fixture_.settings();
  settings.extra = "SyncMaxDelete=60\n";
  fixture_.WriteSettings(settings);
  Settle(b_, bucket_);
  EXPECT_EQ(Snapshot(b_.tree.path()), kept);
  settings.extra.clear();
  fixture_.WriteSettings(settings);

  // The local tree of A restored from an older copy that lacks 30 of the
  // 48 files: the deletions would reach the bucket and B.
  for (int i = 50; i < 80; ++i) {
    std::filesystem::remove(a_.tree.At("f" + std::to_string(i)));
  }
  EXPECT_EQ(a_.SyncWith(bucket_, SyncRunOptions(), &facts, nullptr),
            kSyncRunTooManyDeletions);
  EXPECT_EQ(facts.refused_side, SIDE_REMOTE);
  EXPECT_EQ(facts.remote_deletions, 30);
  EXPECT_EQ(facts.recorded_files, 48);
  EXPECT_TRUE(Run(b_, bucket_).empty());
  EXPECT_EQ(Snapshot(b_.tree.path()), kept);
}

// A catalog describes the tree of one remote root.  Run against another
// (a path inside the bucket, another endpoint), every record would look
// deleted there and be deleted locally.
TEST_F(SyncRemoteSafetyTest, CatalogBelongsToOneRemoteRoot) {
  a_.Put("a.txt", "alpha", kT1);
  a_.Put("docs/b.txt", "beta", kT1);
  a_.Put("notes/c.txt", "gamma", kT1);
  Run(a_, bucket_);
  const Tree base = Snapshot(a_.tree.path());
  const Names stored = RawS3::ListKeys(bucket_);
  auto expect_refused = [&](const std::string& root) {
    SyncRunFacts facts;
    EXPECT_EQ(a_.SyncWith(root, SyncRunOptions(), &facts, nullptr),
              kSyncRunOtherRemoteRoot)
        << root;
    EXPECT_EQ(Snapshot(a_.tree.path()), base);
    EXPECT_EQ(RawS3::ListKeys(bucket_), stored);
    return facts;
  };
  const SyncRunFacts facts = expect_refused(bucket_ + "\\docs");
  EXPECT_NE(facts.catalog_remote_root.find(Utf8ToU16(bucket_)), std::u16string::npos);
  EXPECT_NE(facts.run_remote_root.find(Utf8ToU16(bucket_ + "\\docs")),
            std::u16string::npos);
  std::vector<SeenAction> actions;
  EXPECT_EQ(a_.Sync(bucket_ + "\\docs", &actions), KELTOS3_SYNC_OTHER_REMOTE_ROOT);

  // Another endpoint (the port of another server) for the same bucket name.
  StoreSettings settings = fixture_.settings();
  settings.use_stub = true;
  fixture_.WriteSettings(settings);
  expect_refused(bucket_);
  settings.use_stub = false;
  fixture_.WriteSettings(settings);

  // A catalog made before roots were recorded takes the root of its next
  // run, and keeps to it.
  std::filesystem::remove(a_.catalog.At(".keltos3/remote-root"));
  EXPECT_TRUE(Run(a_, bucket_).empty());
  expect_refused(bucket_ + "\\docs");
  EXPECT_TRUE(Run(a_, bucket_).empty());
}

TEST_F(SyncRemoteSafetyTest, EntriesBelowDotDirectoriesAreNeverTouched) {
  a_.Put("a.txt", "alpha", kT1);
  a_.Put(".cfg/x", "a's own settings", kT1);
  Run(a_, bucket_);
  {
    // Another writer stored files below a dot-directory of the bucket.
    ScopedFileSystem<CS3FileSystem> s3(new CS3FileSystem());
    s3->SetRoot(Utf8ToU16(bucket_));
    ASSERT_EQ(fstest::PutFile(s3.get(), u"\\.cfg\\x", "remote settings", kT2Text), 0);
    ASSERT_EQ(fstest::PutFile(s3.get(), u"\\.cfg\\y", "more", kT2Text), 0);
  }
  const Names stored = RawS3::ListKeys(bucket_);
  for (int run = 0; run < 2; ++run) {
    EXPECT_TRUE(Run(a_, bucket_).empty());
    Run(b_, bucket_);
  }
  EXPECT_EQ(Snapshot(a_.tree.path()),
            (Tree{{".cfg/", ""}, {".cfg/x", "a's own settings"}, {"a.txt", "alpha"}}));
  EXPECT_EQ(Snapshot(b_.tree.path()), (Tree{{"a.txt", "alpha"}}));
  EXPECT_EQ(RawS3::ListKeys(bucket_), stored);
}

}  // namespace
}  // namespace testsupport::synctest
