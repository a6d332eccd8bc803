#include "platform/profile.h"

#include <gtest/gtest.h>

#include <random>

#include "support/faulty_file.h"
#include "support/temp_dir.h"
#include "support/test_env.h"

namespace {

using platform::GetPrivateProfileString;
using platform::kMaxProfileBytes;
using testsupport::TempDir;
using testsupport::TestEnv;

class ProfileTest : public ::testing::Test {
 protected:
  ProfileTest() : override_(&env_) {}

  void Write(const std::string& bytes) { dir_.WriteFile("Kelto.ini", bytes); }

  // The value read into a buffer of `size` characters (filled with 'X' so
  // that a missing terminator would show), or the default "dflt".
  std::u16string Get(const std::u16string& section, const std::u16string& key,
                     uint32_t size = 261, uint32_t* returned = nullptr,
                     const std::u16string& def = u"dflt") {
    std::u16string buffer(size + 8, u'X');
    const uint32_t n = GetPrivateProfileString(section, key, def, buffer.data(),
                                               size, dir_.LibraryPathOf("Kelto.ini"));
    if (returned != nullptr) *returned = n;
    EXPECT_LE(n + 1, size);
    EXPECT_EQ(buffer[n], u'\0');
    return buffer.substr(0, n);
  }

  TestEnv env_;
  platform::ScopedEnvOverride override_;
  TempDir dir_;
};

TEST_F(ProfileTest, MissingFileSectionOrKeyGivesTheDefault) {
  EXPECT_EQ(Get(u"ONLINE", u"ACCOUNT"), u"dflt");  // no file yet
  Write("[OTHER]\nACCOUNT=1\n[ONLINE]\nBUCKET=b\n");
  EXPECT_EQ(Get(u"MISSING", u"ACCOUNT"), u"dflt");
  EXPECT_EQ(Get(u"ONLINE", u"ACCOUNT"), u"dflt");
  // Trailing blanks of the default go, leading ones stay.
  EXPECT_EQ(Get(u"ONLINE", u"ACCOUNT", 261, nullptr, u" d  "), u" d");
  // A directory, the "." of an executable path without "\", or an empty path.
  std::u16string buffer(16, u'X');
  EXPECT_EQ(GetPrivateProfileString(u"ONLINE", u"BUCKET", u"d", buffer.data(), 16,
                                    dir_.library_path()), 1u);
  EXPECT_EQ(GetPrivateProfileString(u"ONLINE", u"BUCKET", u"d", buffer.data(), 16, u"."), 1u);
  EXPECT_EQ(GetPrivateProfileString(u"ONLINE", u"BUCKET", u"d", buffer.data(), 16, u""), 1u);
  EXPECT_EQ(buffer.substr(0, 2), std::u16string(u"d\0", 2));
}

TEST_F(ProfileTest, NamesMatchWithoutCaseAndBlanksAreTrimmed) {
  Write("\xEF\xBB\xBF; a comment=1\r\n"
        "key0=before any section\r\n"
        "  [  Online  ]  trailing words\r\n"
        "  Bucket   =   my bucket  \r\n"
        "\tTAB\t=\tv\t\r\n"
        "\xC3\x89t\xC3\xA9=latin\r\n"
        "noequals\r\n"
        ";ACCOUNT=commented\r\n"
        "ACCOUNT=\r\n");
  EXPECT_EQ(Get(u"online", u"BUCKET"), u"my bucket");
  EXPECT_EQ(Get(u" ONLINE ", u" bucket\t"), u"my bucket");
  EXPECT_EQ(Get(u"ONLINE", u"tab"), u"v");
  EXPECT_EQ(Get(u"ONLINE", u"\u00e9T\u00c9"), u"latin");
  EXPECT_EQ(Get(u"ONLINE", u"noequals"), u"dflt");
  EXPECT_EQ(Get(u"ONLINE", u"key0"), u"dflt");
  uint32_t n = 99;
  EXPECT_EQ(Get(u"ONLINE", u"ACCOUNT", 261, &n), u"");  // present but empty
  EXPECT_EQ(n, 0u);
}

TEST_F(ProfileTest, OnePairOfMatchingQuotesIsRemoved) {
  Write("[ONLINE]\n"
        "a=\"  padded  \"\n"
        "b='single'\n"
        "c=\"mismatched'\n"
        "d=\"\n"
        "e=\"\"inner\"\"\n"
        "f= \"x\" \n"
        "g=\"\"\n");
  EXPECT_EQ(Get(u"ONLINE", u"a"), u"  padded  ");
  EXPECT_EQ(Get(u"ONLINE", u"b"), u"single");
  EXPECT_EQ(Get(u"ONLINE", u"c"), u"\"mismatched'");
  EXPECT_EQ(Get(u"ONLINE", u"d"), u"\"");
  EXPECT_EQ(Get(u"ONLINE", u"e"), u"\"inner\"");
  EXPECT_EQ(Get(u"ONLINE", u"f"), u"x");
  EXPECT_EQ(Get(u"ONLINE", u"g"), u"");
}

TEST_F(ProfileTest, FirstSectionAndFirstKeyWin) {
  Write("[ONLINE]\nk=first\nk=second\n[other]\nonly=o\n[ONLINE]\nk=third\nlate=l\n");
  EXPECT_EQ(Get(u"ONLINE", u"k"), u"first");
  EXPECT_EQ(Get(u"ONLINE", u"late"), u"dflt");
  EXPECT_EQ(Get(u"other", u"only"), u"o");
}

TEST_F(ProfileTest, ValueIsCutToSizeMinusOne) {
  Write("[ONLINE]\nk=abcdefghij\n");
  uint32_t n = 0;
  EXPECT_EQ(Get(u"ONLINE", u"k", 5, &n), u"abcd");
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(Get(u"ONLINE", u"k", 11, &n), u"abcdefghij");
  EXPECT_EQ(Get(u"ONLINE", u"k", 1, &n), u"");
  EXPECT_EQ(Get(u"ONLINE", u"missing", 3, &n), u"df");  // defaults are cut too
  // Size 0 or no buffer: nothing written.
  char16_t untouched = u'Q';
  EXPECT_EQ(GetPrivateProfileString(u"ONLINE", u"k", u"", &untouched, 0,
                                    dir_.LibraryPathOf("Kelto.ini")), 0u);
  EXPECT_EQ(untouched, u'Q');
  EXPECT_EQ(GetPrivateProfileString(u"ONLINE", u"k", u"", nullptr, 100,
                                    dir_.LibraryPathOf("Kelto.ini")), 0u);
}

TEST_F(ProfileTest, TextIsUtf8WithInvalidBytesReplaced) {
  using namespace std::string_literals;
  Write("[ONLINE]\nk=\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\nbad=a\xFF\xC3z\nnul=ab\0cd\n"s);
  EXPECT_EQ(Get(u"ONLINE", u"k"), u"\u00e9\u20ac\U0001F600");
  EXPECT_EQ(Get(u"ONLINE", u"bad"), u"a\uFFFD\uFFFDz");
  EXPECT_EQ(Get(u"ONLINE", u"nul"), u"ab");
}

TEST_F(ProfileTest, ReadsAtMostTheBoundOfAHugeFile) {
  // 3 MiB of filler lines, with keys before, across and after the bound.
  std::string text = "[ONLINE]\nearly=yes\n";
  const std::string filler = "filler=" + std::string(120, 'f') + "\n";
  while (text.size() + filler.size() < kMaxProfileBytes - 200) text += filler;
  text += ";" + std::string(kMaxProfileBytes - 50 - text.size() - 2, 'p') + "\n";
  text += "across=" + std::string(100, 'a') + "\n";  // cut by the bound
  while (text.size() < 3 * kMaxProfileBytes) text += filler;
  text += "late=yes\n";
  Write(text);

  testsupport::FileCounters counters;
  env_.SetOpenFileHook([&counters](const std::u16string& path, platform::FileOpenMode mode,
                                   platform::Env* target) -> std::unique_ptr<platform::File> {
    auto inner = target->OpenFile(path, mode);
    if (inner == nullptr) return nullptr;
    return std::make_unique<testsupport::FaultyFile>(std::move(inner), &counters);
  });
  EXPECT_EQ(Get(u"ONLINE", u"early"), u"yes");
  EXPECT_LT(counters.bytes_read.load(), 64u * 1024);  // stops once found
  counters.bytes_read = 0;
  EXPECT_EQ(Get(u"ONLINE", u"late"), u"dflt");
  EXPECT_EQ(Get(u"ONLINE", u"across"), u"dflt");
  EXPECT_LE(counters.bytes_read.load(), 2u * (kMaxProfileBytes + 1));
  EXPECT_EQ(env_.open_file_calls(), 3);

  // A file of exactly the bound is read whole, its last line included.
  std::string exact = "[ONLINE]\n";
  while (exact.size() + filler.size() < kMaxProfileBytes - 20) exact += filler;
  exact += std::string(kMaxProfileBytes - exact.size() - 7, ' ') + "last=ok";
  ASSERT_EQ(exact.size(), kMaxProfileBytes);
  Write(exact);
  EXPECT_EQ(Get(u"ONLINE", u"last"), u"ok");
}

TEST_F(ProfileTest, OpenAndReadFailuresGiveWhatWasReadOrTheDefault) {
  Write("[ONLINE]\nfirst=1\nsecond=2222222222\nthird=3\n");
  env_.SetOpenFileHook([](const std::u16string&, platform::FileOpenMode,
                          platform::Env*) -> std::unique_ptr<platform::File> { return nullptr; });
  EXPECT_EQ(Get(u"ONLINE", u"first"), u"dflt");
  // A read error in the middle of "second": the lines before it count, the
  // cut line and everything after it do not.
  env_.SetOpenFileHook([](const std::u16string& path, platform::FileOpenMode mode,
                          platform::Env* target) -> std::unique_ptr<platform::File> {
    return std::make_unique<testsupport::FaultyFile>(target->OpenFile(path, mode), nullptr, 22);
  });
  EXPECT_EQ(Get(u"ONLINE", u"first"), u"1");
  EXPECT_EQ(Get(u"ONLINE", u"second"), u"dflt");
  EXPECT_EQ(Get(u"ONLINE", u"third"), u"dflt");
}

TEST_F(ProfileTest, FileIsOpenedForReadingOnly) {
  // A file the caller may read but not write (as a credentials file often
  // is) must still be read.
  Write("[ONLINE]\nk=v\n");
  env_.SetOpenFileHook([](const std::u16string& path, platform::FileOpenMode mode,
                          platform::Env* target) -> std::unique_ptr<platform::File> {
    if (mode != platform::FileOpenMode::kExistingReadOnly) return nullptr;
    return target->OpenFile(path, mode);
  });
  EXPECT_EQ(Get(u"ONLINE", u"k"), u"v");
}

TEST_F(ProfileTest, BinaryGarbageIsHarmless) {
  std::mt19937 random(42);
  for (int round = 0; round < 50; ++round) {
    std::string bytes(static_cast<size_t>(random() % 4096), '\0');
    for (char& c : bytes) {
      const unsigned r = random() % 16;
      c = r == 0 ? '\n' : r == 1 ? '=' : r == 2 ? '[' : r == 3 ? ']' : static_cast<char>(random());
    }
    Write("[ONLINE]\n" + bytes);
    std::u16string value;
    platform::ReadProfileValue(u"ONLINE", u"k", u"", dir_.LibraryPathOf("Kelto.ini"), &value);
    Get(u"ONLINE", u"k", 7);
  }
}

}  // namespace
