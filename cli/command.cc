#include "command.h"

#include <algorithm>
#include <cstdio>

namespace cli {
namespace {

// Function-local so that registrations from other files' static
// initialisers find it constructed.
std::vector<Command>& Table() {
  static std::vector<Command> table;
  return table;
}

}  // namespace

bool RegisterCommand(const Command& command) {
  std::vector<Command>& table = Table();
  const auto at = std::lower_bound(
      table.begin(), table.end(), command,
      [](const Command& a, const Command& b) { return std::string_view(a.name) < b.name; });
  table.insert(at, command);
  return true;
}

std::vector<Command> Commands() { return Table(); }

const Command* FindCommand(std::string_view name) {
  for (const Command& command : Table()) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

int UsageError(const Command& command, const std::string& message) {
  std::fprintf(stderr, "keltos3 %s: %s\nusage: keltos3 %s\nTry 'keltos3 help %s'.\n",
               command.name, message.c_str(), command.usage, command.name);
  return kExitUsage;
}

int Failure(const Command& command, const std::string& message) {
  std::fprintf(stderr, "keltos3 %s: %s\n", command.name, message.c_str());
  return kExitFailure;
}

std::string CommandHelp(const Command& command) {
  std::string text = "usage: keltos3 ";
  text += command.usage;
  text += "\n\n";
  text += command.summary;
  text += "\n";
  if (command.details != nullptr && command.details[0] != '\0') {
    text += "\n";
    text += command.details;
    if (text.back() != '\n') text += "\n";
  }
  return text;
}

}  // namespace cli
