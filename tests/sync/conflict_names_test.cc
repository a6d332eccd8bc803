#include "sync/conflict_names.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

const std::u16string kTime = u"2010-06-01T12:34:56.000Z";

// The extension stays last, so that the copy opens like the file; a
// leading full stop is no extension, nor is one in a directory's name.
TEST(ConflictCopyNameTest, KeepsTheExtensionAndCountsTakenNames) {
  EXPECT_EQ(ConflictCopyName(u"\\docs\\report.txt", kTime),
            u"\\docs\\report (conflict copy 2010-06-01 12-34-56).txt");
  EXPECT_EQ(ConflictCopyName(u"\\docs\\.profile", kTime),
            u"\\docs\\.profile (conflict copy 2010-06-01 12-34-56)");
  EXPECT_EQ(ConflictCopyName(u"\\v1.2\\notes", kTime),
            u"\\v1.2\\notes (conflict copy 2010-06-01 12-34-56)");
  EXPECT_EQ(ConflictCopyName(u"\\a.tar.gz", u"not a time"), u"\\a.tar (conflict copy).gz");

  const std::set<std::u16string> taken = {
      u"\\r (conflict copy 2010-06-01 12-34-56).txt",
      u"\\r (conflict copy 2010-06-01 12-34-56 2).txt"};
  EXPECT_EQ(ConflictCopyName(u"\\r.txt", kTime,
                             [&](const std::u16string& n) { return taken.count(n) != 0; }),
            u"\\r (conflict copy 2010-06-01 12-34-56 3).txt");
}

}  // namespace
