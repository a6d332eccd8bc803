// The host tool's view of the library's INI file: where it is and what its
// section "ONLINE" holds, read with the same rules as the library (first
// 1 MiB of the file, UTF-8, names without case, blanks trimmed, one pair of
// quotes removed, first section and first key win), and writing a new one.

#ifndef KELTOS3_CLI_INI_FILE_H_
#define KELTOS3_CLI_INI_FILE_H_

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace cli {

enum class IniSource {
  kEnvironment,  // named by KELTOS3_INI
  kUser,         // $XDG_CONFIG_HOME/keltos3/Kelto.ini (~/.config/keltos3/Kelto.ini)
  kExecutable,   // Kelto.ini beside the executable
};

struct IniLocation {
  std::string path;  // POSIX path; empty when it cannot be known
  IniSource source = IniSource::kUser;
  bool exists = false;  // something (a file, or anything else) is there
};

// Where the settings are: KELTOS3_INI when set and not empty; else the
// per-user file when it exists; else Kelto.ini beside this executable when
// it exists; else (nothing exists) the per-user file, where `init` writes.
IniLocation LocateIniFile();

// The per-user settings file: $XDG_CONFIG_HOME/keltos3/Kelto.ini when that
// variable holds an absolute path, else $HOME/.config/keltos3/Kelto.ini.
// Empty when neither variable helps.
std::string UserIniPath();

// "named by KELTOS3_INI", "the per-user file", "beside the executable".
const char* DescribeSource(IniSource source);

class IniSection {
 public:
  // Reads section `name` of the file at `path`.  A file that cannot be read
  // gives an empty section with file_found() false; error() then says why,
  // unless the file does not exist.
  static IniSection Read(const std::string& path, std::string_view name);

  bool file_found() const { return file_found_; }
  bool section_found() const { return section_found_; }
  // Why an existing file could not be read ("Permission denied", "not a
  // regular file"); empty when it was read or does not exist.
  const std::string& error() const { return error_; }

  // The value of `key` (any case), or nullopt when it is not set.
  std::optional<std::string> Get(std::string_view key) const;

 private:
  bool file_found_ = false;
  bool section_found_ = false;
  std::string error_;
  std::map<std::string, std::string> values_;  // keys in lower case
};

// Writes `content` as the file `path`, readable and writable by the owner
// alone from its creation, replacing an existing file in one step (a work
// file of a unique name beside it, then a rename).  On failure stores a
// message in *error and returns false.
bool WriteIniFile(const std::string& path, const std::string& content, std::string* error);

}  // namespace cli

#endif  // KELTOS3_CLI_INI_FILE_H_
