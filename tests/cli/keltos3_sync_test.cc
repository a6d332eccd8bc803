// `keltos3 sync` driven as a user drives it: real trees, real keltos3
// processes against the S3 test server, exit codes and output checked, and
// every file of every machine compared afterwards.

#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/fs_test_util.h"
#include "support/store_fixture.h"
#include "support/subprocess.h"
#include "support/sync_tree_util.h"
#include "support/test_layout.h"
#include "support/test_paths.h"
#include "support/test_servers.h"

namespace testsupport::synctest {
namespace {

using Tree = std::map<std::string, std::string>;
using Env = std::map<std::string, std::optional<std::string>>;

const std::string kBinary = std::string(kTestBinaryDir) + "/keltos3";
constexpr std::int64_t kT1 = 1275393600;  // 2010-06-01T12:00:00Z

class Keltos3SyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TestServers::Get().ok) GTEST_SKIP() << TestServers::Get().error;
    ASSERT_TRUE(store_.UseServer("clisync", 0));
    bucket_ = StoreFixture::UniqueBucket("clisync-root");
    ASSERT_TRUE(RawS3::CreateBucket(bucket_));
  }

  Env ProcessEnv() const {
    return {{"KELTOS3_INI", store_.ini().ini_posix_path()},
            {"KELTOS3_TRACE", std::nullopt},
            {"LD_LIBRARY_PATH", TestLibraryDir()}};
  }

  // Adds "KEY=value" lines to the INI.
  void Settings(const std::string& lines) {
    StoreSettings settings = store_.settings();
    settings.extra = lines;
    store_.WriteSettings(settings);
  }

  // keltos3 sync OPTIONS... TREE CATALOG BUCKET, optionally behind
  // `prefix` (a program that runs the rest of the command line).
  std::vector<std::string> Command(const Machine& m, const std::vector<std::string>& options,
                                   const std::vector<std::string>& prefix = {},
                                   const std::string& bucket = "") const {
    std::vector<std::string> argv = prefix;
    argv.push_back(kBinary);
    argv.push_back("sync");
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(m.tree.path());
    argv.push_back(m.catalog.path());
    argv.push_back(bucket.empty() ? bucket_ : bucket);
    return argv;
  }

  ProcessResult Sync(const Machine& m, const std::vector<std::string>& options = {},
                     const std::vector<std::string>& prefix = {},
                     const std::string& bucket = "") {
    return RunProcess(Command(m, options, prefix, bucket), ProcessEnv());
  }

  // The count before `what` in the summary line ("summary: 60 uploaded").
  static int Summary(const std::string& out, const std::string& what) {
    const size_t line = out.find("summary: ");
    if (line == std::string::npos) return -1;
    size_t at = out.find(" " + what, line);
    if (at == std::string::npos || at > out.find('\n', line)) return -1;
    size_t begin = at;
    while (begin > 0 && out[begin - 1] >= '0' && out[begin - 1] <= '9') --begin;
    return begin == at ? -1 : std::stoi(out.substr(begin, at - begin));
  }

  mutable StoreFixture store_;
  std::string bucket_;
  Machine a_;
  Machine b_;
};

Tree Files(int count, const std::string& prefix = "f") {
  Tree files;
  for (int i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%03d.txt", prefix.c_str(), i);
    files[name] = "content of " + std::string(name);
  }
  return files;
}

