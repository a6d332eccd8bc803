// Mapping between the library's path form and POSIX paths.
//
// Inside the library a path is UTF-16 text with "\" separators, as the file
// systems and the host use it ("\home\user\docs\a.txt").  POSIX paths are
// UTF-8 bytes with "/" separators.  A POSIX name cannot hold a NUL; a name
// holding a "\" cannot be represented in library form (the directory scans
// skip such names).

#ifndef KELTOS3_SRC_PLATFORM_PATH_H_
#define KELTOS3_SRC_PLATFORM_PATH_H_

#include <string>
#include <string_view>

namespace platform {

// "\" becomes "/", the text is encoded as UTF-8.
std::string ToPosixPath(std::u16string_view library_path);

// "/" becomes "\", the bytes are decoded as UTF-8 (invalid sequences become
// U+FFFD).
std::u16string FromPosixPath(std::string_view posix_path);

}  // namespace platform

#endif  // KELTOS3_SRC_PLATFORM_PATH_H_
