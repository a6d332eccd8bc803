// The CQUEXFSManager contract, run against every implementation (see
// file_system_contract.h).  The cases build their trees through the
// interface itself, so that they hold for a tree on disk and in a bucket.

#include "fs/file_system_contract.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/wide_string.h"
#include "fs/local_file_system.h"
#include "fs/virtual_file_system.h"
#include "support/fs_test_util.h"

namespace testsupport::fstest {
namespace {

constexpr char16_t kTime1[] = u"2010-06-01T12:00:00.000Z";
constexpr char16_t kTime2[] = u"2011-02-03T04:05:06.000Z";

std::vector<std::u16string> Keys(const CSortedMap<std::u16string>& map) {
  std::vector<std::u16string> keys;
  for (int i = 0; i < map.Count(); ++i) keys.push_back(map.KeyAt(i));
  return keys;
}

// Copies `content` with `time` into fs at key, the way the engine adds a
// file.
int32_t Put(CQUEXFSManager* fs, const std::u16string& key,
            const std::string& content, const std::u16string& time) {
  MemoryFileSystem source;
  source.AddFile(key, content, time);
  return fs->CopyFileFrom(fs->GetRoot(), key, &source, source.GetRoot(), key);
}

// The content of fs's file at key, read through its stream.
std::string ReadBack(CQUEXFSManager* fs, const std::u16string& key) {
  EXPECT_EQ(fs->OpenStream(fs->GetRoot(), key), 0);
  std::string content;
  uint8_t buffer[kCopyBlockSize];
  for (;;) {
    const int32_t n = fs->ReadStream(buffer, kCopyBlockSize);
    EXPECT_GE(n, 0);
    if (n <= 0) break;
    content.append(reinterpret_cast<const char*>(buffer),
                   static_cast<size_t>(n));
    if (n < kCopyBlockSize) break;
  }
  EXPECT_EQ(fs->CloseStream(), 0);
  return content;
}

TEST_P(FileSystemContractTest, EmptyTreeLoadsEmptyMaps) {
  EXPECT_EQ(fs()->LoadTree(), 0);
  EXPECT_EQ(fs()->LoadFiles(), 0);
  EXPECT_EQ(fs()->LoadDirs(), 0);
  EXPECT_EQ(fs()->LoadTreeSaveFiles(), 0);
  EXPECT_EQ(fs()->dirMap.Count(), 0);
  EXPECT_EQ(fs()->fileMap.Count(), 0);
  EXPECT_EQ(fs()->savedFileMap.Count(), 0);
  EXPECT_EQ(fs()->dirMap.Capacity(), 100);
  EXPECT_EQ(fs()->fileMap.Capacity(), 100);
  EXPECT_EQ(fs()->savedFileMap.Capacity(), 100);
  EXPECT_EQ(fs()->GetModifiedTime(u"\\never-loaded"), u"");
}

TEST_P(FileSystemContractTest, OneStreamAtATime) {
  uint8_t buffer[16] = {};
  EXPECT_EQ(fs()->ReadStream(buffer, sizeof buffer), -1);
  EXPECT_EQ(fs()->WriteStream(buffer, sizeof buffer), 1);
  EXPECT_EQ(fs()->CloseStream(), 1);
  EXPECT_EQ(fs()->OpenStream(u"\\missing.txt"), expect().open_missing);
  EXPECT_EQ(fs()->CloseStream(), 1);  // a failed open leaves no stream

  ASSERT_EQ(Put(fs(), u"\\a.txt", "alpha", kTime1), 0);
  ASSERT_EQ(Put(fs(), u"\\b.txt", "beta", kTime1), 0);
  ASSERT_EQ(fs()->LoadTree(), 0);
  EXPECT_EQ(fs()->OpenStream(fs()->GetRoot(), u"\\a.txt"), 0);
  EXPECT_EQ(fs()->OpenStream(fs()->GetRoot(), u"\\b.txt"), 1);
  EXPECT_EQ(fs()->OpenStream(u"\\b.txt"), 1);
  EXPECT_EQ(fs()->CloseStream(), 0);
  EXPECT_EQ(fs()->CloseStream(), 1);
  EXPECT_EQ(fs()->OpenStream(u"\\b.txt"), 0);  // the path form
  EXPECT_EQ(fs()->CloseStream(), 0);
}

TEST_P(FileSystemContractTest, CopyCarriesContentAndSourceTime) {
  // Sizes around the copy block: empty, short, one block less and more,
  // whole blocks (the end then shows as a read of 0), several blocks.
  const size_t sizes[] = {0, 1, 1023, 1024, 1025, 2048, 5000};
  for (const size_t size : sizes) {
    const std::u16string key = u"\\size" + BytesToU16(std::to_string(size));
    ASSERT_EQ(Put(fs(), key, PatternText(size), kTime1), 0) << size;
    ASSERT_EQ(fs()->LoadTree(), 0);
    ExpectCarriedTime(fs()->fileMap, key, kTime1);
    const std::string expected = expect().moves_data ? PatternText(size) : "";
    EXPECT_EQ(ReadBack(fs(), key), expected) << size;
  }
}

TEST_P(FileSystemContractTest, LoadFillsMapsWithKeysInCodeUnitOrder) {
  EXPECT_EQ(fs()->CreateDir(u"\\a"), 0);
  EXPECT_EQ(fs()->CreateDir(fs()->GetRoot(), u"\\B"), 0);
  EXPECT_EQ(fs()->CreateDir(u"\\a\\sub"), 0);
  ASSERT_EQ(Put(fs(), u"\\a\\b", "1", kTime1), 0);
  ASSERT_EQ(Put(fs(), u"\\a.txt", "2", kTime2), 0);
  ASSERT_EQ(Put(fs(), u"\\a\\sub\\c.txt", "3", kTime1), 0);

  ASSERT_EQ(fs()->LoadTree(), 0);
  // Upper case before lower case; "." (0x2E) before "\" (0x5C).
  EXPECT_EQ(Keys(fs()->dirMap),
            (std::vector<std::u16string>{u"\\B", u"\\a", u"\\a\\sub"}));
  EXPECT_EQ(Keys(fs()->fileMap),
            (std::vector<std::u16string>{u"\\a.txt", u"\\a\\b",
                                         u"\\a\\sub\\c.txt"}));
  ExpectCarriedTime(fs()->fileMap, u"\\a.txt", kTime2);
  ExpectCarriedTime(fs()->fileMap, u"\\a\\b", kTime1);
  for (int i = 0; i < fs()->dirMap.Count(); ++i) {
    EXPECT_EQ(fs()->dirMap.ValueAt(i).size(), 24u) << i;
  }
}

TEST_P(FileSystemContractTest, EachLoadEmptiesOnlyItsOwnMaps) {
  ASSERT_EQ(fs()->CreateDir(u"\\d1"), 0);
  ASSERT_EQ(Put(fs(), u"\\d1\\f1", "x", kTime1), 0);
  ASSERT_EQ(fs()->LoadTree(), 0);
  const std::vector<std::u16string> dirs = Keys(fs()->dirMap);
  const std::vector<std::u16string> files = Keys(fs()->fileMap);
  ASSERT_EQ(fs()->LoadTree(), 0);  // loading again gives the same maps
  EXPECT_EQ(Keys(fs()->dirMap), dirs);
  EXPECT_EQ(Keys(fs()->fileMap), files);

  // The operations do not touch the maps; only a load does.
  ASSERT_EQ(fs()->CreateDir(u"\\d2"), 0);
  ASSERT_EQ(Put(fs(), u"\\d2\\f2", "y", kTime2), 0);
  EXPECT_EQ(Keys(fs()->dirMap), dirs);
  EXPECT_EQ(Keys(fs()->fileMap), files);

  ASSERT_EQ(fs()->LoadFiles(), 0);
  EXPECT_EQ(Keys(fs()->dirMap), dirs);
  EXPECT_EQ(Keys(fs()->fileMap),
            (std::vector<std::u16string>{u"\\d1\\f1", u"\\d2\\f2"}));
  ASSERT_EQ(fs()->RemoveFile(u"\\d2\\f2"), 0);
  ASSERT_EQ(fs()->LoadDirs(), 0);
  EXPECT_EQ(Keys(fs()->dirMap), (std::vector<std::u16string>{u"\\d1", u"\\d2"}));
  EXPECT_EQ(Keys(fs()->fileMap),
            (std::vector<std::u16string>{u"\\d1\\f1", u"\\d2\\f2"}));

  // Only LoadTreeSaveFiles fills savedFileMap; a plain load leaves it.
  EXPECT_EQ(fs()->savedFileMap.Count(), 0);
  ASSERT_EQ(fs()->LoadTreeSaveFiles(), 0);
  EXPECT_EQ(Keys(fs()->savedFileMap), (std::vector<std::u16string>{u"\\d1\\f1"}));
  ExpectCarriedTime(fs()->savedFileMap, u"\\d1\\f1", kTime1);
  ASSERT_EQ(fs()->RemoveFile(u"\\d1\\f1"), 0);
  ASSERT_EQ(fs()->LoadTree(), 0);
  EXPECT_EQ(fs()->savedFileMap.Count(), 1);
  EXPECT_EQ(fs()->fileMap.Count(), 0);
}

TEST_P(FileSystemContractTest, SubtreeLoadKeepsKeysRelativeToRoot) {
  ASSERT_EQ(fs()->CreateDir(u"\\docs"), 0);
  ASSERT_EQ(fs()->CreateDir(u"\\docs\\sub"), 0);
  ASSERT_EQ(fs()->CreateDir(u"\\other"), 0);
  ASSERT_EQ(Put(fs(), u"\\docs\\sub\\a.txt", "a", kTime1), 0);
  ASSERT_EQ(Put(fs(), u"\\other\\b.txt", "b", kTime1), 0);
  ASSERT_EQ(fs()->LoadTree(u"\\docs"), 0);
  std::vector<std::u16string> dirs{u"\\docs\\sub"};
  if (expect().subtree_lists_its_root) dirs.insert(dirs.begin(), u"\\docs");
  EXPECT_EQ(Keys(fs()->dirMap), dirs);
  EXPECT_EQ(Keys(fs()->fileMap),
            (std::vector<std::u16string>{u"\\docs\\sub\\a.txt"}));
}

TEST_P(FileSystemContractTest, ReservedOpChangesNothing) {
  ASSERT_EQ(fs()->CreateDir(u"\\d"), 0);
  ASSERT_EQ(Put(fs(), u"\\d\\f", "x", kTime1), 0);
  ASSERT_EQ(fs()->LoadTree(), 0);
  EXPECT_EQ(fs()->ReservedOp(fs()->GetRoot(), u"\\d\\f", u"text", 7), 0);
  EXPECT_EQ(fs()->ReservedOp(u"\\d", u"text", -1), 0);
  EXPECT_EQ(Keys(fs()->fileMap), (std::vector<std::u16string>{u"\\d\\f"}));
  ASSERT_EQ(fs()->LoadTree(), 0);
  EXPECT_EQ(Keys(fs()->dirMap), (std::vector<std::u16string>{u"\\d"}));
  EXPECT_EQ(Keys(fs()->fileMap), (std::vector<std::u16string>{u"\\d\\f"}));
  ExpectCarriedTime(fs()->fileMap, u"\\d\\f", kTime1);
}

TEST_P(FileSystemContractTest, RemoveAndCreateResultCodes) {
  ASSERT_EQ(fs()->CreateDir(u"\\d"), 0);
  EXPECT_EQ(fs()->CreateDir(u"\\d"), expect().create_existing);
  EXPECT_EQ(fs()->CreateDir(fs()->GetRoot(), u"\\d"), expect().create_existing);
  ASSERT_EQ(Put(fs(), u"\\d\\f", "x", kTime1), 0);
  ASSERT_EQ(fs()->LoadTree(), 0);
  EXPECT_EQ(fs()->RemoveDir(u"\\d"), expect().remove_dir_not_empty);

  EXPECT_EQ(fs()->RemoveFile(fs()->GetRoot(), u"\\d\\f"), 0);
  EXPECT_EQ(fs()->RemoveFile(u"\\d\\missing"), expect().remove_missing);
  EXPECT_EQ(fs()->RemoveDir(fs()->GetRoot(), u"\\d"), 0);
  ASSERT_EQ(fs()->LoadTree(), 0);
  EXPECT_EQ(fs()->dirMap.Count(), 0);
  EXPECT_EQ(fs()->fileMap.Count(), 0);
}

TEST_P(FileSystemContractTest, UpdateAndReplaceCarryTheNewVersion) {
  ASSERT_EQ(Put(fs(), u"\\f", "old content", kTime1), 0);
  ASSERT_EQ(fs()->LoadTree(), 0);

  MemoryFileSystem source;
  source.AddFile(u"\\f", PatternText(3000, 'k'), kTime2);
  EXPECT_EQ(fs()->UpdateFileFrom(fs()->GetRoot(), u"\\f", kTime2, &source, 0),
            0);
  EXPECT_FALSE(source.stream_open());
  ASSERT_EQ(fs()->LoadTree(), 0);
  if (expect().moves_data) {
    EXPECT_EQ(ReadBack(fs(), u"\\f"), PatternText(3000, 'k'));
    ExpectCarriedTime(fs()->fileMap, u"\\f", kTime2);
  }

  source.AddFile(u"\\g", "replacement", kTime1);
  EXPECT_EQ(fs()->ReplaceFileFrom(fs()->GetRoot(), u"\\f", kTime1, &source,
                                  source.GetRoot(), u"\\g"),
            0);
  ASSERT_EQ(fs()->LoadTree(), 0);
  if (expect().moves_data) {
    EXPECT_EQ(ReadBack(fs(), u"\\f"), "replacement");
    ExpectCarriedTime(fs()->fileMap, u"\\f", kTime1);
  }
  EXPECT_EQ(Keys(fs()->fileMap), (std::vector<std::u16string>{u"\\f"}));
}

// A transfer whose source fails part-way must leave the target as it was,
// so that the engine keeps the catalog's entry and the next run retries.
TEST_P(FileSystemContractTest, SourceFailingPartWayLeavesTargetAsItWas) {
  ASSERT_EQ(Put(fs(), u"\\kept", "previous version", kTime1), 0);
  MemoryFileSystem source;
  source.AddFile(u"\\kept", PatternText(4096, 'n'), kTime2);
  source.AddFile(u"\\new", PatternText(4096, 'n'), kTime2);
  source.fail_read_at = 2048;

  const int32_t update =
      fs()->UpdateFileFrom(fs()->GetRoot(), u"\\kept", kTime2, &source, 0);
  const int32_t copy = fs()->CopyFileFrom(fs()->GetRoot(), u"\\new", &source,
                                          source.GetRoot(), u"\\new");
  source.open_result = 2;  // a source that cannot be opened: code passed on
  const int32_t unopened = fs()->CopyFileFrom(
      fs()->GetRoot(), u"\\new", &source, source.GetRoot(), u"\\new");
  ASSERT_EQ(fs()->LoadTree(), 0);
  if (!expect().moves_data) {  // the catalog never reads its source
    EXPECT_EQ(update, 0);
    EXPECT_EQ(copy, 0);
    EXPECT_EQ(unopened, 0);
    EXPECT_EQ(source.open_calls, 0);
    return;
  }
  EXPECT_EQ(update, 1);
  EXPECT_EQ(copy, 1);
  EXPECT_EQ(unopened, 2);
  EXPECT_FALSE(source.stream_open());
  EXPECT_EQ(Keys(fs()->fileMap), (std::vector<std::u16string>{u"\\kept"}));
  ExpectCarriedTime(fs()->fileMap, u"\\kept", kTime1);
  EXPECT_EQ(ReadBack(fs(), u"\\kept"), "previous version");
}

TEST_P(FileSystemContractTest, WriteFileFromTakesTheOpenSourceStream) {
  MemoryFileSystem source;
  source.AddFile(u"\\s", PatternText(1500), kTime1);
  ASSERT_EQ(source.OpenStream(u"\\s"), 0);
  EXPECT_EQ(fs()->WriteFileFrom(fs()->GetRoot(), u"\\w", &source), 0);
  ASSERT_EQ(fs()->LoadTree(), 0);
  EXPECT_EQ(Keys(fs()->fileMap), (std::vector<std::u16string>{u"\\w"}));
  if (expect().moves_data) {
    EXPECT_FALSE(source.stream_open());
    EXPECT_EQ(ReadBack(fs(), u"\\w"), PatternText(1500));
  } else {
    EXPECT_TRUE(source.stream_open());  // the catalog leaves it alone
    EXPECT_EQ(source.read_calls, 0);
  }
}

TEST_P(FileSystemContractTest, AnotherObjectSeesTheTreeAndReleaseEndsIt) {
  ASSERT_EQ(fs()->CreateDir(u"\\d"), 0);
  ASSERT_EQ(Put(fs(), u"\\d\\f", "content", kTime1), 0);
  ScopedFileSystem<> other = tree()->OpenAnother();
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(other->GetRoot(), fs()->GetRoot());
  ASSERT_EQ(other->LoadTree(), 0);
  EXPECT_EQ(Keys(other->fileMap), (std::vector<std::u16string>{u"\\d\\f"}));
  // Released with its stream still open.
  ASSERT_EQ(other->OpenStream(u"\\d\\f"), 0);
  EXPECT_EQ(other.release()->Release(), 0);
}

}  // namespace

std::unique_ptr<TreeUnderTest> MakeLocalTree();
std::unique_ptr<TreeUnderTest> MakeCatalogTree();

namespace {

// Trees on disk: a scratch directory and a file system of type T on it.
template <typename T>
class DiskTree final : public TreeUnderTest {
 public:
  DiskTree() : fs_(new T()) { fs_->SetRoot(dir_.LibPath()); }
  CQUEXFSManager* fs() override { return fs_.get(); }
  ScopedFileSystem<> OpenAnother() override {
    ScopedFileSystem<> other(new T());
    other->SetRoot(dir_.LibPath());
    return other;
  }

 private:
  FsScratchDir dir_;
  ScopedFileSystem<T> fs_;
};

INSTANTIATE_TEST_SUITE_P(
    Disk, FileSystemContractTest,
    ::testing::Values(
        FileSystemKind{"Local", &MakeLocalTree,
                       ContractExpectations{/*moves_data=*/true,
                                            /*open_missing=*/2,
                                            /*remove_missing=*/2,
                                            /*create_existing=*/1,
                                            /*remove_dir_not_empty=*/1}},
        FileSystemKind{"Catalog", &MakeCatalogTree,
                       ContractExpectations{/*moves_data=*/false,
                                            /*open_missing=*/3,
                                            /*remove_missing=*/1,
                                            /*create_existing=*/1,
                                            /*remove_dir_not_empty=*/1}}),
    [](const ::testing::TestParamInfo<FileSystemKind>& info) {
      return info.param.name;
    });

}  // namespace

std::unique_ptr<TreeUnderTest> MakeLocalTree() {
  return std::make_unique<DiskTree<CLocalFileSystem>>();
}

std::unique_ptr<TreeUnderTest> MakeCatalogTree() {
  return std::make_unique<DiskTree<CVirtualFileSystem>>();
}

}  // namespace testsupport::fstest