// More changes than one run's actions (95 with the default capacity): one
// command carries them all, over several runs, and says so truthfully;
// what is left out by design is counted, a failure is exit 3 and names
// the side that failed.
TEST_F(Keltos3SyncTest, CarriesTheWholeTreeAndTellsTheTruth) {
  const Tree files = Files(60);
  for (const auto& [path, content] : files) a_.Put(path, content, kT1);
  a_.Put(".git/config", "not synchronised", kT1);
  ASSERT_EQ(::symlink("f000.txt", a_.tree.At("alias").c_str()), 0);

  ProcessResult r = Sync(a_, {"--dry-run"});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("more than one run's worth of work is waiting"), std::string::npos) << r.out;

  r = Sync(a_);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_EQ(Summary(r.out, "uploaded"), 60) << r.out;
  EXPECT_EQ(Summary(r.out, "failed"), 0) << r.out;
  EXPECT_NE(r.out.find("2 runs"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("not synchronised by design: 1 dot-directory, 1 symbolic link"),
            std::string::npos)
      << r.out;

  r = Sync(b_, {"--json"});
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  const nlohmann::json doc = nlohmann::json::parse(r.out, nullptr, false);
  ASSERT_FALSE(doc.is_discarded()) << r.out;
  EXPECT_EQ(doc["status"], "done");
  EXPECT_EQ(doc["summary"]["downloaded"], 60);
  EXPECT_EQ(doc["summary"]["failed"], 0);
  EXPECT_EQ(doc["summary"]["bytes_received"], 60 * files.begin()->second.size());
  EXPECT_EQ(Snapshot(b_.tree.path()), files);

  // Nothing left: one run, nothing carried.
  r = Sync(a_);
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_EQ(Summary(r.out, "uploaded"), 0) << r.out;
  EXPECT_NE(r.out.find("1 run "), std::string::npos) << r.out;

  // A file another process holds locked cannot be sent: exit 3, the local
  // side named, and sent by the next run once it is free.  (The
  // snapshot-assisted layout sends it from a snapshot copy.)
  if (::testsupport::IsSnapshotRun()) return;
  a_.Put("f001.txt", "edited", kT1 + 60);
  {
    fstest::LockHolder holder(a_.tree.At("f001.txt"), fstest::LockHolder::Kind::kFlock);
    ASSERT_TRUE(holder.locked());
    r = Sync(a_);
    EXPECT_EQ(r.exit_code, 3) << r.out;
    EXPECT_NE(r.out.find("FAILED: upload \\f001.txt (changed) (local side: "), std::string::npos)
        << r.out;
  }
  EXPECT_EQ(Sync(a_).exit_code, 0);
  EXPECT_EQ(Sync(b_).exit_code, 0);
  EXPECT_EQ(fstest::ReadFile(b_.tree.At("f001.txt")), "edited");
}

// A name that cannot be a key is never skipped in silence and never shares
// a key with another: it is left out, named, counted, and exit 5.
TEST_F(Keltos3SyncTest, NamesThatCannotBeKeysAreLeftOutAndNamed) {
  a_.Put("ok.txt", "fine", kT1);
  a_.Put("back\\slash.txt", "a backslash", kT1);
  a_.Put("\xff.txt", "not UTF-8 one", kT1);
  a_.Put("\xfe.txt", "not UTF-8 two", kT1);
  a_.Put(".keltos3-0123456789abcdef.keltos3-tmp", "looks like a work file", kT1);

  ProcessResult r = Sync(a_);
  EXPECT_EQ(r.exit_code, 5) << r.out << r.err;
  EXPECT_EQ(Summary(r.out, "uploaded"), 1) << r.out;
  for (const char* line :
       {"LEFT OUT: \\back\\slash.txt (its name holds \\", "LEFT OUT: \\.keltos3-0123456789abcdef",
        "1 name holding \\, 2 names that are not UTF-8, 1 file named like a work file"}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
  }

  r = Sync(a_, {"--json"});
  EXPECT_EQ(r.exit_code, 5);
  const nlohmann::json doc = nlohmann::json::parse(r.out, nullptr, false);
  ASSERT_FALSE(doc.is_discarded()) << r.out;
  EXPECT_EQ(doc["status"], "left-out");
  EXPECT_EQ(doc["left_out"].size(), 4u);
  EXPECT_EQ(doc["summary"]["not_synchronised"]["name-not-utf8"], 2);

  EXPECT_EQ(Sync(b_).exit_code, 0);
  EXPECT_EQ(Snapshot(b_.tree.path()), (Tree{{"ok.txt", "fine"}}));

  // Keys a Windows tree cannot hold are left out of one and named too.
  a_.Put("CON.txt", "a device name", kT1);
  a_.Put("OK.TXT", "differs only in case from ok.txt", kT1);
  EXPECT_EQ(Sync(a_).exit_code, 5);
  Settings("SyncLocalNames=windows\n");
  r = Sync(b_);
  EXPECT_EQ(r.exit_code, 5) << r.out << r.err;
  for (const char* line :
       {"LEFT OUT: \\CON.txt (a name Windows refuses", "LEFT OUT: \\OK.TXT (differs only in case",
        "1 name that differs only in case from another, 1 name Windows refuses"}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
  }
  EXPECT_EQ(Snapshot(b_.tree.path()), (Tree{{"ok.txt", "fine"}}));
}

