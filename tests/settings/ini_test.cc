#include "settings/ini.h"

#include <gtest/gtest.h>

#include <array>

#include "support/temp_dir.h"
#include "support/test_env.h"

namespace {

using testsupport::TempDir;
using testsupport::TestEnv;

class IniTest : public ::testing::Test {
 protected:
  IniTest() : override_(&env_) {}

  void Write(const std::string& bytes) {
    dir_.WriteFile("k.ini", bytes);
    ini_.SetPathName(dir_.LibraryPathOf("k.ini").c_str());
  }

  TestEnv env_;
  platform::ScopedEnvOverride override_;
  TempDir dir_;
  CIni ini_;
};

TEST_F(IniTest, PathAndNullArguments) {
  EXPECT_EQ(ini_.GetString(u"S", u"k", u"def"), u"def");  // no path yet
  ini_.SetPathName(nullptr);
  EXPECT_EQ(ini_.GetPathName(), u"");
  Write("[S]\nk=value\n");
  EXPECT_EQ(ini_.GetPathName(), dir_.LibraryPathOf("k.ini"));
  EXPECT_EQ(ini_.GetString(u"S", u"k", u"def"), u"value");
  EXPECT_EQ(ini_.GetString(nullptr, u"k", u"def"), u"def");
  EXPECT_EQ(ini_.GetString(u"S", nullptr, nullptr), u"");
  EXPECT_EQ(ini_.GetString(u"S", u"missing", nullptr), u"");
  ini_.SetPathName(nullptr);  // empties the stored path
  EXPECT_EQ(ini_.GetPathName(), u"");
  EXPECT_EQ(ini_.GetString(u"S", u"k", u"def"), u"def");
}

TEST_F(IniTest, GetStringReturnsLongValuesWholeInOneRead) {
  const std::string long_value(300000, 'v');
  Write("[S]\nshort=ab\nlong=" + long_value + "\n");
  const int opens = env_.open_file_calls();
  EXPECT_EQ(ini_.GetString(u"S", u"long", nullptr), std::u16string(300000, u'v'));
#if !defined(_WIN32)  // Windows reads profiles with GetPrivateProfileStringW
  EXPECT_EQ(env_.open_file_calls(), opens + 1);
#else
  (void)opens;
#endif
  // Lengths around the 512-character steps of a growing buffer.
  for (const size_t n : {510, 511, 512, 513, 1024}) {
    Write("[S]\nk=" + std::string(n, 'x') + "\n");
    EXPECT_EQ(ini_.GetString(u"S", u"k", nullptr).size(), n);
  }
}

TEST_F(IniTest, HexBlockCountsPairsAndRefusesNonHexText) {
  Write("[S]\n"
        "even=0aFf10\n"
        "odd=0aFf1\n"
        "blank=\"0a ff\"\n"
        "bad=0g\n"
        "empty=\n");
  std::array<uint8_t, 8> out{};
  EXPECT_EQ(ini_.GetHexBlock(u"S", u"even", nullptr, 0, 0), 3u);
  EXPECT_EQ(ini_.GetHexBlock(u"S", u"even", nullptr, 0, 1), 2u);
  EXPECT_EQ(ini_.GetHexBlock(u"S", u"even", out.data(), 8, 0), 3u);
  EXPECT_EQ(out[0], 0x0A);
  EXPECT_EQ(out[1], 0xFF);
  EXPECT_EQ(out[2], 0x10);
  out.fill(0xEE);
  EXPECT_EQ(ini_.GetHexBlock(u"S", u"even", out.data(), 1, 1), 1u);  // out length caps
  EXPECT_EQ(out[0], 0xFF);
  EXPECT_EQ(out[1], 0xEE);
  EXPECT_EQ(ini_.GetHexBlock(u"S", u"even", out.data(), 8, 3), 0u);  // offset at the end
  EXPECT_EQ(ini_.GetHexBlock(u"S", u"even", out.data(), 8, UINT32_MAX), 0u);
  // An odd last digit counts for nothing, but must still be a hex digit.
  EXPECT_EQ(ini_.GetHexBlock(u"S", u"odd", out.data(), 8, 0), 2u);
  EXPECT_EQ(ini_.GetHexBlock(u"S", u"blank", out.data(), 8, 0), 0u);
  EXPECT_EQ(ini_.GetHexBlock(u"S", u"bad", nullptr, 0, 0), 0u);
  EXPECT_EQ(ini_.GetHexBlock(u"S", u"empty", out.data(), 8, 0), 0u);
  EXPECT_EQ(ini_.GetHexBlock(u"S", u"missing", out.data(), 8, 0), 0u);
}

TEST_F(IniTest, HexBlockOfAHugeValueFillsOnlyTheOutBuffer) {
  std::string hex;
  for (int i = 0; i < 200000; ++i) hex += "a5";
  Write("[S]\nbig=" + hex + "\n");
  EXPECT_EQ(ini_.GetHexBlock(u"S", u"big", nullptr, 0, 0), 200000u);
  std::vector<uint8_t> out(16, 0);
  EXPECT_EQ(ini_.GetHexBlock(u"S", u"big", out.data(), 16, 199990), 10u);
  EXPECT_EQ(out[9], 0xA5);
  EXPECT_EQ(out[10], 0);
}

TEST(ScrambleTextTest, KnownValueRoundTripAndDegenerateCalls) {
  std::u16string text = u"AKIA";
  EXPECT_EQ(CIni::ScrambleText(text.data(), 4), 4);
  EXPECT_EQ(text, (std::u16string{0xFFFF, 0xFFD6, 0xFF82, 0xFFF3}));
  CIni::ScrambleText(text.data(), 4);
  EXPECT_EQ(text, u"AKIA");

  // Past the 18 characters of the key, and with characters beyond Latin-1.
  std::u16string long_text = u"wJalrXUtnFEMI/K7MDENG/bPxRfiCYEXAMPLEKEY\u20ac\U0001F600";
  const std::u16string original = long_text;
  CIni::ScrambleText(long_text.data(), static_cast<int>(long_text.size()));
  EXPECT_NE(long_text, original);
  EXPECT_EQ(long_text[18], static_cast<char16_t>(~(u'E' ^ u'A')));  // key wraps
  CIni::ScrambleText(long_text.data(), static_cast<int>(long_text.size()));
  EXPECT_EQ(long_text, original);

  EXPECT_EQ(CIni::ScrambleText(nullptr, 5), 0);
  EXPECT_EQ(CIni::ScrambleText(text.data(), -3), -3);
  EXPECT_EQ(text, u"AKIA");
}

}  // namespace
