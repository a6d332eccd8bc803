// What the platform's local file systems make of names, as far as the
// platform tells without looking at a disk.

#ifndef KELTOS3_SRC_PLATFORM_LOCAL_NAMES_H_
#define KELTOS3_SRC_PLATFORM_LOCAL_NAMES_H_

#include <string>

namespace platform {

// True where local names follow the Win32 rules (Windows): the reserved
// device names, the characters <>:"|?* and the control characters are
// refused, and a trailing dot or space is dropped.
bool LocalNamesFollowWin32Rules();

// True where a local file system compares names without regard to case
// unless a look at the disk says otherwise (Windows).
bool LocalNamesFoldCaseByDefault();

// `text` with every letter in upper case, one code point for one, as a
// case-insensitive file system compares names: two names whose folded forms
// are equal name one file there.  The length in code units stays.
std::u16string FoldNameCase(const std::u16string& text);

}  // namespace platform

#endif  // KELTOS3_SRC_PLATFORM_LOCAL_NAMES_H_
