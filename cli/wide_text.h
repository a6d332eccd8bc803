// Text at the edge between the command line (UTF-8) and the library's
// exported surface (wchar_t strings).  Both conversions are total: a byte
// sequence that is not UTF-8 becomes U+FFFD characters, and a wide
// character that is not a Unicode scalar value becomes U+FFFD.

#ifndef KELTOS3_CLI_WIDE_TEXT_H_
#define KELTOS3_CLI_WIDE_TEXT_H_

#include <string>

namespace cli {

std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);

}  // namespace cli

#endif  // KELTOS3_CLI_WIDE_TEXT_H_
