#include "boundary/s3_files_manager.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <thread>

#include "KeltoS3.h"
#include "platform/last_error.h"
#include "support/temp_dir.h"
#include "support/test_env.h"

namespace {

using testsupport::TempDir;
using testsupport::TestEnv;

// Counts directory creations and can make the executable lookup throw.
class ManagerEnv : public TestEnv {
 public:
  bool CreateDirectory(const std::u16string& path) override {
    ++creations;
    return TestEnv::CreateDirectory(path);
  }
  std::u16string GetModuleFileName() override {
    if (throw_on_lookup) throw std::runtime_error("lookup failed");
    return TestEnv::GetModuleFileName();
  }
  int creations = 0;
  bool throw_on_lookup = false;
};

class ManagerTest : public ::testing::Test {
 protected:
  ManagerTest() : override_(&env_) {
    env_.SetModuleFileName(dir_.LibraryPathOf("host"));
  }
  ManagerEnv env_;
  platform::ScopedEnvOverride override_;
  TempDir dir_;
};

TEST_F(ManagerTest, CreatesTheWorkingFolderBesideTheExecutable) {
  S3FilesManager manager;
  EXPECT_EQ(manager.GetWorkingFolder(), dir_.LibraryPathOf("S3Data"));
  EXPECT_EQ(manager.IsFolderReady(), 1);
  EXPECT_EQ(env_.creations, 1);
  EXPECT_TRUE(std::filesystem::is_directory(dir_.PathOf("S3Data")));
  // A second manager reuses the folder.
  S3FilesManager again;
  EXPECT_EQ(again.IsFolderReady(), 1);
  EXPECT_EQ(env_.creations, 1);
}

TEST_F(ManagerTest, FolderProblemsLeaveTheFlagAtZero) {
  dir_.WriteFile("S3Data", "a plain file");
  {
    S3FilesManager manager;
    EXPECT_EQ(manager.IsFolderReady(), 0);
    EXPECT_EQ(manager.GetWorkingFolder(), dir_.LibraryPathOf("S3Data"));
  }
  // Only one level is created: a missing parent makes it fail.
  env_.SetModuleFileName(dir_.LibraryPathOf("missing/deeper/host"));
  {
    S3FilesManager manager;
    EXPECT_EQ(manager.IsFolderReady(), 0);
    EXPECT_FALSE(dir_.Exists("missing"));
  }
  // No "\" in the path: nothing is created at all.
  env_.creations = 0;
  env_.SetModuleFileName(u"host");
  {
    S3FilesManager manager;
    EXPECT_EQ(manager.GetWorkingFolder(), u"");
    EXPECT_EQ(manager.IsFolderReady(), 0);
  }
  env_.SetModuleFileName(u"");
  {
    S3FilesManager manager;
    EXPECT_EQ(manager.IsFolderReady(), 0);
  }
  EXPECT_EQ(env_.creations, 0);
}

TEST_F(ManagerTest, OperationsAreZeroPlaceholders) {
  S3FilesManager manager;
  KS3FilesManager* m = &manager;
  EXPECT_EQ(m->Reserved0(-1), 0);
  EXPECT_EQ(m->Reserved1(7), 0);
  EXPECT_EQ(m->Reserved2(1, 2, 3), 0);
  EXPECT_EQ(m->Reserved3(0x7FFFFFFF), 0);
  EXPECT_EQ(m->Reserved4(-1, -2, -3), 0);
  EXPECT_EQ(m->Reserved5(5), 0);
  EXPECT_EQ(m->Reserved6(6), 0LL);
  EXPECT_EQ(m->Reserved7(1, 2, 3, 4, 5, 6, 7, 8), 0);
}

TEST_F(ManagerTest, FactoryPairRules) {
  KS3FilesManager* manager = nullptr;
  ASSERT_EQ(CreateS3FileManagerObject(&manager), 0);
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(env_.open_event_sources(), 1);  // the manager's reporter is open
  EXPECT_EQ(manager->Reserved0(1), 0);

  // Creating over a held manager destroys it first.
  ASSERT_EQ(CreateS3FileManagerObject(&manager), 0);
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(env_.open_event_sources(), 1);

  EXPECT_EQ(DestroyS3FileManagerObject(&manager), 0);
  EXPECT_EQ(manager, nullptr);
  EXPECT_EQ(env_.open_event_sources(), 0);
  EXPECT_EQ(DestroyS3FileManagerObject(&manager), 0);  // null is accepted
  EXPECT_EQ(manager, nullptr);
  EXPECT_EQ(DestroyS3FileManagerObject(nullptr), 0);
  EXPECT_EQ(CreateS3FileManagerObject(nullptr), 1);
}

TEST_F(ManagerTest, NoExceptionCrossesTheFactory) {
  KS3FilesManager* manager = nullptr;
  ASSERT_EQ(CreateS3FileManagerObject(&manager), 0);
  env_.throw_on_lookup = true;
  EXPECT_EQ(CreateS3FileManagerObject(&manager), 1);  // the old one is gone too
  EXPECT_EQ(manager, nullptr);
  EXPECT_EQ(env_.open_event_sources(), 0);
}

TEST(LastErrorTest, ExportedValueIsTheCallingThreadsOwn) {
  platform::SetLastError(platform::kLastErrorS3);
  EXPECT_EQ(KeltoS3GetLastError(), 12500u);
  unsigned int other = 99;
  std::thread([&other] { other = KeltoS3GetLastError(); }).join();
  EXPECT_EQ(other, 0u);
  platform::SetLastError(0);
  EXPECT_EQ(KeltoS3GetLastError(), 0u);
}

}  // namespace
