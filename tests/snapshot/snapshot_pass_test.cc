// The snapshot pass of the engine: transfers whose local source is held in
// use by a second process are deferred and carried from SnapKeeper's
// snapshot copies at the end of the run.  The local tree and the catalog are
// the real ones on disk; the remote side is an in-memory tree that reads its
// sources through their streams, as the S3 tree does.

#include <stdlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "common/wide_string.h"
#include "fs/local_file_system.h"
#include "fs/virtual_file_system.h"
#include "support/fs_test_util.h"
#include "support/test_platform.h"
#include "sync/sync_engine.h"
#include "support/test_layout.h"

namespace testsupport::fstest {
namespace {

constexpr char16_t kTime1[] = u"2010-06-01T12:00:00.000Z";
constexpr std::int64_t kTime1Unix = 1275393600;
constexpr std::int64_t kTime2Unix = 1296705906;  // 2011-02-03T04:05:06Z

// A remote side in memory.  Copies into it read the source's stream in
// blocks, like the S3 tree's uploads; each call is logged with the source
// path it read from ("CopyFileFrom \a.txt <- <sourceDir>|<sourceName>").
class ReadingTree final : public CQUEXFSManager {
 public:
  ReadingTree() { SetRoot(u"bucket"); }

  // A copy reading from a snapshot path (empty sourceDir) returns this.
  int32_t snapshot_copy_result = 0;
  std::vector<std::string> calls;
  std::map<std::u16string, std::string> content;  // by key

  int32_t LoadTree(std::u16string) override { return 0; }
  int32_t LoadTree() override { return 0; }
  int32_t LoadFiles(std::u16string) override { return 0; }
  int32_t LoadFiles() override { return 0; }
  int32_t LoadDirs(std::u16string) override { return 0; }
  int32_t LoadDirs() override { return 0; }
  int32_t LoadTreeSaveFiles(std::u16string) override { return 0; }
  int32_t LoadTreeSaveFiles() override { return 0; }
  int32_t CreateDir(std::u16string, std::u16string) override { return 0; }
  int32_t CreateDir(std::u16string) override { return 0; }
  int32_t RemoveDir(std::u16string, std::u16string) override { return 0; }
  int32_t RemoveDir(std::u16string) override { return 0; }
  int32_t ReservedOp(std::u16string, std::u16string, std::u16string,
                     int32_t) override {
    return 0;
  }
  int32_t ReservedOp(std::u16string, std::u16string, int32_t) override { return 0; }
  int32_t CopyFileFrom(std::u16string, std::u16string name, CQUEXFSManager* source,
                       std::u16string sourceDir, std::u16string sourceName) override {
    return Receive("CopyFileFrom", name, source, sourceDir, sourceName);
  }
  int32_t WriteFileFrom(std::u16string, std::u16string, CQUEXFSManager*) override {
    return 1;
  }
  int32_t WriteFileFrom(std::u16string, CQUEXFSManager*) override { return 1; }
  int32_t RemoveFile(std::u16string, std::u16string name) override {
    content.erase(name);
    return 0;
  }
  int32_t RemoveFile(std::u16string path) override { return RemoveFile(root, path); }
  int32_t ReplaceFileFrom(std::u16string, std::u16string name, std::u16string,
                          CQUEXFSManager* source, std::u16string sourceDir,
                          std::u16string sourceName) override {
    return Receive("ReplaceFileFrom", name, source, sourceDir, sourceName);
  }
  int32_t UpdateFileFrom(std::u16string, std::u16string name, std::u16string,
                         CQUEXFSManager* source, int32_t) override {
    return Receive("UpdateFileFrom", name, source, source->GetRoot(), name);
  }
  int32_t UpdateFileFrom(std::u16string path, std::u16string time,
                         CQUEXFSManager* source, int32_t reserved) override {
    return UpdateFileFrom(root, path, time, source, reserved);
  }
  int32_t OpenStream(std::u16string, std::u16string) override { return 3; }
  int32_t OpenStream(std::u16string) override { return 3; }
  int32_t ReadStream(uint8_t*, int32_t) override { return -1; }
  int32_t SetModifiedTime(std::u16string, std::u16string, std::u16string) override {
    return 0;
  }
  std::u16string GetModifiedTime(std::u16string) override { return std::u16string(); }
  int32_t WriteStream(const uint8_t*, int32_t) override { return 1; }
  int32_t CloseStream() override { return 1; }
  int32_t Release() override {
    delete this;
    return 0;
  }

