// CLocalFileSystem's own behaviour: its scans, its result codes, the
// exclusive-open test against a second process, and copies that never
// damage the target when they fail.

#include "fs/local_file_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "common/wide_string.h"
#include "fs/tree_names.h"
#include "support/fs_test_util.h"
#include "support/test_platform.h"
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

std::vector<std::u16string> Sorted(std::vector<std::u16string> keys) {
  std::sort(keys.begin(), keys.end());
  return keys;
}

class LocalFileSystemTest : public ::testing::Test {
 protected:
  LocalFileSystemTest() : fs_(new CLocalFileSystem()) {
    fs_->SetRoot(dir_.LibPath());
  }

  std::u16string Root() const { return fs_->GetRoot(); }

  FsScratchDir dir_;
  ScopedFileSystem<CLocalFileSystem> fs_;
};

// ---- Scans ---------------------------------------------------------------------

TEST_F(LocalFileSystemTest, DotDirectoriesAreSkippedInEveryVariant) {
  MakeDir(dir_.At("docs"));
  WriteFile(dir_.At("docs/a.txt"), "a");
  WriteFile(dir_.At("docs/.profile"), "p");
  MakeDir(dir_.At("docs/.svn"));
  WriteFile(dir_.At("docs/.svn/entries"), "e");
  MakeDir(dir_.At(".git"));
  MakeDir(dir_.At(".git/objects"));
  WriteFile(dir_.At(".git/config"), "c");

  const std::vector<std::u16string> dirs{u"\\docs"};
  const std::vector<std::u16string> files{u"\\docs\\.profile", u"\\docs\\a.txt"};
  ASSERT_EQ(fs_->LoadTree(), 0);
  EXPECT_EQ(Keys(fs_->dirMap), dirs);
  EXPECT_EQ(Keys(fs_->fileMap), files);
  fs_->dirMap.RemoveAll();
  fs_->fileMap.RemoveAll();
  ASSERT_EQ(fs_->LoadDirs(), 0);
  EXPECT_EQ(Keys(fs_->dirMap), dirs);
  ASSERT_EQ(fs_->LoadFiles(), 0);
  EXPECT_EQ(Keys(fs_->fileMap), files);

  fs_->SetRoot(dir_.LibPath() + u"\\absent");  // a missing root loads empty
  EXPECT_EQ(fs_->LoadTree(), 0);
  EXPECT_EQ(fs_->dirMap.Count() + fs_->fileMap.Count(), 0);
}

// The scan's own order, depth first as the platform lists each directory,
// parents before their children.
void ReferenceScan(const std::string& posix_dir, const std::u16string& relative,
                   std::vector<std::u16string>* dirs,
                   std::vector<std::u16string>* files) {
  for (const std::string& name : ListNames(posix_dir + "/" + "")) {
    const std::string path = posix_dir + "/" + name;
    const std::u16string key = relative + u"\\" + Utf8ToU16(name);
    std::error_code error;
    const auto status = std::filesystem::symlink_status(FsPath(path), error);
    ASSERT_FALSE(error) << path;
    if (status.type() == std::filesystem::file_type::directory) {
      dirs->push_back(key);
      ReferenceScan(path, key, dirs, files);
    } else {
      files->push_back(key);
    }
  }
}

// Fails the listing of every directory whose path ends with `suffix`.
class UnlistableDirectoryEnv : public platform::EnvWrapper {
 public:
  explicit UnlistableDirectoryEnv(std::u16string suffix)
      : EnvWrapper(platform::Env::Default()), suffix_(std::move(suffix)) {}
  std::unique_ptr<platform::DirectoryIterator> OpenDirectory(
      const std::u16string& path) override {
    if (path.size() >= suffix_.size() &&
        path.compare(path.size() - suffix_.size(), suffix_.size(), suffix_) == 0) {
      return nullptr;
    }
    return EnvWrapper::OpenDirectory(path);
  }

 private:
  const std::u16string suffix_;
};

