// The whole path as a user takes it: `keltos3 sync` on the snapshot-assisted
// library against the S3 test server, with a local file held locked by a
// second process.  The file reaches the bucket and the catalog in that same
// run, and the next run finds nothing left to do.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "support/fs_test_util.h"
#include "support/store_fixture.h"
#include "support/subprocess.h"
#include "support/test_layout.h"
#include "support/test_paths.h"
#include "support/test_servers.h"

namespace testsupport::fstest {
namespace {

const std::string kBinary = std::string(testsupport::kTestBinaryDir) + "/keltos3";

class SyncInUseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fixture_.UseServer("syncinuse", 1000));
    MakeDir(scratch_.At("local"));
    MakeDir(scratch_.At("agent"));
  }

  ProcessResult Keltos3(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {kBinary};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProcess(argv, {{"KELTOS3_INI", fixture_.ini().ini_posix_path()},
                             {"KELTOS3_TRACE", std::nullopt},
                             {"LD_LIBRARY_PATH", testsupport::TestLibraryDir()},
                             {"TMPDIR", scratch_.At("agent")},
                             {"KELTOS3_SNAPKEEPER_LOG", scratch_.At("agent.log")}});
  }

  ProcessResult Sync() {
    return Keltos3({"sync", scratch_.At("local"), scratch_.At("catalog"), fixture_.bucket()});
  }

  std::vector<std::string> AgentLog() const {
    std::vector<std::string> lines;
    std::ifstream in(scratch_.At("agent.log"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  StoreFixture fixture_;
  FsScratchDir scratch_;
};

TEST_F(SyncInUseTest, LockedFileReachesTheBucketAndTheCatalogInTheSameRun) {
  SKIP_IN_STANDARD_LAYOUT("the snapshot-assisted library's own cases");
  const std::string content = PatternText(2500);
  WriteFile(scratch_.At("local/busy.db"), content);
  WriteFile(scratch_.At("local/free.txt"), "free");
  ProcessResult first;
  {
    LockHolder holder(scratch_.At("local/busy.db"), LockHolder::Kind::kFcntl);
    ASSERT_TRUE(holder.locked());
    first = Sync();
  }
  ASSERT_EQ(first.exit_code, 0) << first.out << first.err;
  EXPECT_NE(first.out.find("upload \\busy.db (retried from a snapshot copy)"),
            std::string::npos)
      << first.out;
  EXPECT_NE(first.out.find("2 uploaded (2.4 KiB)"), std::string::npos) << first.out;
  EXPECT_NE(first.out.find(" 0 failed; "), std::string::npos) << first.out;

  // One index object per path, named by the path; its chunks hold the file.
  const std::vector<std::string> keys = RawS3::ListKeys(fixture_.bucket());
  EXPECT_EQ(testsupport::WithoutTokens(keys),
            (std::vector<std::string>{"$chunk$/busy.db_<t>_00000", "$chunk$/busy.db_<t>_00001",
                                      "$chunk$/busy.db_<t>_00002", "$chunk$/free.txt_<t>_00000",
                                      "$file$/busy.db_Info", "$file$/free.txt_Info"}));
  std::string joined;
  for (size_t i = 0; i < 3 && i < keys.size(); ++i) {
    std::string part;
    ASSERT_TRUE(RawS3::GetObject(fixture_.bucket(), keys[i], &part));
    joined += part;
  }
  EXPECT_TRUE(joined == content);
  EXPECT_TRUE(PathExists(scratch_.At("catalog/busy.db")));
  EXPECT_TRUE(PathExists(scratch_.At("catalog/free.txt")));

  // The agent took both halves' copies once and removed them again.
  const std::vector<std::string> log = AgentLog();
  EXPECT_EQ(std::count(log.begin(), log.end(), "start 2"), 1);
  EXPECT_EQ(std::count(log.begin(), log.end(), "complete"), 1);
  EXPECT_TRUE(ListNames(scratch_.At("agent")).empty());

  // Nothing is left over for the next run: the listed times of the uploads
  // are not later than the catalog's records of them.
  const ProcessResult second = Sync();
  ASSERT_EQ(second.exit_code, 0) << second.out << second.err;
  EXPECT_NE(second.out.find("summary: 0 uploaded"), std::string::npos) << second.out;
}

TEST_F(SyncInUseTest, PutPrintsThePlainPathAsStoredName) {
  SKIP_IN_STANDARD_LAYOUT("the snapshot-assisted library's own cases");
  WriteFile(scratch_.At("x.txt"), "text");
  const ProcessResult put = Keltos3({"put", scratch_.At("x.txt"), "/docs/x.txt"});
  ASSERT_EQ(put.exit_code, 0) << put.err;
  EXPECT_EQ(put.out, "\\docs\\x.txt\n");
  const ProcessResult get = Keltos3({"get", "\\docs\\x.txt", scratch_.At("back.txt")});
  ASSERT_EQ(get.exit_code, 0) << get.err;
  EXPECT_EQ(ReadFile(scratch_.At("back.txt")), "text");
}

}  // namespace
}  // namespace testsupport::fstest
