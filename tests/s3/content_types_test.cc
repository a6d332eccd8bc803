// The extension to content-type table.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "s3/content_types.h"

namespace {

TEST(ContentTypesTest, TableHoldsEveryEntry) {
  const CSortedMap<std::u16string>& table = ContentTypeTable();
  EXPECT_EQ(table.Count(), 157);
  EXPECT_GE(table.Capacity(), 157);
  std::set<std::u16string> types;
  for (int i = 0; i < table.Count(); ++i) {
    const std::u16string extension = table.KeyAt(i);
    ASSERT_FALSE(extension.empty());
    EXPECT_EQ(extension[0], u'.');
    types.insert(table.ValueAt(i));
  }
  EXPECT_EQ(types.size(), 102u);
}

TEST(ContentTypesTest, Lookups) {
  struct Case {
    const char16_t* extension;
    const char16_t* type;
  } cases[] = {
      {u".txt", u"text/plain"},
      {u".zip", u"application/zip"},
      {u".ai", u"application/postscript"},
      {u".xyz", u"chemical/x-pdb"},
      {u".jpg", u"image/jpeg"},
      {u".step", u"application/STEP"},
      {u".stl", u"application/SLA"},
      {u".tsi", u"audio/TSP-audio"},
      {u".prt", u"application/pro_eng"},
      {u".ice", u"x-conference/x-cooltalk"},
      {u".mime", u"www/mime"},
      {u".f90", u"text/plain"},
      {u".sv4cpio", u"application/x-sv4cpio"},
      {u".exe", u"application/octet-stream"},
      {u".bin", u"application/octet-stream"},
      // Not in the table.
      {u".JPG", u"application/octet-stream"},
      {u"jpg", u"application/octet-stream"},
      {u"", u"application/octet-stream"},
      {u".", u"application/octet-stream"},
      {u".docx", u"application/octet-stream"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ContentTypeFor(c.extension), c.type);
  }
}

}  // namespace
