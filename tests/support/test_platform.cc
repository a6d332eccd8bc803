#include "support/test_platform.h"

#include "common/wide_string.h"

namespace testsupport {

std::filesystem::path FsPath(const std::string& path) {
  return std::filesystem::path(std::u8string(path.begin(), path.end()));
}

std::u16string LibraryPath(const std::string& path) {
  std::u16string out = Utf8ToU16(path);
  for (char16_t& c : out) {
    if (c == u'/') c = u'\\';
  }
  return out;
}

}  // namespace testsupport
