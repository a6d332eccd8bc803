// The snapshot agent on its own: what it copies, what it writes into the
// output buffers, what it leaves behind, and its failure hook.

#include <SnapKeeper.h>

#include <stdlib.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fs_test_util.h"
#include "support/test_platform.h"
#include "support/test_layout.h"

namespace testsupport::fstest {
namespace {

// The library form of a POSIX path as a wide string.
std::wstring WideLib(const std::string& posix) {
  std::wstring out;
  for (const char c : posix) out.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(c));
  return out;
}

std::string PosixOf(const wchar_t* wide) {
  std::string out;
  for (; *wide != L'\0'; ++wide) out.push_back(*wide == L'\\' ? '/' : static_cast<char>(*wide));
  return out;
}

// Source paths and zeroed output buffers for one request.
struct Request {
  explicit Request(const std::vector<std::string>& posix_paths) {
    for (const std::string& p : posix_paths) sources.push_back(WideLib(p));
    for (std::wstring& s : sources) source_pointers.push_back(s.data());
    buffers.assign(posix_paths.size(), std::vector<wchar_t>(kSnapKeeperPathMax, L'\0'));
    for (std::vector<wchar_t>& b : buffers) output_pointers.push_back(b.data());
  }
  int Start(CSnapKeeper* agent) {
    return agent->VssStartBackup2(source_pointers.data(), output_pointers.data(),
                                  static_cast<int>(sources.size()));
  }
  std::vector<std::wstring> sources;
  std::vector<wchar_t*> source_pointers;
  std::vector<std::vector<wchar_t>> buffers;
  std::vector<wchar_t*> output_pointers;
};

// Points the agent's private directories into a scratch directory of the
// test and restores the environment afterwards.
class SnapKeeperTest : public ::testing::Test {
 protected:
  SnapKeeperTest() {
    const char* tmp = getenv("TMPDIR");
    if (tmp != nullptr) saved_tmpdir_ = tmp;
    had_tmpdir_ = tmp != nullptr;
    SetEnv("TMPDIR", agent_tmp_.path());
  }
  ~SnapKeeperTest() override {
    if (had_tmpdir_) {
      SetEnv("TMPDIR", saved_tmpdir_);
    } else {
      UnsetEnv("TMPDIR");
    }
    UnsetEnv("KELTOS3_SNAPKEEPER_FAIL");
  }

