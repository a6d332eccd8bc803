#include "platform/path.h"

#include "common/wide_string.h"

namespace platform {

std::string ToPosixPath(std::u16string_view library_path) {
  std::string out = U16ToUtf8(library_path);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

std::u16string FromPosixPath(std::string_view posix_path) {
  std::u16string out = Utf8ToU16(posix_path);
  for (char16_t& c : out) {
    if (c == u'/') c = u'\\';
  }
  return out;
}

}  // namespace platform