TEST_F(LocalFileSystemTest, ScanTellsWhetherEveryDirectoryWasListed) {
  MakeDir(dir_.At("kept"));
  MakeDir(dir_.At("hidden"));
  WriteFile(dir_.At("kept/a.txt"), "a");
  WriteFile(dir_.At("hidden/b.txt"), "b");
  fs_->LoadTree();
  EXPECT_TRUE(fs_->LastScanComplete());
  {
    UnlistableDirectoryEnv env(u"\\hidden");
    platform::ScopedEnvOverride use(&env);
    fs_->LoadTree();
  }
  EXPECT_FALSE(fs_->LastScanComplete());
  EXPECT_EQ(fs_->fileMap.Find(u"\\hidden\\b.txt"), -1);
  fs_->LoadTree();  // a later complete load clears the mark
  EXPECT_TRUE(fs_->LastScanComplete());
  ScopedFileSystem<CLocalFileSystem> missing(new CLocalFileSystem());
  missing->SetRoot(dir_.LibPath() + u"\\absent");
  EXPECT_EQ(missing->LoadTree(), 0);
  EXPECT_FALSE(missing->LastScanComplete());
}

// A full map keeps the lowest keys of the whole tree, whatever order the
// scan meets them in, so that every tree of a run holds the same keys.
TEST_F(LocalFileSystemTest, FullMapsKeepTheLowestHundredKeys) {
  for (int d = 0; d < 120; ++d) {
    const std::string sub = dir_.At("d" + std::to_string(d));
    MakeDir(sub);
    if (d % 3 == 0) WriteFile(sub + "/f", "x");
  }
  for (int f = 0; f < 150; ++f) {
    WriteFile(dir_.At("file" + std::to_string(f)), "x");
  }
  std::vector<std::u16string> dirs;
  std::vector<std::u16string> files;
  ReferenceScan(dir_.path(), u"", &dirs, &files);
  ASSERT_EQ(dirs.size(), 120u);
  ASSERT_EQ(files.size(), 190u);
  dirs = Sorted(dirs);
  files = Sorted(files);
  dirs.resize(100);
  files.resize(100);

  ASSERT_EQ(fs_->LoadTree(), 0);
  EXPECT_EQ(Keys(fs_->dirMap), Sorted(dirs));
  EXPECT_EQ(Keys(fs_->fileMap), Sorted(files));
  ASSERT_EQ(fs_->LoadFiles(), 0);
  EXPECT_EQ(Keys(fs_->fileMap), Sorted(files));
  ASSERT_EQ(fs_->LoadDirs(), 0);
  EXPECT_EQ(Keys(fs_->dirMap), Sorted(dirs));
}

#if !defined(_WIN32)
// A name holding a backslash cannot be a key (it would read as two
// components), and a symbolic link is neither listed nor followed: what it
// leads to is not part of the tree (and a link cycle would never end).
// (Windows names hold no backslash; the links are made with symlink(2).)
TEST_F(LocalFileSystemTest, SkipsBackslashNamesAndLinks) {
  MakeDir(dir_.At("docs"));
  WriteFile(dir_.At("docs/a.txt"), "a");
  WriteFile(dir_.At("docs\\evil"), "looks like \\docs\\evil");
  MakeDir(dir_.At("odd\\dir"));
  WriteFile(dir_.At("odd\\dir/inside"), "i");
  ASSERT_EQ(::symlink(".", dir_.At("docs/loop").c_str()), 0);
  ASSERT_EQ(::symlink("..", dir_.At("docs/up").c_str()), 0);
  ASSERT_EQ(::symlink("a.txt", dir_.At("docs/alias").c_str()), 0);

  ASSERT_EQ(fs_->LoadTree(), 0);
  EXPECT_EQ(Keys(fs_->dirMap), (std::vector<std::u16string>{u"\\docs"}));
  EXPECT_EQ(Keys(fs_->fileMap), (std::vector<std::u16string>{u"\\docs\\a.txt"}));
  EXPECT_EQ(Sorted(fs_->ScannedLinks()),
            (std::vector<std::u16string>{u"\\docs\\alias", u"\\docs\\loop",
                                         u"\\docs\\up"}));
  std::vector<std::u16string> backslash_names;
  for (const LeftOutEntry& entry : fs_->LeftOut()) {
    if (entry.reason == LeftOutReason::kNameHoldsBackslash) {
      backslash_names.push_back(entry.key);
    }
  }
  EXPECT_EQ(Sorted(backslash_names),
            (std::vector<std::u16string>{u"\\docs\\evil", u"\\odd\\dir"}));
  EXPECT_TRUE(fs_->LastScanComplete());
}
#endif

