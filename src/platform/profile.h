// Profile (INI file) reading with the semantics of GetPrivateProfileStringW,
// the way the settings use it: one value of one key of one section.
//
// File format, as read here:
// - The file is UTF-8; a leading byte-order mark is skipped and invalid
//   sequences read as U+FFFD.  Lines end with "\n" or "\r\n".
// - "[name]" starts a section (blanks inside the brackets trimmed, text after
//   the last "]" ignored).  Lines before the first section belong to none.
// - "key=value" sets a key; blanks (space, tab) around the key and the value
//   are trimmed, and a value wrapped in one pair of matching quotes (" or ')
//   loses them.  A value is cut at an embedded NUL character.
// - Lines starting with ";" are comments; a line without "=" sets nothing.
// - Section and key names match case-insensitively (ASCII and Latin-1
//   letters); blanks around the requested names are trimmed as well.
// - When a section or a key appears more than once, the first one counts.
//
// Bound: only the first kMaxProfileBytes bytes of a file are read; anything
// beyond (including a line that the bound cuts) is ignored, so a huge file
// costs at most that much reading per call and little memory.
//
// The file is opened through platform::CurrentEnv()->OpenFile, read-only.

#ifndef KELTOS3_SRC_PLATFORM_PROFILE_H_
#define KELTOS3_SRC_PLATFORM_PROFILE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// How much of an INI file is read at most: 1 MiB.
constexpr std::uint32_t kMaxProfileBytes = 1u << 20;

// Copies the value of `key` in `section` of the file `ini_path` (library
// path form) into buffer, or `def` (trailing blanks removed) when the file,
// the section or the key is missing.  The text is cut to size - 1
// characters and always zero-terminated.  Returns the number of characters
// copied, terminator excluded.
//
// REQUIRES: buffer holds at least `size` characters.  With size 0 (or a null
// buffer) nothing is written and 0 is returned.
std::uint32_t GetPrivateProfileString(const std::u16string& section,
                                      const std::u16string& key,
                                      const std::u16string& def,
                                      char16_t* buffer, std::uint32_t size,
                                      const std::u16string& ini_path);

// The same lookup without a size limit: stores the value (or `def`, trailing
// blanks removed) in *value.  Returns true when the key was found.
bool ReadProfileValue(const std::u16string& section, const std::u16string& key,
                      const std::u16string& def, const std::u16string& ini_path,
                      std::u16string* value);

// One key of a section and its value, as ReadProfileValue gives it.
struct ProfileEntry {
  std::u16string key;    // as the file spells it
  std::u16string value;  // trimmed, unquoted, cut at a NUL; of any length
};

// Every key of `section` with its value, in the order of the file, each
// key once (the first one counts), in one read of the file.  Returns false,
// leaving *entries empty, when the file cannot be read; a missing section
// gives true and no entry.
bool ReadProfileSection(const std::u16string& section, const std::u16string& ini_path,
                        std::vector<ProfileEntry>* entries);

// Whether two section or key names are the same name: compared the way the
// lookups compare them (blanks around trimmed, ASCII and Latin-1 letters
// without regard to case).
bool ProfileNamesEqual(std::u16string_view a, std::u16string_view b);

}  // namespace platform

#endif  // KELTOS3_SRC_PLATFORM_PROFILE_H_
