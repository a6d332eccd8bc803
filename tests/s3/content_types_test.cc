// The extension to content-type table.

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "s3/content_types.h"

namespace {

TEST(ContentTypesTest, TableAndLookups) {
  const CSortedMap<std::u16string>& table = ContentTypeTable();
  ASSERT_EQ(table.Count(), 157);
  std::set<std::u16string> types;
  for (int i = 0; i < table.Count(); ++i) types.insert(table.ValueAt(i));
  EXPECT_EQ(types.size(), 102u);

  const char16_t* const cases[][2] = {
      {u".txt", u"text/plain"},          {u".zip", u"application/zip"},
      {u".ai", u"application/postscript"}, {u".jpg", u"image/jpeg"},
      {u".step", u"application/STEP"},   {u".tsi", u"audio/TSP-audio"},
      {u".prt", u"application/pro_eng"}, {u".ice", u"x-conference/x-cooltalk"},
      {u".exe", u"application/octet-stream"},
      // Unknown, differently cased, without the dot, empty.
      {u".JPG", u"application/octet-stream"}, {u"jpg", u"application/octet-stream"},
      {u"", u"application/octet-stream"},     {u".docx", u"application/octet-stream"},
  };
  for (const auto& c : cases) EXPECT_EQ(ContentTypeFor(c[0]), c[1]);
}

}  // namespace
