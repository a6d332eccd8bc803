// The settings the library will use, worked out by the host tool from the
// INI file with the library's rules, for display.

#ifndef KELTOS3_CLI_EFFECTIVE_SETTINGS_H_
#define KELTOS3_CLI_EFFECTIVE_SETTINGS_H_

#include <string>
#include <vector>

#include "ini_file.h"

namespace cli {

struct EffectiveSetting {
  std::string key;      // as the INI file spells it
  std::string value;    // what the library uses (secrets in plain text)
  bool secret = false;  // to be masked when shown
  bool from_file = false;
  std::string note;     // why a value in the file is not used, or empty
};

// Every key of section "ONLINE", in the order of the README's table, with
// the library's own defaults (src/settings/settings_table.h).
std::vector<EffectiveSetting> ComputeEffectiveSettings(const IniSection& online);

}  // namespace cli

#endif  // KELTOS3_CLI_EFFECTIVE_SETTINGS_H_
