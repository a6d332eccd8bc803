// CVirtualFileSystem's own behaviour: what the catalog records for each
// change the engine carries, and how it loads back.

#include "fs/virtual_file_system.h"


#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "fs/local_file_system.h"
#include "support/fs_test_util.h"
#include "support/test_layout.h"

namespace testsupport::fstest {
namespace {

constexpr char16_t kTime1[] = u"2010-06-01T12:00:00.000Z";
constexpr std::int64_t kTime1Unix = 1275393600;
constexpr char16_t kTime2[] = u"2011-02-03T04:05:06.000Z";

std::vector<std::u16string> Keys(const CSortedMap<std::u16string>& map) {
  std::vector<std::u16string> keys;
  for (int i = 0; i < map.Count(); ++i) keys.push_back(map.KeyAt(i));
  return keys;
}

class CatalogTest : public ::testing::Test {
 protected:
  CatalogTest() : catalog_(new CVirtualFileSystem()) {
    catalog_->SetRoot(dir_.LibPath());
  }

  std::u16string Root() const { return catalog_->GetRoot(); }

  FsScratchDir dir_;
  ScopedFileSystem<CVirtualFileSystem> catalog_;
};

// A file added from the local tree is recorded with the local tree's time
// text, so that the next run's loads of both trees agree on it.
TEST_F(CatalogTest, AddedFileTakesTheSourceTimeWithoutReadingIt) {
  const FsScratchDir local_dir;
  WriteFile(local_dir.At("a.txt"), PatternText(5000));
  SetMTime(local_dir.At("a.txt"), kTime1Unix, 400000000);  // 12:00:00.400
  ScopedFileSystem<CLocalFileSystem> local(new CLocalFileSystem());
  local->SetRoot(local_dir.LibPath());
  ASSERT_EQ(local->LoadTree(), 0);

  EXPECT_EQ(catalog_->CopyFileFrom(Root(), u"\\a.txt", local.get(),
                                   local->GetRoot(), u"\\a.txt"),
            0);
  EXPECT_EQ(FileSize(dir_.At("a.txt")), 0);
  if (!::testsupport::IsSnapshotRun()) {
    EXPECT_EQ(MTime(dir_.At("a.txt")).tv_sec, kTime1Unix);
    EXPECT_EQ(MTime(dir_.At("a.txt")).tv_nsec, 0);
  }
  EXPECT_EQ(local->CloseStream(), 1);  // never opened
  ASSERT_EQ(catalog_->LoadTree(), 0);
  ExpectCarriedTime(catalog_->fileMap, u"\\a.txt", kTime1);
  if (!::testsupport::IsSnapshotRun()) {
    EXPECT_EQ(catalog_->GetModifiedTime(u"\\a.txt"), local->GetModifiedTime(u"\\a.txt"));
  }

  // A source that knows no time for the key leaves the creation time.
  const std::int64_t before = std::time(nullptr);
  EXPECT_EQ(catalog_->CopyFileFrom(Root(), u"\\b", local.get(),
                                   local->GetRoot(), u"\\b"),
            0);
  EXPECT_GE(MTime(dir_.At("b")).tv_sec, before - 1);
}

// An update is recorded with the change's time (a text that is no time
// leaves the time of the run); a replacement with the time of the run.
TEST_F(CatalogTest, UpdateRecordsTheChangesTimeReplaceTheRuns) {
  SKIP_IN_SNAPSHOT_LAYOUT("records take the time of writing there");
  for (const char* name : {"u", "r", "bad"}) {
    WriteFile(dir_.At(name), "");
    SetMTime(dir_.At(name), kTime1Unix);
  }
  MemoryFileSystem source;
  source.AddFile(u"\\u", "new data", kTime2);
  source.AddFile(u"\\r", "new data", kTime2);

  const std::int64_t before = std::time(nullptr);
  EXPECT_EQ(catalog_->UpdateFileFrom(Root(), u"\\u", kTime2, &source, 0), 0);
  EXPECT_EQ(catalog_->UpdateFileFrom(Root(), u"\\bad", u"garbage", &source, 0), 0);
  EXPECT_EQ(catalog_->ReplaceFileFrom(Root(), u"\\r", kTime2, &source,
                                      source.GetRoot(), u"\\r"),
            0);
  const std::int64_t after = std::time(nullptr);
  ASSERT_EQ(catalog_->LoadTree(), 0);
  EXPECT_EQ(catalog_->GetModifiedTime(u"\\u"), kTime2);
  for (const char* name : {"r", "bad"}) {
    const std::int64_t recorded = MTime(dir_.At(name)).tv_sec;
    EXPECT_GE(recorded, before - 1) << name;
    EXPECT_LE(recorded, after + 1) << name;
  }
  for (const char* name : {"u", "r", "bad"}) EXPECT_EQ(FileSize(dir_.At(name)), 0) << name;
  EXPECT_EQ(source.open_calls, 0);
}


// The catalog lists what the local tree lists: a record below a
// dot-directory (which the local tree never lists) would look deleted there.
TEST_F(CatalogTest, LoadsSkipDotDirectoriesLikeTheLocalTree) {
  MakeDir(dir_.At(".cache"));
  WriteFile(dir_.At(".cache/x"), "");
  MakeDir(dir_.At("docs"));
  WriteFile(dir_.At("docs/y"), "");
  WriteFile(dir_.At("docs/.profile"), "");

  ASSERT_EQ(catalog_->LoadTree(), 0);
  EXPECT_EQ(Keys(catalog_->dirMap), (std::vector<std::u16string>{u"\\docs"}));
  EXPECT_EQ(Keys(catalog_->fileMap),
            (std::vector<std::u16string>{u"\\docs\\.profile", u"\\docs\\y"}));
  ASSERT_EQ(catalog_->LoadDirs(), 0);
  EXPECT_EQ(Keys(catalog_->dirMap), (std::vector<std::u16string>{u"\\docs"}));
}

#if !defined(_WIN32)  // Windows names hold no backslash
TEST_F(CatalogTest, ScansSkipBackslashNamesAndLinks) {
  MakeDir(dir_.At("docs"));
  ASSERT_EQ(::symlink("..", dir_.At("docs/.up").c_str()), 0);
  ASSERT_EQ(::symlink(".", dir_.At("docs/loop").c_str()), 0);
  WriteFile(dir_.At("docs\\evil"), "");
  ASSERT_EQ(catalog_->LoadTree(), 0);
  EXPECT_EQ(Keys(catalog_->dirMap), (std::vector<std::u16string>{u"\\docs"}));
  EXPECT_EQ(catalog_->fileMap.Count(), 0);
  EXPECT_EQ(catalog_->ScannedLinks().size(), 2u);

  // A placeholder is never written, removed or re-timed through a link.
  const FsScratchDir outside;
  WriteFile(outside.At("p"), "a user's file");
  ASSERT_EQ(::symlink(outside.path().c_str(), dir_.At("proj").c_str()), 0);
  ASSERT_EQ(::symlink(outside.At("p").c_str(), dir_.At("alias").c_str()), 0);
  EXPECT_EQ(catalog_->WriteFileFrom(u"\\proj\\p", nullptr), 1);
  EXPECT_EQ(catalog_->UpdateFileFrom(u"\\alias", kTime1, nullptr, 0), 1);
  EXPECT_EQ(catalog_->RemoveFile(u"\\proj\\p"), 1);
  EXPECT_EQ(catalog_->CreateDir(u"\\proj\\d"), 2);
  EXPECT_EQ(ReadFile(outside.At("p")), "a user's file");
  EXPECT_EQ(ListNames(outside.path()), std::vector<std::string>{"p"});
}
#endif

TEST_F(CatalogTest, ResultCodes) {
  EXPECT_EQ(catalog_->RemoveFile(Root(), u"\\missing"), 1);
  MakeDir(dir_.At("d"));
  WriteFile(dir_.At("d/p"), "");
  EXPECT_EQ(catalog_->RemoveDir(Root(), u"\\d"), 1);
  EXPECT_TRUE(PathExists(dir_.At("d/p")));
  EXPECT_EQ(catalog_->CreateDir(u"\\d"), 1);

  // A missing catalog root loads empty; its first directory cannot be made.
  ScopedFileSystem<CVirtualFileSystem> fresh(new CVirtualFileSystem());
  fresh->SetRoot(dir_.LibPath() + u"\\not-yet");
  EXPECT_EQ(fresh->LoadTree(), 0);
  EXPECT_EQ(fresh->fileMap.Count(), 0);
  EXPECT_EQ(fresh->CreateDir(u"\\first"), 2);
}

TEST_F(CatalogTest, PlaceholdersHoldNoDataAndStreamsSkipTheInUseTest) {
  MemoryFileSystem source;
  source.AddFile(u"\\s", PatternText(3000), kTime1);
  ASSERT_EQ(source.OpenStream(u"\\s"), 0);
  EXPECT_EQ(catalog_->WriteFileFrom(u"\\w", &source), 0);
  EXPECT_TRUE(source.stream_open());
  EXPECT_EQ(source.read_calls, 0);
  EXPECT_EQ(FileSize(dir_.At("w")), 0);

  LockHolder holder(dir_.At("w"), LockHolder::Kind::kFcntl);
  ASSERT_TRUE(holder.locked());
  EXPECT_EQ(catalog_->OpenStream(Root(), u"\\w"), 0);
  uint8_t buffer[8];
  EXPECT_EQ(catalog_->ReadStream(buffer, sizeof buffer), 0);
  EXPECT_EQ(catalog_->CloseStream(), 0);
}

}  // namespace
}  // namespace testsupport::fstest
