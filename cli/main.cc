// keltos3: the host program of the KeltoS3 library.  Like any backup host it
// uses only the exported surface (KeltoS3.h, libKeltoS3.so).  Commands live
// in files of their own (commands_*.cc) and register themselves in the
// command table (command.h); the command line is parsed with CLI11.

#include <CLI/CLI.hpp>
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "KeltoS3.h"
#include "command.h"
#include "ini_file.h"
#include "wide_text.h"

namespace {

constexpr char kVersion[] = "0.1.0";

bool IsVerboseOption(const std::string& arg) { return arg == "-v" || arg == "--verbose"; }

void PrintUsage(std::FILE* to) {
  std::fprintf(to,
               "usage: keltos3 [-v|--verbose] COMMAND [ARGS...]\n"
               "       keltos3 help [COMMAND] | --help | --version\n"
               "\n"
               "Host program of the KeltoS3 library: configures it and drives it.\n"
               "\n"
               "Commands:\n");
  for (const cli::Command& command : cli::Commands()) {
    std::fprintf(to, "  %-10s %s\n", command.name, command.summary);
  }
  std::fprintf(to,
               "\n"
               "Options (before or after the command):\n"
               "  -v, --verbose  one trace line per request on stderr (KELTOS3_TRACE=stderr)\n"
               "      --transfers N\n"
               "                 up to N transfers at once (1 to 32), in place of the\n"
               "                 settings' Transfers (KELTOS3_TRANSFERS=N)\n"
               "  -h, --help     show this help, or a command's with 'keltos3 help COMMAND'\n"
               "      --version  show the version of the program and of the library it loaded\n"
               "\n"
               "Settings come from KELTOS3_INI, else $XDG_CONFIG_HOME/keltos3/Kelto.ini\n"
               "(~/.config/keltos3/Kelto.ini), else Kelto.ini beside this program.\n"
               "Exit status: 0 done, 1 failed, 2 wrong command line, 3 done in part,\n"
               "4 refused as unsafe, 130 stopped by Ctrl-C.\n");
}

// The help of one command, from its CLI11 App or its own usage text.
int PrintCommandHelp(CLI::App& app, const cli::Command& command) {
  if (command.run != nullptr) {
    std::fputs(cli::CommandHelp(command).c_str(), stdout);
  } else {
    std::fputs(app.get_subcommand(command.name)->help().c_str(), stdout);
  }
  return cli::kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  // Chunk bodies (a MiB each, several at once with --transfers above 1) are
  // allocated and freed on short-lived transfer threads.  glibc raises its
  // mmap threshold past the size of each such block freed, after which the
  // blocks come from the threads' arenas and stay with them; a fixed
  // threshold keeps every one an mapping of its own, returned when freed.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);

  // The command a raw command's arguments start after; -v is taken out of
  // them wherever it stands, so that it works after every command.
  size_t first = 0;
  while (first < args.size() && !args[first].empty() && args[first][0] == '-') {
    if (args[first] == "--transfers") ++first;  // and its value
    ++first;
  }
  if (first < args.size() && args[first] != "help" && cli::FindCommand(args[first]) == nullptr) {
    std::fprintf(stderr, "keltos3: unknown command '%s'\nTry 'keltos3 --help'.\n",
                 args[first].c_str());
    return cli::kExitUsage;
  }
  const cli::Command* raw = first < args.size() ? cli::FindCommand(args[first]) : nullptr;
  if (raw != nullptr && raw->run == nullptr) raw = nullptr;

  CLI::App app("Host program of the KeltoS3 library: configures it and drives it.", "keltos3");
  bool verbose = false;
  bool version = false;
  bool help = false;
  int transfers = 0;
  app.set_help_flag();
  app.add_flag("-h,--help", help)->disable_flag_override();
  app.add_flag("-v,--verbose", verbose)->disable_flag_override();
  app.add_flag("--version", version)->disable_flag_override();
  app.add_option("--transfers", transfers)->check(CLI::Range(1, 32));
  app.require_subcommand(0, 1);

  std::vector<std::string> help_topic;
  CLI::App* help_command = app.add_subcommand("help", "Show the help of keltos3 or of one command.");
  help_command->add_option("COMMAND", help_topic);

  for (const cli::Command& command : cli::Commands()) {
    CLI::App* sub = app.add_subcommand(command.name, command.summary);
    sub->fallthrough();
    if (command.details != nullptr && command.details[0] != '\0') {
      sub->footer(command.details);
    }
    if (command.run != nullptr) {
      sub->prefix_command();
      sub->allow_extras();
    } else {
      sub->set_help_flag("-h,--help", "show this help");
      command.define(sub);
    }
  }

  std::vector<std::string> raw_args;
  try {
    if (raw != nullptr) {
      // Everything after the command goes to it unparsed, but -v and
      // --transfers (parsed as if they stood before the command).
      std::vector<std::string> ours(args.begin(), args.begin() + static_cast<long>(first));
      for (size_t i = first + 1; i < args.size(); ++i) {
        const bool before_end = std::find(args.begin() + static_cast<long>(first) + 1,
                                          args.begin() + static_cast<long>(i),
                                          "--") == args.begin() + static_cast<long>(i);
        if (before_end && IsVerboseOption(args[i])) {
          verbose = true;
        } else if (before_end && args[i] == "--transfers") {
          ours.push_back(args[i]);
          if (i + 1 < args.size()) ours.push_back(args[++i]);
        } else if (before_end && args[i].rfind("--transfers=", 0) == 0) {
          ours.push_back(args[i]);
        } else {
          raw_args.push_back(args[i]);
        }
      }
      ours.push_back(args[first]);
      std::vector<std::string> reversed(ours.rbegin(), ours.rend());
      app.parse(reversed);
    } else {
      std::vector<std::string> reversed(args.rbegin(), args.rend());
      app.parse(reversed);
    }
  } catch (const CLI::CallForHelp&) {
    for (const cli::Command& command : cli::Commands()) {
      if (app.got_subcommand(command.name)) return PrintCommandHelp(app, command);
    }
    PrintUsage(stdout);
    return cli::kExitOk;
  } catch (const CLI::ParseError& e) {
    for (const cli::Command& command : cli::Commands()) {
      if (app.got_subcommand(command.name)) return cli::UsageError(command, e.what());
    }
    std::fprintf(stderr, "keltos3: %s\nTry 'keltos3 --help'.\n", e.what());
    return cli::kExitUsage;
  }

  if (verbose) {
    // The library's trace channel reads this at every trace line.
    ::setenv("KELTOS3_TRACE", "stderr", 1);
  }
  if (transfers > 0) {
    // The library reads this with its settings, at every operation.
    ::setenv("KELTOS3_TRANSFERS", std::to_string(transfers).c_str(), 1);
  }
  if (help) {
    for (const cli::Command& command : cli::Commands()) {
      if (app.got_subcommand(command.name)) return PrintCommandHelp(app, command);
    }
    PrintUsage(stdout);
    return cli::kExitOk;
  }
  if (version) {
    std::printf("keltos3 %s (library: %s)\n", kVersion, cli::WideToUtf8(KeltoS3GetVersion()).c_str());
    return cli::kExitOk;
  }
  if (help_command->parsed()) {
    if (help_topic.empty()) {
      PrintUsage(stdout);
      return cli::kExitOk;
    }
    const cli::Command* command = cli::FindCommand(help_topic[0]);
    if (command == nullptr || help_topic.size() > 1) {
      std::fprintf(stderr, "keltos3: no command '%s'\nTry 'keltos3 --help'.\n", help_topic[0].c_str());
      return cli::kExitUsage;
    }
    return PrintCommandHelp(app, *command);
  }
  if (app.get_subcommands().empty()) {
    PrintUsage(stderr);
    return cli::kExitUsage;
  }

  // The library reads the settings file the program found: the per-user
  // one is not among the places the library itself looks.
  const cli::IniLocation location = cli::LocateIniFile();
  if (!location.path.empty()) ::setenv("KELTOS3_INI", location.path.c_str(), 1);

  for (const cli::Command& command : cli::Commands()) {
    if (!app.got_subcommand(command.name)) continue;
    if (command.run != nullptr) {
      for (const std::string& arg : raw_args) {
        if (arg == "--") break;
        if (arg == "--help" || arg == "-h") return PrintCommandHelp(app, command);
      }
      return command.run(raw_args);
    }
    return command.run_parsed();
  }
  return cli::kExitUsage;
}
