// What a synchronisation must never do to the local machine: take a tree it
// could not read whole for a tree of deleted files, write or delete through
// a symbolic link, strip what the user set on a file it replaces, or replace
// or delete a file the user saved while the run was going on.  Two machines
// share one bucket of the S3 test server; every case checks every file of
// both machines afterwards.

#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "KeltoS3.h"
#include "platform/env.h"
#include "platform/file.h"
#include "support/fs_test_util.h"
#include "support/store_fixture.h"
#include "support/sync_tree_util.h"
#include "support/test_servers.h"
#include "support/test_layout.h"

// These scenarios rely on the file times the standard build carries.

namespace testsupport::synctest {
namespace {

using Tree = std::map<std::string, std::string>;

constexpr std::int64_t kT1 = 1275393600;  // 2010-06-01T12:00:00Z
constexpr std::int64_t kT2 = kT1 + 3600;
constexpr std::int64_t kT3 = kT1 + 7200;

// Exit code of a child that could not shed its privileges.
constexpr int kCannotDropPrivileges = 77;

// Runs `body` in a child process that permission checks apply to: as root,
// the child drops the capabilities that override file permissions (the
// files stay root's, so only their owner bits count).  `probe` is a path
// the child must then fail to examine; otherwise the child exits with
// kCannotDropPrivileges.  Returns the child's exit code, or -1.
int RunWithoutPermissionOverride(const std::string& probe,
                                 const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) == 0) {
      for (const int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) {
        data[cap / 32].effective &= ~(1u << (cap % 32));
      }
      ::syscall(SYS_capset, &header, data);
    }
    struct stat st;
    if (::stat(probe.c_str(), &st) == 0 || errno != EACCES) {
      ::_exit(kCannotDropPrivileges);
    }
    ::_exit(body());
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

class SyncLocalSafetyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fixture_.UseServer("synclocal", 1000));
    bucket_ = StoreFixture::UniqueBucket("synclocal-root");
    ASSERT_TRUE(RawS3::CreateBucket(bucket_));
  }

  // Runs `m` and expects a completed run.
  std::vector<SeenAction> Run(const Machine& m) {
    std::vector<SeenAction> actions;
    EXPECT_EQ(m.Sync(bucket_, &actions), KELTOS3_SYNC_OK);
    return actions;
  }

  // A synced with B over `files`; both trees then hold them.
  void Share(const Tree& files) {
    for (const auto& [path, content] : files) a_.Put(path, content, kT1);
    Run(a_);
    Run(b_);
    ASSERT_EQ(Snapshot(b_.tree.path()), Snapshot(a_.tree.path()));
  }

  // Both machines run until neither has anything left to do.
  void Settle() {
    for (int round = 0; round < 3; ++round) {
      Run(a_);
      Run(b_);
    }
    EXPECT_TRUE(Run(a_).empty());
  }

  StoreFixture fixture_;
  std::string bucket_;
  Machine a_;
  Machine b_;
};

// ---- A tree that cannot be read whole ------------------------------------------

// Lists one directory through the real Env, then breaks off after three
// entries, as readdir does with EIO on a network file system.
class BrokenListingEnv : public platform::EnvWrapper {
 public:
  BrokenListingEnv(platform::Env* target, std::u16string broken)
      : EnvWrapper(target), broken_(std::move(broken)) {}

  std::unique_ptr<platform::DirectoryIterator> OpenDirectory(
      const std::u16string& path) override {
    std::unique_ptr<platform::DirectoryIterator> real = EnvWrapper::OpenDirectory(path);
    if (real == nullptr || path != broken_) return real;
    return std::make_unique<Broken>(std::move(real));
  }

 private:
  struct Broken : platform::DirectoryIterator {
    explicit Broken(std::unique_ptr<platform::DirectoryIterator> r) : real(std::move(r)) {}
    bool Next(platform::DirectoryEntry* entry) override {
      return ++seen <= 3 && real->Next(entry);
    }
    bool Failed() const override { return seen > 3; }
    std::unique_ptr<platform::DirectoryIterator> real;
    int seen = 0;
  };
  const std::u16string broken_;
};

