#include "common/sorted_map.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(SortedMapTest, KeepsKeysInCodeUnitOrder) {
  CSortedMap<std::u16string> map;
  map.Set(u"\\a\\b", u"3");
  map.Set(u"\\a.txt", u"2");
  map.Set(u"\\a", u"1");
  map.Set(u"\\B", u"0");
  ASSERT_EQ(map.Count(), 4);
  // "\B" before "\a" (upper case first); "." (0x2E) before "\" (0x5C).
  EXPECT_EQ(map.KeyAt(0), u"\\B");
  EXPECT_EQ(map.KeyAt(1), u"\\a");
  EXPECT_EQ(map.KeyAt(2), u"\\a.txt");
  EXPECT_EQ(map.KeyAt(3), u"\\a\\b");
  EXPECT_EQ(map.Find(u"\\a.txt"), 2);
  EXPECT_EQ(map.Find(u"\\A"), -1);
}

TEST(SortedMapTest, ReplacesExistingAndDropsNewKeysWhenFull) {
  CSortedMap<int> map(3);
  EXPECT_TRUE(map.Set(u"b", 1));
  EXPECT_TRUE(map.Set(u"d", 2));
  EXPECT_TRUE(map.Set(u"c", 3));
  EXPECT_FALSE(map.Set(u"a", 4));  // full: dropped silently
  EXPECT_EQ(map.Find(u"a"), -1);
  EXPECT_TRUE(map.Set(u"d", 9));   // existing keys still change
  EXPECT_EQ(map.Lookup(u"d"), 9);
  EXPECT_EQ(map.Count(), 3);
}

// Whatever order the keys come in, a full map that keeps the lowest holds
// exactly the lowest keys offered.
TEST(SortedMapTest, KeepLowestHoldsTheLowestKeysOffered) {
  CSortedMap<int> map(3, SortedMapWhenFull::kKeepLowest);
  for (const char16_t* key : {u"e", u"b", u"g", u"a", u"f", u"c", u"d"}) {
    map.Set(key, 1);
  }
  EXPECT_EQ(map.Count(), 3);
  EXPECT_EQ(map.KeyAt(0), u"a");
  EXPECT_EQ(map.KeyAt(2), u"c");
  EXPECT_FALSE(map.Set(u"b0", 2));  // stored; "c" had to go
  EXPECT_EQ(map.Find(u"c"), -1);
  EXPECT_EQ(map.Lookup(u"b0"), 2);
  EXPECT_FALSE(map.Set(u"z", 3));   // above the highest: dropped
  EXPECT_TRUE(map.Set(u"a", 4));    // existing keys still change
  const CSortedMap<int> copy = map;
  CSortedMap<int> assigned(1);
  assigned = copy;
  for (CSortedMap<int>* m : {&map, &assigned}) {
    m->Set(u"0", 5);  // the rule travels with a copy
    EXPECT_EQ(m->KeyAt(0), u"0");
    EXPECT_EQ(m->KeyAt(2), u"b");
  }
}

TEST(SortedMapTest, ClampsKeyIndexAndGivesEmptyValueOutOfRange) {
  CSortedMap<std::u16string> empty;
  EXPECT_EQ(empty.KeyAt(0), u"");
  EXPECT_EQ(empty.ValueAt(0), u"");

  CSortedMap<std::u16string> map;
  map.Set(u"k1", u"v1");
  map.Set(u"k2", u"v2");
  EXPECT_EQ(map.KeyAt(-5), u"k1");
  EXPECT_EQ(map.KeyAt(7), u"k2");
  EXPECT_EQ(map.ValueAt(-1), u"");
  EXPECT_EQ(map.ValueAt(2), u"");
  EXPECT_EQ(map.ValueAt(1), u"v2");
}

TEST(SortedMapTest, CopyKeepsEntriesAndCapacity) {
  CSortedMap<int> map(2);
  map.Set(u"x", 1);
  map.Set(u"y", 2);
  CSortedMap<int> copy(map);
  EXPECT_EQ(copy.Capacity(), 2);
  EXPECT_EQ(copy.Count(), 2);
  EXPECT_FALSE(copy.Set(u"z", 3));
  CSortedMap<int> assigned(50);
  assigned = map;
  EXPECT_EQ(assigned.Capacity(), 2);
  assigned = assigned;  // self-assignment changes nothing
  EXPECT_EQ(assigned.Count(), 2);
  map.RemoveAll();
  EXPECT_EQ(map.Count(), 0);
  EXPECT_EQ(copy.Lookup(u"y"), 2);
}

}  // namespace
