#include "sync/sync_engine.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "common/wide_string.h"
#include "platform/env.h"
#include "sync/fake_file_system.h"

namespace {

using testsupport::FakeFileSystem;

const std::u16string kT1 = u"2010-06-01T12:00:00.000Z";
const std::u16string kT2 = u"2010-06-02T12:00:00.000Z";
const std::u16string kT3 = u"2010-06-03T12:00:00.000Z";

class TraceCapture : public platform::EnvWrapper {
 public:
  TraceCapture() : EnvWrapper(platform::Env::Default()) {}
  void OutputDebugString(const std::u16string& text) override { lines.push_back(text); }
  std::vector<std::u16string> lines;
};

class RecordingObserver : public SyncObserver {
 public:
  void OnAction(const std::u16string& key, const SyncAction&, Outcome outcome,
                int32_t) override {
    const char* word = outcome == Outcome::kDone      ? "done"
                       : outcome == Outcome::kSkipped ? "skipped"
                                                      : "planned";
    seen.push_back(U16ToUtf8(key) + " " + word);
  }
  std::vector<std::string> seen;
};

// Three fake sides sharing one call log, released at the end of the test.
class SyncEngineTest : public ::testing::Test {
 protected:
  SyncEngineTest()
      : override_(&trace_),
        local_(new FakeFileSystem("local", &log_)),
        remote_(new FakeFileSystem("remote", &log_)),
        catalog_(new FakeFileSystem("catalog", &log_)) {
    local_->SetRoot(u"\\home\\me\\docs");
    remote_->SetRoot(u"bucket");
    catalog_->SetRoot(u"\\home\\me\\catalog");
  }
  ~SyncEngineTest() override {
    local_->Release();
    remote_->Release();
    catalog_->Release();
  }

  void Run() { engine_.RunSync(local_, remote_, catalog_); }

  std::vector<std::string> ActionKeys() const {
    std::vector<std::string> keys;
    const SyncActionTable& t = engine_.Actions();
    for (int i = 0; i < t.Count(); ++i) {
      const SyncAction a = t.ValueAt(i);
      if (a.m_strName.empty()) continue;  // group header
      keys.push_back(U16ToUtf8(t.KeyAt(i)) + " " + U16ToUtf8(a.m_strName) + " " +
                     std::to_string(a.m_iSource) + "->" + std::to_string(a.m_iTarget));
    }
    return keys;
  }

