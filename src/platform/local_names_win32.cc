// Local names on Windows: the Win32 rules, and names compared without
// regard to case (NTFS and FAT alike, unless a folder was made
// case-sensitive).

#include "platform/win32_api.h"

#include "platform/local_names.h"

namespace platform {

bool LocalNamesFollowWin32Rules() { return true; }

bool LocalNamesFoldCaseByDefault() { return true; }

std::u16string FoldNameCase(const std::u16string& text) {
  if (text.empty()) return text;
  // The invariant locale's upper case, which is what the file systems'
  // case tables hold; a mapping that would change the length is not taken.
  const std::wstring wide = ToWide(text);
  std::wstring upper(wide.size(), L'\0');
  const int n = ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, wide.c_str(),
                                static_cast<int>(wide.size()), upper.data(),
                                static_cast<int>(upper.size()), nullptr, nullptr, 0);
  if (n != static_cast<int>(wide.size())) {
    upper = wide;
    for (wchar_t& c : upper) {
      if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    }
  }
  return FromWide(upper);
}

}  // namespace platform
