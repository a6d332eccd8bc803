// The command table of keltos3.  A command lives in a file of its own and
// adds itself to the table with a namespace-scope registration.  Most
// commands declare their options and arguments with CLI11 and run on what
// it parsed:
//
//   namespace {
//   std::string g_name;
//   void DefineFrob(CLI::App* app) { app->add_option("NAME", g_name)->required(); }
//   int RunFrob() { ... }
//   const bool kRegistered = RegisterCommand({"frob", "frob NAME", "frobs one thing",
//                                             "details", nullptr, DefineFrob, RunFrob});
//   }  // namespace
//
// A command may instead take its arguments as they were given (`run`, with
// the arguments after the command name) and parse them itself with
// ParseOptions (options.h).
//
// main() parses the command line, handles "--help" and "help COMMAND" for
// every command, and runs the command.

#ifndef KELTOS3_CLI_COMMAND_H_
#define KELTOS3_CLI_COMMAND_H_

#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
}  // namespace CLI

namespace cli {

// Exit codes of every command.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // the work could not be done
constexpr int kExitUsage = 2;    // the command line was wrong
constexpr int kExitPartial = 3;  // done in part; the rest is retried later
constexpr int kExitRefused = 4;  // refused as unsafe; the user must decide
constexpr int kExitInterrupted = 130;  // stopped by Ctrl-C (SIGINT)

struct Command {
  const char* name;     // "init"
  const char* usage;    // "init --account ID --secret KEY [--force]"
  const char* summary;  // one line for the command list
  const char* details;  // further help text, may be empty
  // A command that parses its own arguments: `run` gets those after the
  // command name.
  int (*run)(const std::vector<std::string>& args) = nullptr;
  // A command whose options CLI11 parses: `define` declares them on the
  // command's own App, `run_parsed` runs once they were parsed.
  void (*define)(CLI::App* app) = nullptr;
  int (*run_parsed)() = nullptr;
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

// The full help of a command that parses its own arguments, as
// "keltos3 NAME --help" shows it.
std::string CommandHelp(const Command& command);

}  // namespace cli

#endif  // KELTOS3_CLI_COMMAND_H_