// The reported case: a synced directory made readable but not searchable
// (chmod 644) listed its names without their metadata, so a subdirectory
// looked like a file and everything below it looked deleted.  The same for
// a directory of the catalog, whose records would vanish, and for a
// listing that breaks off.
TEST_F(SyncLocalSafetyTest, DirectoriesNotReadWholeRefuseTheRun) {
  Share({{"docs/a", "a"}, {"docs/b", "b"}, {"docs/c", "c"}, {"docs/sub/x.txt", "ex"}});
  const Tree shared = Snapshot(a_.tree.path());
  for (const std::string& dir : {a_.tree.At("docs"), a_.catalog.At("docs")}) {
    ASSERT_EQ(::chmod(dir.c_str(), 0644), 0);
    const int result = RunWithoutPermissionOverride(
        dir + "/a", [&] { return a_.Sync(bucket_, nullptr); });
    ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
    if (result != kCannotDropPrivileges) {
      EXPECT_EQ(result, KELTOS3_SYNC_LOCAL_FAILED) << dir;
    }
  }
  {
    BrokenListingEnv env(&fixture_.env(), fstest::Lib(a_.tree.At("docs")));
    platform::ScopedEnvOverride use(&env);
    EXPECT_EQ(a_.Sync(bucket_, nullptr), KELTOS3_SYNC_LOCAL_FAILED);
  }
  Settle();
  EXPECT_EQ(Snapshot(a_.tree.path()), shared);
  EXPECT_EQ(Snapshot(b_.tree.path()), shared);
}

// ---- Symbolic links ------------------------------------------------------------

// A synced directory moved to another disk and replaced by a link to it:
// the link is not followed, so everything below it would look deleted.
TEST_F(SyncLocalSafetyTest, LinkWhereTheCatalogRecordsADirectoryRefusesTheRun) {
  Share({{"proj/p.txt", "project"}, {"top.txt", "top"}});
  const Tree shared = Snapshot(a_.tree.path());
  const fstest::FsScratchDir disk;
  std::filesystem::rename(a_.tree.At("proj"), disk.At("proj"));
  ASSERT_EQ(::symlink(disk.At("proj").c_str(), a_.tree.At("proj").c_str()), 0);

  EXPECT_EQ(a_.Sync(bucket_, nullptr), KELTOS3_SYNC_LOCAL_FAILED);
  Run(b_);
  EXPECT_EQ(Snapshot(b_.tree.path()), shared);
  EXPECT_EQ(Snapshot(disk.path()), (Tree{{"proj/", ""}, {"proj/p.txt", "project"}}));
}

// Nothing is written through a link: not a download into a linked
// directory the catalog does not know, not a record into a catalog
// directory that was replaced by a link.
TEST_F(SyncLocalSafetyTest, NothingIsWrittenThroughALink) {
  const fstest::FsScratchDir disk;
  fstest::MakeDir(disk.At("proj"));
  fstest::WriteFile(disk.At("proj/p.txt"), "outside the tree");
  b_.Put("proj/p.txt", "from b", kT1);
  Run(b_);
  ASSERT_EQ(::symlink(disk.At("proj").c_str(), a_.tree.At("proj").c_str()), 0);
  // The directory that could not be made is not recorded either, or the
  // next run would find a link where the catalog records a directory.
  Run(a_);
  Run(a_);
  EXPECT_EQ(fstest::ReadFile(disk.At("proj/p.txt")), "outside the tree");
  ASSERT_EQ(::unlink(a_.tree.At("proj").c_str()), 0);
  Settle();  // without the link, the download goes through
  EXPECT_EQ(Snapshot(a_.tree.path()), (Tree{{"proj/", ""}, {"proj/p.txt", "from b"}}));

  // A catalog directory replaced by a link to the user's files.
  std::filesystem::remove_all(a_.catalog.At("proj"));
  ASSERT_EQ(::symlink(disk.At("proj").c_str(), a_.catalog.At("proj").c_str()), 0);
  EXPECT_EQ(a_.Sync(bucket_, nullptr), KELTOS3_SYNC_LOCAL_FAILED);
  EXPECT_EQ(fstest::ReadFile(disk.At("proj/p.txt")), "outside the tree");
  Run(b_);
  EXPECT_EQ(Snapshot(b_.tree.path()), (Tree{{"proj/", ""}, {"proj/p.txt", "from b"}}));
}

