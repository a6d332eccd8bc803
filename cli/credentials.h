// The INI form of ACCOUNT and PASSWORD, as the host tool writes and checks
// it.  The library owns the reading; this is the host's own copy of the
// published encoding: each UTF-16 character c at position j becomes
// NOT (c XOR key[j mod 18]) with the key "Ab4Moon2Is9Bright3", written as
// four hex digits, low byte first.  The scrambling is its own inverse.  It
// hides the text from a casual look; it is not encryption.

#ifndef KELTOS3_CLI_CREDENTIALS_H_
#define KELTOS3_CLI_CREDENTIALS_H_

#include <optional>
#include <string>
#include <string_view>

namespace cli {

// UTF-8 text to the hex value of the INI file.
std::string ScrambleToHex(std::string_view utf8_text);

// What the library reads from an INI value: nullopt when the value holds
// anything but hex digits (the library then reads the empty text),
// otherwise the unscrambled text (at most 260 characters, ended at a zero
// character), as UTF-8.
std::optional<std::string> UnscrambleHex(std::string_view hex);

}  // namespace cli

#endif  // KELTOS3_CLI_CREDENTIALS_H_