 private:
  ~ReadingTree() = default;

  int32_t Receive(const std::string& op, const std::u16string& name,
                  CQUEXFSManager* source, const std::u16string& dir,
                  const std::u16string& file) {
    calls.push_back(op + " " + U16ToUtf8(name) + " <- " + U16ToUtf8(dir) + "|" +
                    U16ToUtf8(file));
    const int32_t opened = source->OpenStream(dir, file);
    if (opened != 0) return opened;
    std::string data;
    uint8_t buffer[kCopyBlockSize];
    int32_t n;
    do {
      n = source->ReadStream(buffer, kCopyBlockSize);
      if (n > 0) data.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
    } while (n == kCopyBlockSize);
    source->CloseStream();
    if (n < 0) return 1;
    if (dir.empty() && snapshot_copy_result != 0) return snapshot_copy_result;
    content[name] = data;
    return 0;
  }
};

class Outcomes : public SyncObserver {
 public:
  void OnAction(const std::u16string& key, const SyncAction&, Outcome outcome,
                int32_t result) override {
    seen.push_back(U16ToUtf8(key) + (outcome == Outcome::kSkipped
                                         ? " skipped"
                                         : " " + std::to_string(result)));
  }
  std::vector<std::string> seen;
};

// One run over a local tree and a catalog on disk and the in-memory remote
// side, with the agent's copies and call log in scratch directories.
class SnapshotPassTest : public ::testing::Test {
 protected:
  SnapshotPassTest() {
    MakeDir(scratch_.At("local"));
    MakeDir(scratch_.At("catalog"));
    MakeDir(scratch_.At("agent"));
    const char* tmp = getenv("TMPDIR");
    had_tmpdir_ = tmp != nullptr;
    if (had_tmpdir_) saved_tmpdir_ = tmp;
    SetEnv("TMPDIR", scratch_.At("agent"));
    SetEnv("KELTOS3_SNAPKEEPER_LOG", scratch_.At("agent.log"));
  }
  ~SnapshotPassTest() override {
    if (had_tmpdir_) {
      SetEnv("TMPDIR", saved_tmpdir_);
    } else {
      UnsetEnv("TMPDIR");
    }
    UnsetEnv("KELTOS3_SNAPKEEPER_LOG");
    UnsetEnv("KELTOS3_SNAPKEEPER_FAIL");
  }

  std::string Local(const std::string& name) const { return scratch_.At("local/" + name); }
  std::string Catalog(const std::string& name) const {
    return scratch_.At("catalog/" + name);
  }
  std::u16string LocalRoot() const { return Lib(scratch_.At("local")); }

  // Loads the two trees on disk and runs one synchronisation.
  void Run(CSyncEngine* engine) {
    local_->LoadTree();
    catalog_->LoadTree();
    engine->SetObserver(&outcomes_);
    engine->RunSync(local_.get(), remote_.get(), catalog_.get());
  }