// ---- Replacing a file ----------------------------------------------------------

TEST_F(SyncLocalSafetyTest, ReplacedFileKeepsItsModeAndOwner) {
  SKIP_IN_SNAPSHOT_LAYOUT("its edits carry fixed times in the past");
  Share({{"secret.txt", "old secret"}});
  ASSERT_EQ(::chmod(b_.tree.At("secret.txt").c_str(), 0600), 0);
  ASSERT_EQ(::chown(b_.tree.At("secret.txt").c_str(), 1234, 5678), 0);
  a_.Put("secret.txt", "new secret", kT2);
  Run(a_);
  Run(b_);

  const Tree updated{{"secret.txt", "new secret"}};
  EXPECT_EQ(Snapshot(a_.tree.path()), updated);
  EXPECT_EQ(Snapshot(b_.tree.path()), updated);
  struct stat st;
  ASSERT_EQ(::stat(b_.tree.At("secret.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, 1234u);
  EXPECT_EQ(st.st_gid, 5678u);
}

// ---- A file saved during the run -----------------------------------------------

TEST_F(SyncLocalSafetyTest, FileSavedDuringTheRunIsLeftAlone) {
  SKIP_IN_SNAPSHOT_LAYOUT("its edits carry fixed times in the past");
  Share({{"a.txt", "a base"}, {"b.txt", "b base"}});
  b_.Put("a.txt", "a from b", kT2);
  std::filesystem::remove(b_.tree.At("b.txt"));
  b_.Put("c.txt", "c from b", kT2);
  Run(b_);

  // A's run downloads c.txt first; right after it, A's user saves a.txt and
  // b.txt, which the run was about to replace and delete.
  bool saved = false;
  std::vector<SeenAction> actions;
  EXPECT_EQ(a_.Sync(bucket_, &actions, 0,
                    [&](const SeenAction&) {
                      if (saved) return;
                      saved = true;
                      a_.Put("a.txt", "a saved", kT3);
                      a_.Put("b.txt", "b saved", kT3);
                    }),
            KELTOS3_SYNC_OK);
  EXPECT_EQ(Snapshot(a_.tree.path()),
            (Tree{{"a.txt", "a saved"}, {"b.txt", "b saved"}, {"c.txt", "c from b"}}));
  std::vector<std::string> left;
  for (const SeenAction& x : actions) {
    if (x.target == 1 && x.result != 0) left.push_back(x.name + " " + std::to_string(x.result));
    if (x.target == 0 && x.outcome == KELTOS3_SYNC_SKIPPED) left.push_back(x.name + " skipped");
  }
  EXPECT_EQ(left, (std::vector<std::string>{"\\a.txt 2", "\\a.txt skipped",
                                            "\\b.txt 2", "\\b.txt skipped"}));

  // The next runs see the saves as edits: the later edit of a.txt wins; a
  // deletion on the other machine wins over an edit of b.txt, as it would
  // had the edit come before the run.
  Settle();
  const Tree settled{{"a.txt", "a saved"}, {"c.txt", "c from b"}};
  EXPECT_EQ(Snapshot(a_.tree.path()), settled);
  EXPECT_EQ(Snapshot(b_.tree.path()), settled);
}

}  // namespace
}  // namespace testsupport::synctest

