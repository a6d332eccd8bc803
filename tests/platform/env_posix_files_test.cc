// The default Env's file calls: the exclusive-open test, and the refusals
// that keep a bad path from reaching another file.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/env.h"
#include "platform/file.h"
#include "support/fs_test_util.h"

namespace testsupport::fstest {
namespace {

platform::Env* Env() { return platform::Env::Default(); }

TEST(EnvFilesTest, FileInUseCoversMissingLockedAndSpecialFiles) {
  const FsScratchDir dir;
  WriteFile(dir.At("plain"), "p");
  MakeDir(dir.At("dir"));
  ASSERT_EQ(::mkfifo(dir.At("fifo").c_str(), 0600), 0);

  EXPECT_FALSE(Env()->IsFileInUse(Lib(dir.At("plain"))));
  EXPECT_TRUE(Env()->IsFileInUse(Lib(dir.At("missing"))));
  EXPECT_TRUE(Env()->IsFileInUse(Lib(dir.At("dir"))));
  EXPECT_TRUE(Env()->IsFileInUse(Lib(dir.At("fifo"))));
  for (const auto kind : {LockHolder::Kind::kFlock, LockHolder::Kind::kFcntl}) {
    LockHolder holder(dir.At("plain"), kind);
    ASSERT_TRUE(holder.locked());
    EXPECT_TRUE(Env()->IsFileInUse(Lib(dir.At("plain"))));
  }
  EXPECT_FALSE(Env()->IsFileInUse(Lib(dir.At("plain"))));

  // The test only reads: a read-only file is not in use, and held by a lock
  // it is.
  ASSERT_EQ(::chmod(dir.At("plain").c_str(), 0444), 0);
  EXPECT_FALSE(Env()->IsFileInUse(Lib(dir.At("plain"))));
  {
    LockHolder holder(dir.At("plain"), LockHolder::Kind::kFlock);
    EXPECT_TRUE(Env()->IsFileInUse(Lib(dir.At("plain"))));
  }
}

// A work file is new: an existing file or a planted link under its name
// makes the create fail (nothing is written through the link), and the file
// starts private to its owner.
TEST(EnvFilesTest, CreateNewNeverReusesANameAndStartsPrivate) {
  const FsScratchDir dir;
  WriteFile(dir.At("victim"), "keep");
  WriteFile(dir.At("taken"), "someone else's");
  ASSERT_EQ(::symlink(dir.At("victim").c_str(), dir.At("planted").c_str()), 0);
  for (const char* name : {"taken", "planted"}) {
    EXPECT_EQ(Env()->OpenFile(Lib(dir.At(name)), platform::FileOpenMode::kCreateNew),
              nullptr)
        << name;
  }
  EXPECT_EQ(ReadFile(dir.At("victim")), "keep");
  EXPECT_EQ(ReadFile(dir.At("taken")), "someone else's");

  const mode_t old_mask = ::umask(022);
  auto file = Env()->OpenFile(Lib(dir.At("work")), platform::FileOpenMode::kCreateNew);
  ASSERT_NE(file, nullptr);
  struct stat st;
  ASSERT_EQ(::stat(dir.At("work").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(platform::DefaultNewFileAccess().permissions, 0644);
  ::umask(old_mask);
}

// Opening a FIFO for writing would wait for a reader forever; files that
// are not regular are refused at once.
TEST(EnvFilesTest, OpenFileRefusesWhatIsNotARegularFile) {
  const FsScratchDir dir;
  ASSERT_EQ(::mkfifo(dir.At("fifo").c_str(), 0600), 0);
  MakeDir(dir.At("dir"));
  const std::u16string fifo = Lib(dir.At("fifo"));
  EXPECT_EQ(Env()->OpenFile(fifo, platform::FileOpenMode::kCreateAlways),
            nullptr);
  EXPECT_EQ(Env()->OpenFile(fifo, platform::FileOpenMode::kExistingReadWrite),
            nullptr);
  EXPECT_EQ(Env()->OpenFile(Lib(dir.At("dir")),
                            platform::FileOpenMode::kExistingReadWrite),
            nullptr);
  EXPECT_FALSE(Env()->SetLastWriteTime(fifo, 0x01D0000000000000ULL));
}

// A NUL cuts a POSIX path short: "victim\0.bak" would name "victim".
TEST(EnvFilesTest, PathsHoldingNulNameNoFile) {
  const FsScratchDir dir;
  WriteFile(dir.At("victim"), "keep");
  MakeDir(dir.At("keepdir"));
  const std::u16string victim = Lib(dir.At("victim"));
  std::u16string cut = victim;
  cut.push_back(u'\0');
  cut += u".bak";
  std::u16string cut_dir = Lib(dir.At("keepdir"));
  cut_dir.push_back(u'\0');

  EXPECT_FALSE(Env()->DeleteFile(cut));
  EXPECT_FALSE(Env()->RenameFile(cut, victim + u"2"));
  EXPECT_FALSE(Env()->RenameFile(Lib(dir.At("keepdir")), cut));
  EXPECT_EQ(Env()->OpenFile(cut, platform::FileOpenMode::kCreateAlways),
            nullptr);
  EXPECT_FALSE(Env()->SetLastWriteTime(cut, 0x01D0000000000000ULL));
  EXPECT_TRUE(Env()->IsFileInUse(cut));
  platform::FileAttributes attributes;
  EXPECT_FALSE(Env()->GetFileAttributes(cut, &attributes));
  EXPECT_FALSE(Env()->RemoveDirectory(cut_dir));
  EXPECT_EQ(Env()->OpenDirectory(cut_dir), nullptr);
  EXPECT_EQ(ReadFile(dir.At("victim")), "keep");
  EXPECT_TRUE(PathExists(dir.At("keepdir")));
}

}  // namespace
}  // namespace testsupport::fstest
