#include "layout/object_keys.h"

#include <gtest/gtest.h>

namespace {

TEST(ObjectKeysTest, FolderMarkersDropOuterSeparators) {
  EXPECT_EQ(FolderMarkerKeyOf(u"\\docs\\2009"), u"$folder$docs/2009");
  EXPECT_EQ(FolderMarkerKeyOf(u"\\docs\\2009\\"), u"$folder$docs/2009");
  EXPECT_EQ(FolderMarkerKeyOf(u"docs"), u"$folder$docs");
  EXPECT_EQ(FolderMarkerKeyOf(u"\\"), u"$folder$");
  EXPECT_EQ(FolderMarkerKeyOf(u""), u"$folder$");
}

TEST(ObjectKeysTest, ParentDirectoryIsTextBeforeLastBackslash) {
  EXPECT_EQ(ParentDirectoryOf(u"\\docs\\a.txt"), u"\\docs");
  EXPECT_EQ(ParentDirectoryOf(u"\\a.txt"), u"");
  EXPECT_EQ(ParentDirectoryOf(u"a.txt"), u"");
}

TEST(ObjectKeysTest, FileIndexAndVersionedKeys) {
  const std::u16string file = FileKeyOf(u"\\docs\\a.txt");
  EXPECT_EQ(file, u"$file$/docs/a.txt");
  EXPECT_EQ(IndexKeyOf(file), u"$file$/docs/a.txt_Info");
#if !defined(KELTOS3_SNAPSHOT_BUILD)  // it has no versioned keys
  EXPECT_EQ(VersionedIndexKey(IndexKeyOf(file), u"2008-09-20T06:33:34.000Z"),
            u"$file$/docs/a.txt_2008-09-20T06:33:34.000Z_Info");
  // A stored name opened for reading names its index object directly.
  EXPECT_EQ(IndexKeyOf(FileKeyOf(StoredNameOf(u"\\docs\\a.txt", u"S"))),
            u"$file$/docs/a.txt_S_Info");
  // Keys shorter than the suffix lose what they have.
  EXPECT_EQ(VersionedIndexKey(u"abc", u"S"), u"_S_Info");
#endif
}

TEST(ObjectKeysTest, ChunkKeysNumberAndRenameEveryFilePrefix) {
  EXPECT_EQ(ChunkKeyOf(u"$file$/docs/a.txt", 0), u"$data$/docs/a.txt_00000");
  EXPECT_EQ(ChunkKeyOf(u"$file$/docs/a.txt", 2), u"$data$/docs/a.txt_00002");
  EXPECT_EQ(ChunkKeyOf(u"$file$/docs/a.txt", 99998), u"$data$/docs/a.txt_99998");
  EXPECT_EQ(ChunkKeyOf(u"$file$/x", 123456), u"$data$/x_123456");
  EXPECT_EQ(ChunkKeyOf(FileKeyOf(u"\\a$file$b"), 1), u"$data$/a$data$b_00001");
}

}  // namespace
