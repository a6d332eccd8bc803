// The command table of keltos3.  A command lives in a file of its own and
// adds itself to the table with a namespace-scope registration:
//
//   namespace {
//   int RunFrob(const std::vector<std::string>& args) { ... }
//   const bool kRegistered = RegisterCommand({"frob", "frob [--fast] NAME",
//                                             "frobs one thing", "details", RunFrob});
//   }  // namespace
//
// main() handles "--help" for every command and dispatches to `run` with
// the arguments after the command name.

#ifndef KELTOS3_CLI_COMMAND_H_
#define KELTOS3_CLI_COMMAND_H_

#include <string>
#include <string_view>
#include <vector>

namespace cli {

// Exit codes of every command.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // the work could not be done
constexpr int kExitUsage = 2;    // the command line was wrong
constexpr int kExitPartial = 3;  // done in part; the rest is retried later
constexpr int kExitRefused = 4;  // refused as unsafe; the user must decide

struct Command {
  const char* name;     // "init"
  const char* usage;    // "init --account ID --secret KEY [--force]"
  const char* summary;  // one line for the command list
  const char* details;  // further help text, may be empty
  int (*run)(const std::vector<std::string>& args);
};

// Adds a command to the table; returns true (for the registration idiom).
bool RegisterCommand(const Command& command);

// Every registered command, ordered by name.
std::vector<Command> Commands();

// The command of that name, or null.
const Command* FindCommand(std::string_view name);

// Prints "keltos3 NAME: message" and the command's usage to stderr and
// returns kExitUsage.
int UsageError(const Command& command, const std::string& message);

// Prints "keltos3 NAME: message" to stderr and returns kExitFailure.
int Failure(const Command& command, const std::string& message);

// The full help of a command, as "keltos3 NAME --help" shows it.
std::string CommandHelp(const Command& command);

}  // namespace cli

#endif  // KELTOS3_CLI_COMMAND_H_