TEST_F(LocalFileSystemTest, LeftoverCopyFilesAreNeverListed) {
  WriteFile(dir_.At("a.txt"), "a");
  const std::u16string leftover = NewCopyFileName();
  WriteFile(dir_.At(U16ToUtf8(leftover)), "half a copy");
  WriteFile(dir_.At("notes.keltos3-tmp"), "a user's file");
  ASSERT_EQ(fs_->LoadTree(), 0);
  EXPECT_EQ(Keys(fs_->fileMap),
            (std::vector<std::u16string>{u"\\a.txt", u"\\notes.keltos3-tmp"}));
  // Left out, but not in silence.
  ASSERT_EQ(fs_->LeftOut().size(), 1u);
  EXPECT_EQ(fs_->LeftOut()[0].key, u"\\" + leftover);
  EXPECT_EQ(fs_->LeftOut()[0].reason, LeftOutReason::kWorkFileName);
}

TEST_F(LocalFileSystemTest, TimesAreCarriedToTheSecond) {
  WriteFile(dir_.At("disk.txt"), "d");
  SetMTime(dir_.At("disk.txt"), kTime1Unix, 400000000);  // 12:00:00.400
  ASSERT_EQ(fs_->LoadTree(), 0);
  EXPECT_EQ(fs_->fileMap.Lookup(u"\\disk.txt"), kTime1);

  MemoryFileSystem source;
  source.AddFile(u"\\copied.txt", "c", kTime1);
  ASSERT_EQ(fs_->CopyFileFrom(Root(), u"\\copied.txt", &source,
                              source.GetRoot(), u"\\copied.txt"),
            0);
  if (!::testsupport::IsSnapshotRun()) {
    const timespec mtime = MTime(dir_.At("copied.txt"));
    EXPECT_EQ(mtime.tv_sec, kTime1Unix);
    EXPECT_EQ(mtime.tv_nsec, 0);
  }
  ASSERT_EQ(fs_->LoadTree(), 0);
  ExpectCarriedTime(fs_->fileMap, u"\\copied.txt", kTime1);
}

// ---- Result codes ------------------------------------------------------------------

TEST_F(LocalFileSystemTest, DirectoryAndRemoveResultCodes) {
  EXPECT_EQ(fs_->CreateDir(u"\\new"), 0);
  EXPECT_EQ(fs_->CreateDir(u"\\new"), 1);
  EXPECT_EQ(fs_->CreateDir(u"\\no\\parent"), 2);  // only the last component
  WriteFile(dir_.At("plain"), "file");
  EXPECT_EQ(fs_->CreateDir(Root(), u"\\plain"), 2);

  WriteFile(dir_.At("new/f"), "f");
  EXPECT_EQ(fs_->RemoveDir(u"\\new"), 1);
  EXPECT_TRUE(PathExists(dir_.At("new/f")));
  EXPECT_EQ(fs_->RemoveDir(u"\\missing"), 1);
  ASSERT_TRUE(std::filesystem::remove(FsPath(dir_.At("new/f"))));
  EXPECT_EQ(fs_->RemoveDir(Root(), u"\\new"), 0);
  EXPECT_FALSE(PathExists(dir_.At("new")));

  EXPECT_EQ(fs_->RemoveFile(Root(), u"\\missing"), 2);  // in use or missing
  EXPECT_EQ(fs_->RemoveFile(u"\\plain"), 0);
  EXPECT_FALSE(PathExists(dir_.At("plain")));
}