  FsScratchDir files_;
  FsScratchDir agent_tmp_;
  std::string saved_tmpdir_;
  bool had_tmpdir_ = false;
};

TEST_F(SnapKeeperTest, CopiesFilesHeldLockedByAnotherProcessAndRemovesThem) {
  SKIP_IN_STANDARD_LAYOUT("the snapshot-assisted library's own cases");
  WriteFile(files_.At("a.txt"), PatternText(70000));
  WriteFile(files_.At("b.txt"), "second");
  LockHolder flock_holder(files_.At("a.txt"), LockHolder::Kind::kFlock);
  LockHolder fcntl_holder(files_.At("b.txt"), LockHolder::Kind::kFcntl);
  ASSERT_TRUE(flock_holder.locked());
  ASSERT_TRUE(fcntl_holder.locked());

  CSnapKeeper agent;
  Request request({files_.At("a.txt"), files_.At("b.txt"), files_.At("a.txt")});
  ASSERT_EQ(request.Start(&agent), 0);
  std::vector<std::string> copies;
  for (wchar_t* out : request.output_pointers) {
    const std::wstring text(out);
    ASSERT_FALSE(text.empty());
    EXPECT_LT(text.size(), static_cast<size_t>(kSnapKeeperPathMax));
    EXPECT_EQ(text.find(L'/'), std::wstring::npos);  // library form
    copies.push_back(PosixOf(out));
  }
  // Each request gets a copy of its own, below the agent's directory.
  EXPECT_NE(copies[0], copies[2]);
  EXPECT_EQ(copies[0].rfind(agent_tmp_.path() + "/", 0), 0u);
  EXPECT_EQ(ReadFile(copies[0]), PatternText(70000));
  EXPECT_EQ(ReadFile(copies[1]), "second");
  EXPECT_EQ(ReadFile(copies[2]), PatternText(70000));

  EXPECT_EQ(agent.VssBackupComplete(), 0);
  for (const std::string& copy : copies) EXPECT_FALSE(PathExists(copy)) << copy;
  EXPECT_TRUE(ListNames(agent_tmp_.path()).empty());
  // The originals are untouched.
  EXPECT_EQ(ReadFile(files_.At("b.txt")), "second");
}

TEST_F(SnapKeeperTest, AnyFailureWritesNothingAndLeavesNothing) {
  SKIP_IN_STANDARD_LAYOUT("the snapshot-assisted library's own cases");
  WriteFile(files_.At("a.txt"), "a");
  MakeDir(files_.At("dir"));
  CSnapKeeper agent;

  Request missing({files_.At("a.txt"), files_.At("missing")});
  EXPECT_NE(missing.Start(&agent), 0);
  Request directory({files_.At("dir")});
  EXPECT_NE(directory.Start(&agent), 0);
  for (Request* r : {&missing, &directory}) {
    for (wchar_t* out : r->output_pointers) EXPECT_EQ(out[0], L'\0');
  }
  EXPECT_TRUE(ListNames(agent_tmp_.path()).empty());

  // A directory whose name leaves no room for a path of 259 characters.
  const std::string deep = agent_tmp_.At(std::string(250, 'd'));
  MakeDir(deep);
  SetEnv("TMPDIR", deep);
  Request too_long({files_.At("a.txt")});
  EXPECT_NE(too_long.Start(&agent), 0);
  EXPECT_TRUE(ListNames(deep).empty());

  EXPECT_EQ(agent.VssStartBackup2(nullptr, nullptr, 1), 1);
  EXPECT_EQ(agent.VssStartBackup2(nullptr, nullptr, -1), 1);
  EXPECT_EQ(agent.VssStartBackup2(nullptr, nullptr, 0), 0);
  EXPECT_EQ(agent.VssBackupComplete(), 0);
}

TEST_F(SnapKeeperTest, FailureHookAndOneSnapshotAtATime) {
  SKIP_IN_STANDARD_LAYOUT("the snapshot-assisted library's own cases");
  WriteFile(files_.At("a.txt"), "a");
  CSnapKeeper agent;
  SetEnv("KELTOS3_SNAPKEEPER_FAIL", "1");
  Request failing({files_.At("a.txt")});
  EXPECT_NE(failing.Start(&agent), 0);
  EXPECT_EQ(failing.output_pointers[0][0], L'\0');
  EXPECT_TRUE(ListNames(agent_tmp_.path()).empty());
  UnsetEnv("KELTOS3_SNAPKEEPER_FAIL");

  Request first({files_.At("a.txt")});
  ASSERT_EQ(first.Start(&agent), 0);
  Request second({files_.At("a.txt")});
  EXPECT_NE(second.Start(&agent), 0);  // the first is not complete yet
  EXPECT_EQ(ReadFile(PosixOf(first.output_pointers[0])), "a");
  EXPECT_EQ(agent.VssBackupComplete(), 0);
  ASSERT_EQ(second.Start(&agent), 0);
  // Destroying the agent removes what was not completed.
  const std::string left = PosixOf(second.output_pointers[0]);
  EXPECT_TRUE(PathExists(left));
  {
    CSnapKeeper other;
    Request r({files_.At("a.txt")});
    ASSERT_EQ(r.Start(&other), 0);
  }
  EXPECT_EQ(ListNames(agent_tmp_.path()).size(), 1u);  // only `agent`'s
}

}  // namespace
}  // namespace testsupport::fstest
