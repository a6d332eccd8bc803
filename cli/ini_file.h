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

struct IniLocation {
  std::string path;           // POSIX path; empty when it cannot be known
  bool from_environment = false;  // named by KELTOS3_INI
};

// KELTOS3_INI when set and not empty, else "Kelto.ini" in the folder of this
// executable (the library, loaded by this program, looks there too).
IniLocation LocateIniFile();

class IniSection {
 public:
  // Reads section `name` of the file at `path`.  A file that cannot be read
  // gives an empty section with file_found() false.
  static IniSection Read(const std::string& path, std::string_view name);

  bool file_found() const { return file_found_; }
  bool section_found() const { return section_found_; }

  // The value of `key` (any case), or nullopt when it is not set.
  std::optional<std::string> Get(std::string_view key) const;

 private:
  bool file_found_ = false;
  bool section_found_ = false;
  std::map<std::string, std::string> values_;  // keys in lower case
};

// Writes `content` as the file `path`, readable and writable by the owner
// alone, replacing an existing file in one step.  On failure stores a
// message in *error and returns false.
bool WriteIniFile(const std::string& path, const std::string& content, std::string* error);

}  // namespace cli

#endif  // KELTOS3_CLI_INI_FILE_H_