  TraceCapture trace_;
  platform::ScopedEnvOverride override_;
  std::vector<std::string> log_;
  FakeFileSystem* local_;
  FakeFileSystem* remote_;
  FakeFileSystem* catalog_;
  CSyncEngine engine_;
};

TEST_F(SyncEngineTest, FirstRunCarriesTheLocalTreeToRemoteAndCatalog) {
  local_->dirMap.Set(u"\\d", kT1);
  local_->fileMap.Set(u"\\d\\a.txt", kT1);
  local_->fileMap.Set(u"\\top.txt", kT2);
  Run();
  // File phase first, so the files take the first sequence numbers; the
  // directory group is still applied first.
  EXPECT_EQ(ActionKeys(), (std::vector<std::string>{
                              "DIRADD00005 \\d 1->2", "DIRADD00006 \\d 1->0",
                              "FILEADD00001 \\d\\a.txt 1->2", "FILEADD00002 \\d\\a.txt 1->0",
                              "FILEADD00003 \\top.txt 1->2", "FILEADD00004 \\top.txt 1->0"}));
  EXPECT_EQ(log_, (std::vector<std::string>{
                      "remote CreateDir \\d", "catalog CreateDir \\d",
                      "remote CopyFileFrom \\d\\a.txt", "catalog CopyFileFrom \\d\\a.txt",
                      "remote CopyFileFrom \\top.txt", "catalog CopyFileFrom \\top.txt"}));
}

std::vector<std::string> Changes(const SyncChangeTable& t) {
  std::vector<std::string> out;
  for (int i = 0; i < t.Count(); ++i) {
    out.push_back(U16ToUtf8(t.KeyAt(i)) + " " + U16ToUtf8(t.ValueAt(i).m_strKind) +
                  " " + U16ToUtf8(t.ValueAt(i).m_strTime));
  }
  return out;
}

TEST_F(SyncEngineTest, DetectsAddDeleteAndUpdatesEarlierOrLater) {
  catalog_->fileMap.Set(u"\\gone.txt", kT1);
  catalog_->fileMap.Set(u"\\newer.txt", kT1);
  catalog_->fileMap.Set(u"\\older.txt", kT2);
  catalog_->fileMap.Set(u"\\same.txt", kT1);
  catalog_->fileMap.Set(u"\\Docs", kT1);
  catalog_->dirMap.Set(u"\\dir", kT1);
  catalog_->dirMap.Set(u"\\olddir", kT1);
  local_->fileMap.Set(u"\\newer.txt", kT2);
  local_->fileMap.Set(u"\\older.txt", kT1);
  local_->fileMap.Set(u"\\same.txt", kT1);
  local_->fileMap.Set(u"\\docs", kT3);  // differs from \Docs only in case
  local_->fileMap.Set(u"\\fresh.txt", kT3);
  local_->dirMap.Set(u"\\dir", kT3);    // directory times never matter
  local_->dirMap.Set(u"\\newdir", kT2);
  Run();
  EXPECT_EQ(Changes(engine_.LocalFileChanges()),
            (std::vector<std::string>{
                "\\Docs DELETE 2010-06-01T12:00:00.000Z",
                "\\docs ADD 2010-06-03T12:00:00.000Z",
                "\\fresh.txt ADD 2010-06-03T12:00:00.000Z",
                "\\gone.txt DELETE 2010-06-01T12:00:00.000Z",
                "\\newer.txt UPDATE 2010-06-02T12:00:00.000Z",
                // An older copy put in place of the recorded file.
                "\\older.txt UPDATE 2010-06-01T12:00:00.000Z"}));
  EXPECT_EQ(Changes(engine_.LocalDirChanges()),
            (std::vector<std::string>{"\\newdir ADD 2010-06-02T12:00:00.000Z",
                                      "\\olddir DELETE 2010-06-01T12:00:00.000Z"}));
  // The remote tree is empty: everything the catalog knows is deleted there.
  EXPECT_EQ(engine_.RemoteFileChanges().Count(), 5);
  // One update trace line per update, in its fixed form.
  std::vector<std::u16string> updates;
  for (const auto& line : trace_.lines) {
    if (line.rfind(u"UPDATEFILE", 0) == 0) updates.push_back(line);
  }
  ASSERT_EQ(updates.size(), 2u);
  EXPECT_EQ(updates[0],
            u"UPDATEFILE : \\newer.txt from \\home\\me\\docs to \\home\\me\\catalog \r\n"
            u"  the temp datetime is 2010-06-02T12:00:00.000Z \r\n"
            u"  the standard datetiem is 2010-06-01T12:00:00.000Z\r\n");
}

TEST_F(SyncEngineTest, SettlesFileConflictsByTheFixedRules) {
  // Both deleted: the catalog alone.
  catalog_->fileMap.Set(u"\\both-deleted", kT1);
  // Deleted locally, updated remotely: deleted remotely whatever the times.
  catalog_->fileMap.Set(u"\\del-vs-upd", kT1);
  remote_->fileMap.Set(u"\\del-vs-upd", kT3);
  // Updated locally, deleted remotely: the deletion wins, carried locally.
  catalog_->fileMap.Set(u"\\upd-vs-del", kT1);
  local_->fileMap.Set(u"\\upd-vs-del", kT3);
  // Updated on both sides with equal times: local wins.
  catalog_->fileMap.Set(u"\\upd-equal", kT1);
  local_->fileMap.Set(u"\\upd-equal", kT2);
  remote_->fileMap.Set(u"\\upd-equal", kT2);
  // Updated on both sides, remote newer: remote wins.
  catalog_->fileMap.Set(u"\\upd-remote-newer", kT1);
  local_->fileMap.Set(u"\\upd-remote-newer", kT2);
  remote_->fileMap.Set(u"\\upd-remote-newer", kT3);
  // Added on both sides, local newer: local wins.
  local_->fileMap.Set(u"\\add-local-newer", kT3);
  remote_->fileMap.Set(u"\\add-local-newer", kT2);
  Run();
  EXPECT_EQ(ActionKeys(), (std::vector<std::string>{
                              "FILEADD00001 \\add-local-newer 1->2",
                              "FILEADD00002 \\add-local-newer 1->0",
                              "FILEDELETE00003 \\both-deleted 2->0",
                              "FILEDELETE00004 \\del-vs-upd 1->2",
                              "FILEDELETE00005 \\del-vs-upd 1->0",
                              "FILEDELETE00010 \\upd-vs-del 2->1",
                              "FILEDELETE00011 \\upd-vs-del 2->0",
                              "FILEUPDATE00006 \\upd-equal 1->2",
                              "FILEUPDATE00007 \\upd-equal 1->0",
                              "FILEUPDATE00008 \\upd-remote-newer 2->1",
                              "FILEUPDATE00009 \\upd-remote-newer 2->0"}));
}

TEST_F(SyncEngineTest, SettlesDirectoryConflictsByTheFixedRules) {
  catalog_->dirMap.Set(u"\\both-deleted", kT1);
  catalog_->dirMap.Set(u"\\del-local", kT1);
  catalog_->dirMap.Set(u"\\del-remote", kT1);
  remote_->dirMap.Set(u"\\del-local", kT1);
  local_->dirMap.Set(u"\\del-remote", kT1);
  local_->dirMap.Set(u"\\both-added", kT1);
  remote_->dirMap.Set(u"\\both-added", kT2);
  Run();
  // Added on both sides: the catalog alone; deleted on both: the catalog
  // alone; deleted on one side: carried to the other.
  EXPECT_EQ(ActionKeys(), (std::vector<std::string>{
                              "DIRADD00001 \\both-added 2->0",
                              "DIRDELETE00002 \\both-deleted 2->0",
                              "DIRDELETE00003 \\del-local 1->2",
                              "DIRDELETE00004 \\del-local 1->0",
                              "DIRDELETE00005 \\del-remote 2->1",
                              "DIRDELETE00006 \\del-remote 2->0"}));
}

TEST_F(SyncEngineTest, FailedTransferLeavesTheCatalogAlone) {
  local_->fileMap.Set(u"\\a.txt", kT1);
  local_->fileMap.Set(u"\\b.txt", kT1);
  remote_->SetResult("CopyFileFrom", u"\\a.txt", 1);
  catalog_->SetResult("CopyFileFrom", u"\\b.txt", 1);  // skips nothing
  RecordingObserver observer;
  engine_.SetObserver(&observer);
  Run();
  EXPECT_EQ(log_, (std::vector<std::string>{"remote CopyFileFrom \\a.txt",
                                            "remote CopyFileFrom \\b.txt",
                                            "catalog CopyFileFrom \\b.txt"}));
  EXPECT_EQ(observer.seen, (std::vector<std::string>{
                               "FILEADD00001 done", "FILEADD00002 skipped",
                               "FILEADD00003 done", "FILEADD00004 done"}));
}

TEST_F(SyncEngineTest, RemovesDirectoriesDeepestFirstCatalogBeforeLive) {
  catalog_->dirMap.Set(u"\\a", kT1);
  catalog_->dirMap.Set(u"\\a\\b", kT1);
  local_->dirMap.Set(u"\\a", kT1);
  local_->dirMap.Set(u"\\a\\b", kT1);
  Run();  // both gone remotely
  EXPECT_EQ(log_, (std::vector<std::string>{
                      "catalog RemoveDir \\a\\b", "local RemoveDir \\a\\b",
                      "catalog RemoveDir \\a", "local RemoveDir \\a"}));
}

// A transfer and its catalog record fit together or wait together: 47
// pairs fit in 95 actions, and the directory that comes after them waits.
TEST_F(SyncEngineTest, CapsARunAt95ActionsAndStillCompletes) {
  for (int i = 0; i < 60; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "\\f%02d", i);
    local_->fileMap.Set(BytesToU16(name), kT1);
  }
  local_->dirMap.Set(u"\\dir", kT1);
  Run();
  EXPECT_EQ(engine_.Actions().Count(), 99);  // 5 headers + 47 pairs
  EXPECT_EQ(log_.size(), 94u);
  EXPECT_EQ(log_.back(), "catalog CopyFileFrom \\f46");
  EXPECT_EQ(engine_.Actions().Find(u"DIRADD00095"), -1);
}

