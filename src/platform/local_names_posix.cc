// Local names on POSIX systems: any byte but "/" and NUL, compared exactly
// unless a file system folds case (vfat, exFAT, ext4 with casefold), which
// the library detects on the disk itself.

#include "platform/local_names.h"

#include <locale.h>
#include <wctype.h>

namespace platform {

bool LocalNamesFollowWin32Rules() { return false; }

bool LocalNamesFoldCaseByDefault() { return false; }

std::u16string FoldNameCase(const std::u16string& text) {
  // The upper case of C.UTF-8 covers every script; without it, ASCII only.
  static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
  std::u16string folded;
  folded.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    const bool pair = c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() &&
                      text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
    if (pair) c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
    char32_t upper = c;
    if (utf8 != locale_t{}) {
      upper = static_cast<char32_t>(::towupper_l(static_cast<wint_t>(c), utf8));
    } else if (c >= U'a' && c <= U'z') {
      upper = c - U'a' + U'A';
    }
    // One code point for one of the same length, or the text stays.
    if ((c >= 0x10000) != (upper >= 0x10000) || (upper >= 0xD800 && upper <= 0xDFFF)) {
      upper = c;
    }
    if (upper >= 0x10000) {
      folded.push_back(static_cast<char16_t>(0xD800 + ((upper - 0x10000) >> 10)));
      folded.push_back(static_cast<char16_t>(0xDC00 + ((upper - 0x10000) & 0x3FF)));
      ++i;
    } else {
      folded.push_back(static_cast<char16_t>(upper));
    }
  }
  return folded;
}

}  // namespace platform
