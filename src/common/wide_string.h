// Text conversions.  Inside the library every text is UTF-16
// (std::u16string); UTF-8 appears only at the platform edge and wchar_t only
// at the exported boundary (wchar_t is the host's native wide string, UTF-32
// on this platform).
//
// Every conversion is total: malformed input (invalid UTF-8, lone
// surrogates, code points beyond U+10FFFF) is converted with U+FFFD in place
// of each bad sequence, never with an error or a crash.

#ifndef KELTOS3_SRC_COMMON_WIDE_STRING_H_
#define KELTOS3_SRC_COMMON_WIDE_STRING_H_

#include <string>
#include <string_view>

std::u16string Utf8ToU16(std::string_view utf8);
std::string U16ToUtf8(std::u16string_view text);

// A null pointer gives the empty text.
std::u16string WideToU16(const wchar_t* wide);
std::u16string WideToU16(std::wstring_view wide);
std::wstring U16ToWide(std::u16string_view text);

// ASCII and Latin-1 in both directions: each byte is one code unit, and
// each code unit keeps its low byte.  Used where the design works on 8-bit
// text one byte per character.
std::u16string BytesToU16(std::string_view bytes);
std::string U16ToBytes(std::u16string_view text);

// Replaces every occurrence of `from` (non-empty) by `to`.
std::u16string ReplaceAll(std::u16string text, std::u16string_view from,
                          std::u16string_view to);

#endif  // KELTOS3_SRC_COMMON_WIDE_STRING_H_