  // The agent's log lines since the last call, then the log is emptied.
  std::vector<std::string> AgentLog() {
    std::vector<std::string> lines;
    std::ifstream in(scratch_.At("agent.log"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::ofstream truncate(scratch_.At("agent.log"), std::ios::trunc);
    return lines;
  }

  // The lines of the log that start with `word` + " ".
  static std::vector<std::string> Lines(const std::vector<std::string>& log,
                                        const std::string& word) {
    std::vector<std::string> out;
    for (const std::string& line : log) {
      if (line.rfind(word + " ", 0) == 0) out.push_back(line.substr(word.size() + 1));
    }
    return out;
  }

  static std::vector<std::string> DeferredKeys(const CSyncEngine& engine) {
    std::vector<std::string> keys;
    const SyncActionTable& t = engine.DeferredActions();
    for (int i = 0; i < t.Count(); ++i) {
      if (!t.ValueAt(i).m_strName.empty()) keys.push_back(U16ToUtf8(t.KeyAt(i)));
    }
    return keys;
  }

  FsScratchDir scratch_;
  std::string saved_tmpdir_;
  bool had_tmpdir_ = false;
  ScopedFileSystem<CLocalFileSystem> local_{[this] {
    auto* fs = new CLocalFileSystem();
    fs->SetRoot(Lib(scratch_.At("local")));
    return fs;
  }()};
  ScopedFileSystem<CVirtualFileSystem> catalog_{[this] {
    auto* fs = new CVirtualFileSystem();
    fs->SetRoot(Lib(scratch_.At("catalog")));
    return fs;
  }()};
  ScopedFileSystem<ReadingTree> remote_{new ReadingTree()};
  Outcomes outcomes_;
};

TEST_F(SnapshotPassTest, NoFileInUseCallsNoAgent) {
  SKIP_IN_STANDARD_LAYOUT("the snapshot-assisted library's own cases");
  WriteFile(Local("a.txt"), "alpha");
  CSyncEngine engine;
  Run(&engine);
  EXPECT_EQ(remote_->content[u"\\a.txt"], "alpha");
  EXPECT_TRUE(PathExists(Catalog("a.txt")));
  EXPECT_TRUE(DeferredKeys(engine).empty());
  EXPECT_EQ(engine.DeferredActions().Count(), 5);  // the group headers
  EXPECT_TRUE(AgentLog().empty());                 // not even constructed
}

class SnapshotPassLockTest : public SnapshotPassTest,
                             public ::testing::WithParamInterface<LockHolder::Kind> {};

TEST_P(SnapshotPassLockTest, InUseAddedFileIsCarriedFromTheSnapshotInTheSameRun) {
  SKIP_IN_STANDARD_LAYOUT("the snapshot-assisted library's own cases");
  WriteFile(Local("a.txt"), PatternText(5000));
  WriteFile(Local("free.txt"), "free");
  // Times of their own, and records that take the local files' times as
  // the driver's catalog does: the next run compares the two, which must
  // not depend on the second the placeholders happen to be written in.
  SetMTime(Local("a.txt"), kTime1Unix);
  SetMTime(Local("free.txt"), kTime1Unix);
  catalog_->SetLiveSides(local_.get(), nullptr);
  LockHolder holder(Local("a.txt"), GetParam());
  ASSERT_TRUE(holder.locked());

  CSyncEngine engine;
  Run(&engine);

  // Both halves of the in-use file were deferred; the free file was not.
  EXPECT_EQ(DeferredKeys(engine), (std::vector<std::string>{"FILEADD00001", "FILEADD00002"}));
  const std::vector<std::string> log = AgentLog();
  EXPECT_EQ(Lines(log, "start"), std::vector<std::string>{"2"});
  const std::string source = U16ToUtf8(LocalRoot()) + "\\a.txt";
  EXPECT_EQ(Lines(log, "source"),
            (std::vector<std::string>{"0 " + source, "1 " + source}));
  const std::vector<std::string> outputs = Lines(log, "output");
  ASSERT_EQ(outputs.size(), 2u);
  EXPECT_EQ(Lines(log, "result"), std::vector<std::string>{"0"});
  EXPECT_EQ(std::count(log.begin(), log.end(), "complete"), 1);
  EXPECT_EQ(log.back(), "destroy");

  // The first walk failed with 2 and skipped the catalog; the pass read the
  // remote copy from snapshot path 0.
  EXPECT_EQ(remote_->calls,
            (std::vector<std::string>{
                "CopyFileFrom \\a.txt <- " + U16ToUtf8(LocalRoot()) + "|\\a.txt",
                "CopyFileFrom \\free.txt <- " + U16ToUtf8(LocalRoot()) + "|\\free.txt",
                "CopyFileFrom \\a.txt <- |" + outputs[0].substr(2)}));
  EXPECT_EQ(remote_->content[u"\\a.txt"], PatternText(5000));
  EXPECT_EQ(remote_->content[u"\\free.txt"], "free");
  EXPECT_EQ(MTime(Catalog("a.txt")).tv_sec, kTime1Unix);
  EXPECT_EQ(MTime(Catalog("free.txt")).tv_sec, kTime1Unix);
  EXPECT_EQ(outcomes_.seen,
            (std::vector<std::string>{"FILEADD00001 2", "FILEADD00002 skipped",
                                      "FILEADD00003 0", "FILEADD00004 0",
                                      "FILEADD00001 0", "FILEADD00002 0"}));
  // The copies are gone, and the local file is as it was.
  EXPECT_TRUE(ListNames(scratch_.At("agent")).empty());
  EXPECT_EQ(ReadFile(Local("a.txt")), PatternText(5000));

  // The next run, with the remote side listing both files as the catalog
  // recorded them, finds nothing to do.
  catalog_->LoadTree();
  remote_->fileMap = catalog_->fileMap;
  CSyncEngine next;
  Run(&next);
  EXPECT_EQ(next.Actions().Count(), 5);
}

INSTANTIATE_TEST_SUITE_P(Locks, SnapshotPassLockTest,
                         ::testing::Values(LockHolder::Kind::kFlock,
                                           LockHolder::Kind::kFcntl),
                         [](const auto& info) {
                           return info.param == LockHolder::Kind::kFlock ? "Flock"
                                                                         : "Fcntl";
                         });

// The agent's list holds the deferred FILEADD actions first, then the
// FILEUPDATE ones, each group in key order; an update is retried with
// ReplaceFileFrom from its snapshot path.
TEST_F(SnapshotPassTest, AddsComeBeforeUpdatesAndUpdatesReplaceFromTheSnapshot) {
  SKIP_IN_STANDARD_LAYOUT("the snapshot-assisted library's own cases");
  WriteFile(Local("a.txt"), "updated a");
  SetMTime(Local("a.txt"), kTime2Unix);
  WriteFile(Catalog("a.txt"), "");
  SetMTime(Catalog("a.txt"), kTime1Unix);
  remote_->fileMap.Set(u"\\a.txt", kTime1);
  WriteFile(Local("b.txt"), "new b");
  WriteFile(Local("c.txt"), "new c");
  LockHolder lock_a(Local("a.txt"), LockHolder::Kind::kFlock);
  LockHolder lock_b(Local("b.txt"), LockHolder::Kind::kFcntl);
  LockHolder lock_c(Local("c.txt"), LockHolder::Kind::kFlock);
  ASSERT_TRUE(lock_a.locked() && lock_b.locked() && lock_c.locked());

  CSyncEngine engine;
  Run(&engine);

  // a's update was emitted first, but the adds of b and c lead the list.
  EXPECT_EQ(DeferredKeys(engine),
            (std::vector<std::string>{"FILEADD00003", "FILEADD00004", "FILEADD00005",
                                      "FILEADD00006", "FILEUPDATE00001",
                                      "FILEUPDATE00002"}));
  const std::vector<std::string> log = AgentLog();
  const std::string root = U16ToUtf8(LocalRoot());
  EXPECT_EQ(Lines(log, "source"),
            (std::vector<std::string>{"0 " + root + "\\b.txt", "1 " + root + "\\b.txt",
                                      "2 " + root + "\\c.txt", "3 " + root + "\\c.txt",
                                      "4 " + root + "\\a.txt", "5 " + root + "\\a.txt"}));
  const std::vector<std::string> outputs = Lines(log, "output");
  ASSERT_EQ(outputs.size(), 6u);
  ASSERT_EQ(remote_->calls.size(), 6u);
  EXPECT_EQ(remote_->calls[3], "CopyFileFrom \\b.txt <- |" + outputs[0].substr(2));
  EXPECT_EQ(remote_->calls[4], "CopyFileFrom \\c.txt <- |" + outputs[2].substr(2));
  EXPECT_EQ(remote_->calls[5], "ReplaceFileFrom \\a.txt <- |" + outputs[4].substr(2));
  EXPECT_EQ(remote_->content[u"\\a.txt"], "updated a");
  EXPECT_EQ(remote_->content[u"\\b.txt"], "new b");
  EXPECT_EQ(remote_->content[u"\\c.txt"], "new c");
  // The catalog took the update (a fresh placeholder) and both adds.
  EXPECT_GT(MTime(Catalog("a.txt")).tv_sec, kTime2Unix);
  EXPECT_TRUE(PathExists(Catalog("b.txt")));
  EXPECT_TRUE(PathExists(Catalog("c.txt")));
}

// A remote change brought onto a local file in use fails at the target,
// not at a local source: it is not deferred and waits for the next run.
TEST_F(SnapshotPassTest, RemoteUpdateOntoAnInUseLocalFileIsNotDeferred) {
  SKIP_IN_STANDARD_LAYOUT("the snapshot-assisted library's own cases");
  WriteFile(Local("a.txt"), "local a");
  SetMTime(Local("a.txt"), kTime1Unix);
  WriteFile(Catalog("a.txt"), "");
  SetMTime(Catalog("a.txt"), kTime1Unix);
  remote_->fileMap.Set(u"\\a.txt", u"2011-02-03T04:05:06.000Z");
  LockHolder holder(Local("a.txt"), LockHolder::Kind::kFlock);
  ASSERT_TRUE(holder.locked());

  CSyncEngine engine;
  Run(&engine);
  EXPECT_EQ(outcomes_.seen,
            (std::vector<std::string>{"FILEUPDATE00001 2", "FILEUPDATE00002 skipped"}));
  EXPECT_TRUE(DeferredKeys(engine).empty());
  EXPECT_TRUE(AgentLog().empty());
  EXPECT_EQ(ReadFile(Local("a.txt")), "local a");
  EXPECT_EQ(MTime(Catalog("a.txt")).tv_sec, kTime1Unix);  // catalog as it was
}

TEST_F(SnapshotPassTest, FailingAgentLeavesTheFileForTheNextRun) {
  SKIP_IN_STANDARD_LAYOUT("the snapshot-assisted library's own cases");
  WriteFile(Local("a.txt"), "alpha");
  SetEnv("KELTOS3_SNAPKEEPER_FAIL", "1");
  {
    LockHolder holder(Local("a.txt"), LockHolder::Kind::kFlock);
    ASSERT_TRUE(holder.locked());
    CSyncEngine engine;
    Run(&engine);
    EXPECT_EQ(DeferredKeys(engine), (std::vector<std::string>{"FILEADD00001", "FILEADD00002"}));
  }
  const std::vector<std::string> log = AgentLog();
  EXPECT_EQ(Lines(log, "result"), std::vector<std::string>{"1"});
  EXPECT_TRUE(Lines(log, "output").empty());
  EXPECT_EQ(std::count(log.begin(), log.end(), "complete"), 1);
  EXPECT_EQ(std::count(log.begin(), log.end(), "construct"), 1);
  EXPECT_EQ(std::count(log.begin(), log.end(), "destroy"), 1);
  EXPECT_EQ(remote_->calls.size(), 1u);  // only the first walk's attempt
  EXPECT_TRUE(remote_->content.empty());
  EXPECT_FALSE(PathExists(Catalog("a.txt")));

  // Free again: the next run carries it.
  UnsetEnv("KELTOS3_SNAPKEEPER_FAIL");
  CSyncEngine next;
  Run(&next);
  EXPECT_EQ(remote_->content[u"\\a.txt"], "alpha");
  EXPECT_TRUE(PathExists(Catalog("a.txt")));
  EXPECT_TRUE(AgentLog().empty());
}

// A retry from the snapshot that fails at the live side must not record
// the file in the catalog: the next run would take the missing remote copy
// for a remote deletion and delete the local file.
TEST_F(SnapshotPassTest, RetryFailingAgainKeepsTheCatalogAsItWas) {
  SKIP_IN_STANDARD_LAYOUT("the snapshot-assisted library's own cases");
  WriteFile(Local("a.txt"), "alpha");
  remote_->snapshot_copy_result = 1;
  LockHolder holder(Local("a.txt"), LockHolder::Kind::kFlock);
  ASSERT_TRUE(holder.locked());
  CSyncEngine engine;
  Run(&engine);
  EXPECT_EQ(outcomes_.seen,
            (std::vector<std::string>{"FILEADD00001 2", "FILEADD00002 skipped",
                                      "FILEADD00001 1", "FILEADD00002 skipped"}));
  EXPECT_FALSE(PathExists(Catalog("a.txt")));
  const std::vector<std::string> log = AgentLog();
  EXPECT_EQ(std::count(log.begin(), log.end(), "complete"), 1);
}

}  // namespace
}  // namespace testsupport::fstest