TEST_F(LocalFileSystemTest, NamesLeavingTheTreeAreRefused) {
  const FsScratchDir outside;
  WriteFile(outside.At("victim"), "keep me");
  // A name that climbs from this tree's root into the other directory.
  fs_->SetRoot(dir_.LibPath() + u"\\sub");
  MakeDir(dir_.At("sub"));
  const std::u16string climb =
      u"\\..\\..\\" + Utf8ToU16(outside.path().substr(outside.path().rfind('/') + 1));

  MemoryFileSystem source;
  source.AddFile(u"\\x", "payload", kTime1);
  EXPECT_EQ(fs_->CopyFileFrom(Root(), climb + u"\\planted", &source,
                              source.GetRoot(), u"\\x"),
            1);
  EXPECT_EQ(source.open_calls, 0);
  EXPECT_FALSE(PathExists(outside.At("planted")));
  EXPECT_EQ(fs_->RemoveFile(Root(), climb + u"\\victim"), 1);
  EXPECT_EQ(fs_->OpenStream(Root(), climb + u"\\victim"), 3);
  EXPECT_EQ(fs_->CreateDir(Root(), climb + u"\\made"), 2);
  EXPECT_EQ(fs_->CreateDir(Root(), u"\\a/b"), 2);  // "/" is a POSIX separator
  EXPECT_EQ(fs_->RemoveFile(Root(), u"\\x\\"), 1);  // empty last component
  EXPECT_EQ(ReadFile(outside.At("victim")), "keep me");
  EXPECT_FALSE(PathExists(outside.At("made")));

  // The same through a symbolic link below the root, and onto one.
#if !defined(_WIN32)  // links made with symlink(2)
  ASSERT_EQ(::symlink(outside.path().c_str(), dir_.At("sub/link").c_str()), 0);
  ASSERT_EQ(::symlink(outside.At("victim").c_str(), dir_.At("sub/alias").c_str()), 0);
  EXPECT_EQ(fs_->CopyFileFrom(Root(), u"\\link\\planted", &source,
                              source.GetRoot(), u"\\x"),
            1);
  EXPECT_EQ(fs_->UpdateFileFrom(Root(), u"\\alias", kTime1, &source, 0), 1);
  EXPECT_EQ(fs_->RemoveFile(Root(), u"\\link\\victim"), 1);
  EXPECT_EQ(fs_->OpenStream(Root(), u"\\alias"), 3);
  EXPECT_EQ(fs_->CreateDir(Root(), u"\\link\\made"), 2);
  EXPECT_EQ(fs_->SetModifiedTime(Root(), u"\\alias", kTime2), 1);
  EXPECT_EQ(source.open_calls, 0);
  EXPECT_EQ(ReadFile(outside.At("victim")), "keep me");
  EXPECT_EQ(ListNames(outside.path()), std::vector<std::string>{"victim"});
#endif
}

// ---- The exclusive-open test, against a second process -------------------------------

class LocalInUseTest
    : public LocalFileSystemTest,
      public ::testing::WithParamInterface<LockHolder::Kind> {};

TEST_P(LocalInUseTest, FileLockedElsewhereIsLeftAlone) {
  WriteFile(dir_.At("busy"), "busy content");
  SetMTime(dir_.At("busy"), kTime1Unix);
  MemoryFileSystem source;
  source.AddFile(u"\\busy", "new content", kTime2);
  {
    LockHolder holder(dir_.At("busy"), GetParam());
    ASSERT_TRUE(holder.locked());
    EXPECT_EQ(CLocalFileSystem::IsFileLocked(Root() + u"\\busy"), 1);
    EXPECT_EQ(fs_->RemoveFile(Root(), u"\\busy"), 2);
    EXPECT_EQ(fs_->UpdateFileFrom(Root(), u"\\busy", kTime2, &source, 0), 2);
    EXPECT_EQ(fs_->UpdateFileFrom(u"\\busy", kTime2, &source, 0), 2);
    EXPECT_EQ(fs_->ReplaceFileFrom(Root(), u"\\busy", kTime2, &source,
                                   source.GetRoot(), u"\\busy"),
              2);
    EXPECT_EQ(fs_->OpenStream(Root(), u"\\busy"), 2);
    EXPECT_EQ(source.open_calls, 0);

    // As a source, a file in use makes the copy fail with 2.
    ScopedFileSystem<CLocalFileSystem> target(new CLocalFileSystem());
    const FsScratchDir target_dir;
    target->SetRoot(target_dir.LibPath());
    ASSERT_EQ(fs_->LoadTree(), 0);
    EXPECT_EQ(target->CopyFileFrom(target->GetRoot(), u"\\busy", fs_.get(),
                                   Root(), u"\\busy"),
              2);
    EXPECT_TRUE(ListNames(target_dir.path()).empty());
  }
  EXPECT_EQ(ReadFile(dir_.At("busy")), "busy content");
  EXPECT_EQ(MTime(dir_.At("busy")).tv_sec, kTime1Unix);
  EXPECT_EQ(CLocalFileSystem::IsFileLocked(Root() + u"\\busy"), 0);
  EXPECT_EQ(fs_->UpdateFileFrom(Root(), u"\\busy", kTime2, &source, 0), 0);
  EXPECT_EQ(ReadFile(dir_.At("busy")), "new content");
  EXPECT_EQ(fs_->RemoveFile(Root(), u"\\busy"), 0);
}

