#include "support/ini_fixture.h"

#include <cstdio>
#include <cstdlib>

#include "settings/ini.h"

namespace testsupport {

IniFixture::IniFixture(TestEnv* env) {
  dir_.WriteFile("bin/host", "");
  env->SetModuleFileName(dir_.LibraryPathOf("bin/host"));
}

std::string IniFixture::ini_posix_path() const { return dir_.PathOf("bin/Kelto.ini"); }

std::u16string IniFixture::ini_path() const { return dir_.LibraryPathOf("bin/Kelto.ini"); }

void IniFixture::WriteOnline(const std::string& lines) const {
  const char* extra = std::getenv("KELTOS3_TEST_INI_EXTRA");
  std::string text = "[ONLINE]\n" + lines;
  if (extra != nullptr && *extra != '\0') {
    if (text.back() != '\n') text += '\n';
    text += std::string(extra) + "\n";
  }
  WriteRaw(text);
}

void IniFixture::WriteRaw(const std::string& bytes) const {
  dir_.WriteFile("bin/Kelto.ini", bytes);
}

std::string ScrambledHex(const std::u16string& plain) {
  std::u16string chars = plain;
  CIni::ScrambleText(chars.data(), static_cast<int>(chars.size()));
  std::string hex;
  for (const char16_t c : chars) {
    char digits[5];
    std::snprintf(digits, sizeof digits, "%02X%02X", c & 0xFF, (c >> 8) & 0xFF);
    hex += digits;
  }
  return hex;
}

}  // namespace testsupport
