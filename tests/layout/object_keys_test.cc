#include "layout/object_keys.h"

#include <gtest/gtest.h>

#include "common/wide_string.h"

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
  EXPECT_EQ(VersionedIndexKey(IndexKeyOf(file), u"2008-09-20T06:33:34.000Z"),
            u"$file$/docs/a.txt_2008-09-20T06:33:34.000Z_Info");
  // A stored name opened for reading names its index object directly.
  EXPECT_EQ(IndexKeyOf(FileKeyOf(StoredNameOf(u"\\docs\\a.txt", u"S"))),
            u"$file$/docs/a.txt_S_Info");
  // Keys shorter than the suffix lose what they have.
  EXPECT_EQ(VersionedIndexKey(u"abc", u"S"), u"_S_Info");
}

TEST(ObjectKeysTest, ChunkKeysNameOnePathAndOneVersion) {
  const std::u16string t = NewChunkToken(1275393600);  // 2010-06-01T12:00:00Z
  const std::u16string u = NewChunkToken(1275393600);
  EXPECT_EQ(t.substr(0, 17), u"20100601T120000Z-");
  EXPECT_TRUE(IsChunkToken(t));
  EXPECT_NE(t, u);  // the same second, another version

  const std::u16string file = FileKeyOf(u"\\docs\\a.txt");
  EXPECT_EQ(ChunkKeyOf(file, t, 2), u"$chunk$/docs/a.txt_" + t + u"_00002");
  EXPECT_EQ(EarlierChunkKeyOf(file, 99998), u"$data$/docs/a.txt_99998");
  // Only the leading "$file$" is replaced, so these two paths never share.
  EXPECT_EQ(ChunkKeyOf(FileKeyOf(u"\\$file$x"), t, 0), u"$chunk$/$file$x_" + t + u"_00000");
  EXPECT_NE(EarlierChunkKeyOf(FileKeyOf(u"\\$file$x"), 0),
            EarlierChunkKeyOf(FileKeyOf(u"\\$data$x"), 0));

  EXPECT_TRUE(IsChunkKeyOf(ChunkKeyOf(file, t, 7), file));
  EXPECT_TRUE(IsChunkKeyOf(EarlierChunkKeyOf(file, 7), file));
  // A path that ends like another path's chunk key does not own it.
  const std::u16string longer = FileKeyOf(u"\\docs\\a.txt_" + t);
  EXPECT_FALSE(IsChunkKeyOf(ChunkKeyOf(file, t, 0), longer));
  EXPECT_FALSE(IsChunkKeyOf(EarlierChunkKeyOf(longer, 0), file));
  EXPECT_FALSE(IsChunkKeyOf(ChunkKeyOf(longer, u, 0), file));
  EXPECT_FALSE(IsChunkKeyOf(u"$chunk$/docs/a.txt_" + t + u"_0001", file));

  std::u16string group;
  EXPECT_TRUE(IsChunkKey(ChunkKeyOf(file, t, 3), &group));
  EXPECT_EQ(group, u"$chunk$/docs/a.txt_" + t);
  EXPECT_TRUE(HasChunkToken(ChunkKeyOf(file, t, 3)));
  EXPECT_TRUE(IsChunkKey(EarlierChunkKeyOf(file, 3), &group));
  EXPECT_EQ(group, u"$data$/docs/a.txt");
  EXPECT_FALSE(HasChunkToken(EarlierChunkKeyOf(file, 3)));
  for (const char16_t* other : {u"$file$/docs/a.txt_S_Info", u"$folder$docs", u"$data$_00001",
                                u"$chunk$/docs/a.txt_00001", u"photo_00001"}) {
    EXPECT_FALSE(IsChunkKey(other)) << U16ToUtf8(other);
  }
}

}  // namespace
