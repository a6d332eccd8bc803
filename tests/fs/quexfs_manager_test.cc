// The interface's fixed slot order, its time-text members, and the name
// rules of the trees on disk.

#include "fs/quexfs_manager.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "fs/tree_names.h"

namespace {

// The vtable slot of a virtual member function.  Under the Itanium C++ ABI
// (g++ on Linux) a pointer to a virtual member holds 1 + the byte offset of
// its slot.
template <typename F>
std::ptrdiff_t SlotOf(F f) {
  static_assert(sizeof(F) == 2 * sizeof(std::ptrdiff_t));
  std::ptrdiff_t words[2];
  std::memcpy(words, &f, sizeof words);
  EXPECT_EQ(words[0] % static_cast<std::ptrdiff_t>(sizeof(void*)), 1);
  return (words[0] - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
}

using M = CQUEXFSManager;
using S = std::u16string;

// Thirty slots; the snapshot-assisted build has no SetModifiedTime and no
// GetModifiedTime, so its last three operations move up to 25..27.
TEST(QuexFSManagerTest, OperationsInTheirSlotOrder) {
  EXPECT_EQ(SlotOf(static_cast<int32_t (M::*)(S)>(&M::LoadTree)), 0);
  EXPECT_EQ(SlotOf(static_cast<int32_t (M::*)()>(&M::LoadTree)), 1);
  EXPECT_EQ(SlotOf(static_cast<int32_t (M::*)(S)>(&M::LoadFiles)), 2);
  EXPECT_EQ(SlotOf(static_cast<int32_t (M::*)()>(&M::LoadFiles)), 3);
  EXPECT_EQ(SlotOf(static_cast<int32_t (M::*)(S)>(&M::LoadDirs)), 4);
  EXPECT_EQ(SlotOf(static_cast<int32_t (M::*)()>(&M::LoadDirs)), 5);
  EXPECT_EQ(SlotOf(static_cast<int32_t (M::*)(S)>(&M::LoadTreeSaveFiles)), 6);
  EXPECT_EQ(SlotOf(static_cast<int32_t (M::*)()>(&M::LoadTreeSaveFiles)), 7);
  EXPECT_EQ(SlotOf(static_cast<int32_t (M::*)(S, S)>(&M::CreateDir)), 8);
  EXPECT_EQ(SlotOf(static_cast<int32_t (M::*)(S)>(&M::CreateDir)), 9);
  EXPECT_EQ(SlotOf(static_cast<int32_t (M::*)(S, S)>(&M::RemoveDir)), 10);
  EXPECT_EQ(SlotOf(static_cast<int32_t (M::*)(S)>(&M::RemoveDir)), 11);
  EXPECT_EQ(
      SlotOf(static_cast<int32_t (M::*)(S, S, S, int32_t)>(&M::ReservedOp)), 12);
  EXPECT_EQ(SlotOf(static_cast<int32_t (M::*)(S, S, int32_t)>(&M::ReservedOp)),
            13);
  EXPECT_EQ(SlotOf(&M::CopyFileFrom), 14);
  EXPECT_EQ(SlotOf(static_cast<int32_t (M::*)(S, S, M*)>(&M::WriteFileFrom)),
            15);
  EXPECT_EQ(SlotOf(static_cast<int32_t (M::*)(S, M*)>(&M::WriteFileFrom)), 16);
  EXPECT_EQ(SlotOf(static_cast<int32_t (M::*)(S, S)>(&M::RemoveFile)), 17);
  EXPECT_EQ(SlotOf(static_cast<int32_t (M::*)(S)>(&M::RemoveFile)), 18);
  EXPECT_EQ(SlotOf(&M::ReplaceFileFrom), 19);
  EXPECT_EQ(SlotOf(static_cast<int32_t (M::*)(S, S, S, M*, int32_t)>(
                &M::UpdateFileFrom)),
            20);
  EXPECT_EQ(SlotOf(static_cast<int32_t (M::*)(S, S, M*, int32_t)>(
                &M::UpdateFileFrom)),
            21);
  EXPECT_EQ(SlotOf(static_cast<int32_t (M::*)(S, S)>(&M::OpenStream)), 22);
  EXPECT_EQ(SlotOf(static_cast<int32_t (M::*)(S)>(&M::OpenStream)), 23);
  EXPECT_EQ(SlotOf(&M::ReadStream), 24);
  EXPECT_EQ(SlotOf(&M::SetModifiedTime), 25);
  EXPECT_EQ(SlotOf(&M::GetModifiedTime), 26);
  EXPECT_EQ(SlotOf(&M::WriteStream), 27);
  EXPECT_EQ(SlotOf(&M::CloseStream), 28);
  EXPECT_EQ(SlotOf(&M::Release), 29);
}

TEST(QuexFSManagerTest, TimeTextMembers) {
  const platform::FileTime t =
      CQUEXFSManager::ParseTimeText(u"2010-06-01T12:00:00.400Z");
  EXPECT_EQ(t, platform::FileTimeFromUnixSeconds(1275393600) + 4000000);
  // Milliseconds are never written.
  EXPECT_EQ(CQUEXFSManager::FormatTimeText(t), u"2010-06-01T12:00:00.000Z");
  EXPECT_EQ(CQUEXFSManager::ParseTimeText(u""), 0u);
  EXPECT_EQ(CQUEXFSManager::ParseTimeText(u"2010-02-30T00:00:00.000Z"), 0u);
}

TEST(TreeNamesTest, SafeNamesOnlyGoDown) {
  EXPECT_TRUE(IsSafeTreeName(u"\\a.txt"));
  EXPECT_TRUE(IsSafeTreeName(u"\\docs\\.profile"));
  EXPECT_TRUE(IsSafeTreeName(u"\\a..b\\...x"));
  EXPECT_TRUE(IsSafeTreeName(u"relative\\name"));
  EXPECT_FALSE(IsSafeTreeName(u""));
  EXPECT_FALSE(IsSafeTreeName(u"\\"));
  EXPECT_FALSE(IsSafeTreeName(u"\\\\a"));
  EXPECT_FALSE(IsSafeTreeName(u"\\a\\"));
  EXPECT_FALSE(IsSafeTreeName(u"\\..\\a"));
  EXPECT_FALSE(IsSafeTreeName(u"\\a\\."));
  EXPECT_FALSE(IsSafeTreeName(u"\\a/../b"));
  EXPECT_FALSE(IsSafeTreeName(std::u16string(u"\\a\0b", 4)));
}

TEST(TreeNamesTest, DotDirectoriesAreTheOnesNamedWithALeadingDot) {
  EXPECT_TRUE(IsBelowDotDirectory(u"\\.cfg\\x", false));
  EXPECT_TRUE(IsBelowDotDirectory(u"\\a\\.git\\b\\c", false));
  EXPECT_TRUE(IsBelowDotDirectory(u"\\.cfg", true));
  EXPECT_TRUE(IsBelowDotDirectory(u"\\a\\.git\\b", true));
  EXPECT_FALSE(IsBelowDotDirectory(u"\\.profile", false));
  EXPECT_FALSE(IsBelowDotDirectory(u"\\a\\.profile", false));
  EXPECT_FALSE(IsBelowDotDirectory(u"\\a.b\\c", false));
  EXPECT_FALSE(IsBelowDotDirectory(u"\\a.b", true));
}

TEST(TreeNamesTest, CopyFileNamesAreNewEachTimeAndRecognised) {
  const std::u16string a = NewCopyFileName();
  EXPECT_NE(a, NewCopyFileName());
  EXPECT_EQ(a.size(), NewCopyFileName().size());
  EXPECT_TRUE(IsCopyFileName(a));
  EXPECT_FALSE(IsCopyFileName(u"a.txt"));
  EXPECT_FALSE(IsCopyFileName(u"notes.keltos3-tmp"));
  EXPECT_FALSE(IsCopyFileName(u".keltos3-notes"));
  const std::u16string path = NewCopyFilePathFor(u"\\r\\d\\a.txt");
  EXPECT_EQ(path.substr(0, 5), u"\\r\\d\\");
  EXPECT_TRUE(IsCopyFileName(path.substr(5)));
  EXPECT_TRUE(IsCopyFileName(NewCopyFilePathFor(u"a.txt")));
}

}  // namespace