// With SyncConflicts=keep an edit on both sides is named as a conflict and
// both contents stay on both machines; a run that would delete most of the
// recorded files, or one against another remote root than the catalog's,
// is refused with exit 4, changes nothing, and says what to do.
TEST_F(Keltos3SyncTest, ConflictsAreNamedAndUnsafeRunsRefused) {
  const Tree files = Files(10);
  for (const auto& [path, content] : files) a_.Put(path, content, kT1);
  ASSERT_EQ(Sync(a_).exit_code, 0);
  ASSERT_EQ(Sync(b_).exit_code, 0);

  if (::testsupport::IsSnapshotRun()) return;  // the later edit wins by its file time
  Settings("SyncConflicts=keep\n");
  a_.Put("f008.txt", "edited on a", kT1 + 60);
  b_.Put("f008.txt", "edited on b", kT1 + 120);
  ASSERT_EQ(Sync(a_).exit_code, 0);
  ProcessResult conflict = Sync(b_);
  EXPECT_EQ(conflict.exit_code, 0) << conflict.out << conflict.err;
  EXPECT_NE(conflict.out.find("CONFLICT: \\f008.txt was changed on both sides; the local version "
                              "is kept, the other is kept as \\f008 (conflict copy 2010-06-01 "
                              "12-01-00).txt"),
            std::string::npos)
      << conflict.out;
  ASSERT_EQ(Sync(a_).exit_code, 0);
  Tree both = files;
  both["f008.txt"] = "edited on b";
  both["f008 (conflict copy 2010-06-01 12-01-00).txt"] = "edited on a";
  EXPECT_EQ(Snapshot(a_.tree.path()), both);
  EXPECT_EQ(Snapshot(b_.tree.path()), both);
  const Tree before = Snapshot(b_.tree.path());

  // Most of a's files gone (a restore of an old copy, a wrong mount): a
  // refuses, b's tree keeps every file, until each machine is told.
  for (int i = 0; i < 8; ++i) std::filesystem::remove(a_.tree.At("f00" + std::to_string(i) + ".txt"));
  ProcessResult r = Sync(a_);
  EXPECT_EQ(r.exit_code, 4) << r.out << r.err;
  EXPECT_NE(r.err.find("the run would delete 8 of the "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("run again with --max-delete 100"), std::string::npos) << r.err;
  EXPECT_EQ(Sync(b_).exit_code, 0);
  EXPECT_EQ(Snapshot(b_.tree.path()), before);
  EXPECT_EQ(Sync(a_, {"--max-delete", "100"}).exit_code, 0);
  EXPECT_EQ(Sync(b_).exit_code, 4);
  EXPECT_EQ(Sync(b_, {"--max-delete", "100"}).exit_code, 0);
  EXPECT_EQ(Snapshot(b_.tree.path()), Snapshot(a_.tree.path()));
  EXPECT_EQ(Snapshot(b_.tree.path()).count("f000.txt"), 0u);

  // The same catalog against another bucket: refused before anything.
  const std::string other = StoreFixture::UniqueBucket("clisync-other");
  ASSERT_TRUE(RawS3::CreateBucket(other));
  const Tree kept = Snapshot(a_.tree.path());
  r = Sync(a_, {}, {}, other);
  EXPECT_EQ(r.exit_code, 4) << r.out << r.err;
  EXPECT_NE(r.err.find("use a new catalog folder to pair this tree with another remote root"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(Snapshot(a_.tree.path()), kept);
}

// A file only the owner may read, or a tree on a read-only mount, is read
// for the upload, with no write access; a file that cannot be read at all
// fails on the local side, and says so.
TEST_F(Keltos3SyncTest, ReadOnlyFilesAndMountsAreStored) {
  a_.Put("ro.txt", "read-only", kT1);
  a_.Put("secret.txt", "nobody may read", kT1);
  ASSERT_EQ(::chmod(a_.tree.At("ro.txt").c_str(), 0444), 0);
  ASSERT_EQ(::chmod(a_.tree.At("secret.txt").c_str(), 0), 0);
  // As root, without the capabilities that override file permissions.
  const std::vector<std::string> unprivileged = {"/usr/bin/setpriv", "--bounding-set",
                                                 "-dac_override,-dac_read_search", "--"};
  ProcessResult r = Sync(a_, {}, unprivileged);
  EXPECT_EQ(r.exit_code, 3) << r.out << r.err;
  EXPECT_NE(r.out.find("upload \\ro.txt\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("FAILED: upload \\secret.txt (local side: "), std::string::npos) << r.out;

  EXPECT_EQ(Sync(b_).exit_code, 0);
  EXPECT_EQ(Snapshot(b_.tree.path()), (Tree{{"ro.txt", "read-only"}}));

  // A tree mounted read-only for the run, synchronised with a bucket of
  // its own.
  const std::string other = StoreFixture::UniqueBucket("clisync-ro");
  ASSERT_TRUE(RawS3::CreateBucket(other));
  Machine c;
  Machine d;
  c.Put("mounted.txt", "on a read-only mount", kT1);
  r = Sync(c, {},
           {"/usr/bin/unshare", "--mount", "--", "/bin/sh", "-c",
            "mount --bind \"$1\" \"$1\" && mount -o remount,bind,ro \"$1\" && shift && "
            "exec \"$@\"",
            "sh", c.tree.path()},
           other);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("upload \\mounted.txt\n"), std::string::npos) << r.out;
  EXPECT_EQ(Sync(d, {}, {}, other).exit_code, 0);
  EXPECT_EQ(Snapshot(d.tree.path()), (Tree{{"mounted.txt", "on a read-only mount"}}));
}

// Ctrl-C: the first one lets the action in progress finish, records it,
// prints the summary and exits 130, so the next run sends only the rest;
// a second one ends the program at once.
TEST_F(Keltos3SyncTest, CtrlCStopsCleanlyAndASecondOneAtOnce) {
  Settings("SyncCapacity=1000\n");
  const Tree files = Files(150);
  for (const auto& [path, content] : files) a_.Put(path, content, kT1);
  {
    BackgroundProcess sync(Command(a_, {}), ProcessEnv());
    ASSERT_TRUE(sync.WaitForOutput("upload ", 120));
    sync.Signal(SIGINT);
    const ProcessResult r = sync.Wait(120);
    EXPECT_EQ(r.exit_code, 130) << r.out << r.err;
    EXPECT_NE(r.out.find("interrupted: stopped after the action in progress"), std::string::npos)
        << r.out;
    const int first = Summary(r.out, "uploaded");
    ASSERT_GT(first, 0) << r.out;
    ASSERT_LT(first, 150) << r.out;
    const ProcessResult rest = Sync(a_);
    EXPECT_EQ(rest.exit_code, 0) << rest.out;
    EXPECT_EQ(Summary(rest.out, "uploaded"), 150 - first) << rest.out;
  }
  EXPECT_EQ(Sync(b_).exit_code, 0);
  EXPECT_EQ(Snapshot(b_.tree.path()), files);

  // A large file is under way when the second Ctrl-C comes: the program
  // ends at once, without a summary; the next run sends that file whole.
  // The trace on stderr shows when its first chunk went up, so both
  // signals come while it is in flight.
  const std::string other = StoreFixture::UniqueBucket("clisync-ctrlc");
  ASSERT_TRUE(RawS3::CreateBucket(other));
  Machine c;
  Machine d;
  const std::string large = RandomBytes(24 << 20, 7);
  c.Put("a.txt", "small", kT1);
  c.Put("b.bin", large, kT1);
  {
    Env traced = ProcessEnv();
    traced["KELTOS3_TRACE"] = "stderr";
    BackgroundProcess sync(Command(c, {}, {}, other), traced);
    ASSERT_TRUE(sync.WaitForError("b.bin_", 120));
    sync.Signal(SIGINT);
    ASSERT_TRUE(sync.WaitForError("stopping after", 60));
    sync.Signal(SIGINT);
    const ProcessResult r = sync.Wait(120);
    EXPECT_EQ(r.exit_code, 130) << r.out << r.err;
    EXPECT_EQ(r.out.find("summary:"), std::string::npos) << r.out;
  }
  const ProcessResult rest = Sync(c, {}, {}, other);
  EXPECT_EQ(rest.exit_code, 0) << rest.out;
  EXPECT_EQ(Summary(rest.out, "uploaded"), 1) << rest.out;
  EXPECT_EQ(Sync(d, {}, {}, other).exit_code, 0);
  EXPECT_EQ(Snapshot(d.tree.path()), (Tree{{"a.txt", "small"}, {"b.bin", large}}));
}

}  // namespace
}  // namespace testsupport::synctest