#if defined(_WIN32)
// Held by a program that lets others read the file, and by one that shares
// nothing.
INSTANTIATE_TEST_SUITE_P(Locks, LocalInUseTest,
                         ::testing::Values(LockHolder::Kind::kFlock,
                                           LockHolder::Kind::kNoSharing),
                         [](const auto& info) {
                           return info.param == LockHolder::Kind::kFlock
                                      ? "SharedForReading"
                                      : "NotShared";
                         });
#else
INSTANTIATE_TEST_SUITE_P(Locks, LocalInUseTest,
                         ::testing::Values(LockHolder::Kind::kFlock,
                                           LockHolder::Kind::kFcntl),
                         [](const auto& info) {
                           return info.param == LockHolder::Kind::kFlock
                                      ? "Flock"
                                      : "Fcntl";
                         });
#endif

// ---- Streams -------------------------------------------------------------------------

// A failed read must not look like the end of the file: the reader would
// store a shorter file as a complete copy.
TEST_F(LocalFileSystemTest, ReadStreamReportsAFailedRead) {
  WriteFile(dir_.At("src"), PatternText(4000));
  FaultyFileEnv env;
  env.read_fail_at = 1500;
  platform::ScopedEnvOverride override_env(&env);

  ASSERT_EQ(fs_->OpenStream(Root(), u"\\src"), 0);
  uint8_t buffer[kCopyBlockSize];
  EXPECT_EQ(fs_->ReadStream(buffer, kCopyBlockSize), kCopyBlockSize);
  EXPECT_EQ(fs_->ReadStream(buffer, kCopyBlockSize), -1);
  EXPECT_EQ(fs_->CloseStream(), 0);

  // The same source copied into another tree: the copy fails and the
  // target keeps its previous content.
  const FsScratchDir other;
  WriteFile(other.At("src"), "previous");
  ScopedFileSystem<CLocalFileSystem> target(new CLocalFileSystem());
  target->SetRoot(other.LibPath());
  ASSERT_EQ(fs_->LoadTree(), 0);
  EXPECT_EQ(target->UpdateFileFrom(target->GetRoot(), u"\\src", kTime1,
                                   fs_.get(), 0),
            1);
  EXPECT_EQ(ReadFile(other.At("src")), "previous");
  EXPECT_EQ(fs_->CloseStream(), 1);  // the copy closed its source
}

// A local stream only serves as a copy's source, so it is opened for
// reading only: a write to it fails and leaves the file alone.  A disk
// stream opened for writing (the catalog's) reports a short write.
TEST_F(LocalFileSystemTest, StreamsReadOnlyAndShortWritesShow) {
  WriteFile(dir_.At("f"), "0123456789");
  ASSERT_EQ(fs_->OpenStream(u"\\f"), 0);
  const uint8_t data[3] = {'a', 'b', 'c'};
  EXPECT_EQ(fs_->WriteStream(data, 3), 2);
  EXPECT_EQ(fs_->CloseStream(), 0);
  EXPECT_EQ(ReadFile(dir_.At("f")), "0123456789");

  FaultyFileEnv env;
  env.write_limit = 4;
  platform::ScopedEnvOverride override_env(&env);
  DiskStream stream;
  ASSERT_EQ(stream.Open(Lib(dir_.At("f"))), 0);
  EXPECT_EQ(stream.Write(data, 3), 0);
  EXPECT_EQ(stream.Write(data, 3), 2);  // only one of three bytes stored
  EXPECT_EQ(stream.Close(), 0);
  EXPECT_EQ(ReadFile(dir_.At("f")), "abca456789");
}

// ---- Copies through a work file ----------------------------------------------------------

struct CopyFault {
  const char* name;
  std::function<void(FaultyFileEnv*, MemoryFileSystem*)> arm;
};

void PrintTo(const CopyFault& fault, std::ostream* os) { *os << fault.name; }

class LocalCopyFaultTest : public LocalFileSystemTest,
                           public ::testing::WithParamInterface<CopyFault> {};

