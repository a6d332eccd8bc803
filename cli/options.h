// Option parsing for the commands: "--name value", "--name=value", flags,
// and "--" ending the options.  Everything else is a positional argument
// (a lone "-" included).

#ifndef KELTOS3_CLI_OPTIONS_H_
#define KELTOS3_CLI_OPTIONS_H_

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace cli {

struct OptionDef {
  const char* name;  // without the dashes: "account"
  bool takes_value;
};

class ParsedOptions {
 public:
  std::optional<std::string> Value(const std::string& name) const;
  bool Flag(const std::string& name) const { return flags_.count(name) != 0; }
  const std::vector<std::string>& positional() const { return positional_; }

 private:
  friend bool ParseOptions(const std::vector<std::string>&, const std::vector<OptionDef>&,
                           ParsedOptions*, std::string*);
  std::map<std::string, std::string> values_;
  std::set<std::string> flags_;
  std::vector<std::string> positional_;
};

// Parses `args` against `known`.  On a mistake (an unknown option, a
// missing value, a value for a flag, an option given twice) stores a message
// in *error and returns false.
bool ParseOptions(const std::vector<std::string>& args, const std::vector<OptionDef>& known,
                  ParsedOptions* out, std::string* error);

}  // namespace cli

#endif  // KELTOS3_CLI_OPTIONS_H_
