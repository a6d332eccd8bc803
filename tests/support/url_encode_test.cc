#include "support/url_encode.h"

#include <gtest/gtest.h>

namespace {

TEST(UrlEncodeTest, OnlyAsciiLettersAndDigitsStay) {
  EXPECT_EQ(EncodeKeyForUrl(u""), u"");
  EXPECT_EQ(EncodeKeyForUrl(u"AZaz09"), u"AZaz09");
  EXPECT_EQ(EncodeKeyForUrl(u"$folder$a/b"), u"%24folder%24a%2Fb");
  EXPECT_EQ(EncodeKeyForUrl(u" .-_~+%="), u"%20%2E%2D%5F%7E%2B%25%3D");
  EXPECT_EQ(EncodeKeyForUrl(std::u16string(u"\0\x7F", 2)), u"%00%7F");
}

TEST(UrlEncodeTest, NonAsciiTextIsEncodedAsUtf8) {
  EXPECT_EQ(EncodeKeyForUrl(u"\u00e9"), u"%C3%A9");
  EXPECT_EQ(EncodeKeyForUrl(u"caf\u00e9/\u20ac"), u"caf%C3%A9%2F%E2%82%AC");
  EXPECT_EQ(EncodeKeyForUrl(u"\U0001F600"), u"%F0%9F%98%80");  // four bytes
  EXPECT_EQ(EncodeKeyForUrl(u"\u65e5\u672c"), u"%E6%97%A5%E6%9C%AC");
  // A lone surrogate cannot be UTF-8: it becomes U+FFFD.
  EXPECT_EQ(EncodeKeyForUrl(std::u16string(1, u'\xD800')), u"%EF%BF%BD");
}

}  // namespace