// Whatever part of a copy fails, the target stays exactly as it was, no
// work file is left, the source's stream is closed and the result is 1.
TEST_P(LocalCopyFaultTest, FailedCopyLeavesTargetAsItWas) {
  if (std::string(GetParam().name) == "TimeCannotBeSet") {
    SKIP_IN_SNAPSHOT_LAYOUT("the snapshot-assisted layout's copies set no time");
  }
  WriteFile(dir_.At("kept"), "previous version");
  SetMTime(dir_.At("kept"), kTime1Unix);
  MemoryFileSystem source;
  source.AddFile(u"\\kept", PatternText(3000), kTime2);
  source.AddFile(u"\\new", PatternText(3000), kTime2);
  FaultyFileEnv env;
  env.matches = [](const std::u16string& path) {
    return IsCopyFileName(path.substr(path.rfind(u'\\') + 1));
  };
  GetParam().arm(&env, &source);
  platform::ScopedEnvOverride override_env(&env);

  EXPECT_EQ(fs_->UpdateFileFrom(Root(), u"\\kept", kTime2, &source, 0), 1);
  EXPECT_FALSE(source.stream_open());
  EXPECT_EQ(fs_->ReplaceFileFrom(Root(), u"\\kept", kTime2, &source,
                                 source.GetRoot(), u"\\kept"),
            1);
  EXPECT_EQ(fs_->CopyFileFrom(Root(), u"\\new", &source, source.GetRoot(),
                              u"\\new"),
            1);
  EXPECT_FALSE(source.stream_open());

  EXPECT_EQ(ReadFile(dir_.At("kept")), "previous version");
  EXPECT_EQ(MTime(dir_.At("kept")).tv_sec, kTime1Unix);
  EXPECT_EQ(ListNames(dir_.path()), std::vector<std::string>{"kept"});
}

const CopyFault kCopyFaults[] = {
    CopyFault{"SourceReadFailsHalfWay",
              [](FaultyFileEnv*, MemoryFileSystem* source) {
                source->fail_read_at = 2048;
              }},
    // The disk fills up during the second block: a short write of a
    // block that is not the last.
    CopyFault{"DiskFullMidCopy",
              [](FaultyFileEnv* env, MemoryFileSystem*) {
                env->write_limit = 1500;
              }},
    CopyFault{"DiskFullAtFirstWrite",
              [](FaultyFileEnv* env, MemoryFileSystem*) {
                env->write_limit = 0;
              }},
    CopyFault{"CannotCreate",
              [](FaultyFileEnv* env, MemoryFileSystem*) {
                env->fail_create = true;
              }},
    CopyFault{"TimeCannotBeSet",
              [](FaultyFileEnv* env, MemoryFileSystem*) {
                env->fail_set_time = true;
              }},
    CopyFault{"FlushFails",
              [](FaultyFileEnv* env, MemoryFileSystem*) {
                env->fail_sync = true;
              }},
    CopyFault{"RenameFails",
              [](FaultyFileEnv* env, MemoryFileSystem*) {
                env->fail_rename = true;
              }}};

INSTANTIATE_TEST_SUITE_P(
    Faults, LocalCopyFaultTest, ::testing::ValuesIn(kCopyFaults),
    [](const ::testing::TestParamInfo<CopyFault>& info) {
      return std::string(info.param.name);
    });

TEST_F(LocalFileSystemTest, CopyWritesBesideTheTargetAndRenamesOverIt) {
  MakeDir(dir_.At("d"));
  WriteFile(dir_.At("d/f"), "old");
  MemoryFileSystem source;
  source.AddFile(u"\\d\\f", PatternText(2500), kTime2);
  FaultyFileEnv env;  // no faults: it only records what is created
  platform::ScopedEnvOverride override_env(&env);

  EXPECT_EQ(fs_->UpdateFileFrom(Root(), u"\\d\\f", kTime1, &source, 0), 0);
  ASSERT_EQ(env.created.size(), 1u);
  const std::u16string work = env.created[0];
  EXPECT_EQ(work.substr(0, work.rfind(u'\\')), Lib(dir_.At("d")));
  EXPECT_TRUE(IsCopyFileName(work.substr(work.rfind(u'\\') + 1)));
  EXPECT_EQ(ReadFile(dir_.At("d/f")), PatternText(2500));
  EXPECT_EQ(ListNames(dir_.At("d")), std::vector<std::string>{"f"});
  ASSERT_EQ(fs_->LoadTree(), 0);
  ExpectCarriedTime(fs_->fileMap, u"\\d\\f", kTime2);
}

}  // namespace
}  // namespace testsupport::fstest
