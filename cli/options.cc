#include "options.h"

namespace cli {

std::optional<std::string> ParsedOptions::Value(const std::string& name) const {
  const auto it = values_.find(name);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

bool ParseOptions(const std::vector<std::string>& args, const std::vector<OptionDef>& known,
                  ParsedOptions* out, std::string* error) {
  *out = ParsedOptions();
  bool options_ended = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (options_ended || arg.size() < 2 || arg[0] != '-') {
      out->positional_.push_back(arg);
      continue;
    }
    if (arg == "--") {
      options_ended = true;
      continue;
    }
    if (arg[1] != '-') {
      *error = "unknown option " + arg;
      return false;
    }
    std::string name = arg.substr(2);
    std::optional<std::string> inline_value;
    const size_t equals = name.find('=');
    if (equals != std::string::npos) {
      inline_value = name.substr(equals + 1);
      name.resize(equals);
    }
    const OptionDef* def = nullptr;
    for (const OptionDef& s : known) {
      if (name == s.name) def = &s;
    }
    if (def == nullptr) {
      *error = "unknown option --" + name;
      return false;
    }
    if (out->values_.count(name) != 0 || out->flags_.count(name) != 0) {
      *error = "option --" + name + " given twice";
      return false;
    }
    if (!def->takes_value) {
      if (inline_value.has_value()) {
        *error = "option --" + name + " takes no value";
        return false;
      }
      out->flags_.insert(name);
      continue;
    }
    if (!inline_value.has_value()) {
      if (i + 1 >= args.size()) {
        *error = "option --" + name + " needs a value";
        return false;
      }
      inline_value = args[++i];
    }
    out->values_[name] = *inline_value;
  }
  return true;
}

}  // namespace cli