// Action keys have one width for the whole run: five digits while the
// largest number that fits the table (its capacity less the five headers)
// has five, more above.  With five digits past 99999, the catalog half of a
// transfer would sort away from its live half, and a failed upload would
// still be recorded in the catalog.
TEST_F(SyncEngineTest, ActionKeysWidenWithTheCapacity) {
  local_->fileMap.Set(u"\\a.txt", kT1);
  for (const auto& [capacity, first] :
       std::vector<std::pair<int, std::u16string>>{{100004, u"FILEADD00001"},
                                                   {100005, u"FILEADD000001"},
                                                   {10000000, u"FILEADD0000001"}}) {
    CSyncEngine engine(capacity);
    engine.RunSync(local_, remote_, catalog_);
    const SyncActionTable& actions = engine.Actions();
    EXPECT_EQ(actions.Capacity(), capacity);
    EXPECT_EQ(actions.KeyAt(actions.Find(u"FILEADD") + 1), first) << capacity;
  }
}

// A full map holds the lowest keys of its tree, so keys up to the lowest
// highest key of the full maps are compared exactly, and none above it.
TEST_F(SyncEngineTest, FullTreeMapsBoundWhatIsCompared) {
  for (int i = 0; i <= 100; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "\\r%03d", i);
    if (i < 100) {
      remote_->fileMap.Set(BytesToU16(name), kT1);
      catalog_->fileMap.Set(BytesToU16(name), kT1);
    }
    // The local tree: \r050 deleted, \r007 edited, \r100 added.
    if (i != 50) local_->fileMap.Set(BytesToU16(name), i == 7 ? kT2 : kT1);
  }
  Run();
  EXPECT_EQ(ActionKeys(), (std::vector<std::string>{
                              "FILEDELETE00003 \\r050 1->2", "FILEDELETE00004 \\r050 1->0",
                              "FILEUPDATE00001 \\r007 1->2", "FILEUPDATE00002 \\r007 1->0"}));
}

TEST_F(SyncEngineTest, TracesEveryActionAndDryRunChangesNothing) {
  local_->fileMap.Set(u"\\a.txt", kT1);
  RecordingObserver observer;
  engine_.SetObserver(&observer);
  engine_.SetDryRun(true);
  Run();
  EXPECT_TRUE(log_.empty());
  EXPECT_EQ(observer.seen,
            (std::vector<std::string>{"FILEADD00001 planned", "FILEADD00002 planned"}));
  ASSERT_EQ(trace_.lines.size(), 2u);
  EXPECT_EQ(trace_.lines[0],
            u"FILEADD00001 : \\a.txt from 1 to 2 datetime is 2010-06-01T12:00:00.000Z\r\n");
}

}  // namespace
