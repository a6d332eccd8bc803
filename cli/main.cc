// keltos3: the host program of the KeltoS3 library.  Like any backup host it
// uses only the exported surface (KeltoS3.h, libKeltoS3.so).  Commands live
// in files of their own (commands_*.cc) and register themselves in the
// command table (command.h).

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "KeltoS3.h"
#include "command.h"

namespace {

constexpr char kVersion[] = "0.1.0";

void PrintUsage(std::FILE* to) {
  std::fprintf(to,
               "usage: keltos3 [-v|--verbose] COMMAND [ARGS...]\n"
               "       keltos3 COMMAND --help | --help | --version\n"
               "\n"
               "Host program of the KeltoS3 library: configures it and drives it.\n"
               "\n"
               "Commands:\n");
  for (const cli::Command& command : cli::Commands()) {
    std::fprintf(to, "  %-10s %s\n", command.name, command.summary);
  }
  std::fprintf(to,
               "\n"
               "Options:\n"
               "  -v, --verbose  send the library's trace lines to stderr (KELTOS3_TRACE=stderr)\n"
               "  -h, --help     show this help, or a command's with 'keltos3 COMMAND --help'\n"
               "      --version  show the version\n"
               "\n"
               "Settings come from KELTOS3_INI, or Kelto.ini beside this program.\n");
}

bool AsksForHelp(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--") return false;
    if (arg == "--help" || arg == "-h") return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  size_t next = 0;
  while (next < args.size() && !args[next].empty() && args[next][0] == '-') {
    const std::string& option = args[next];
    if (option == "--help" || option == "-h") {
      PrintUsage(stdout);
      return cli::kExitOk;
    }
    if (option == "--version") {
      std::printf("keltos3 %s\n", kVersion);
      return cli::kExitOk;
    }
    if (option == "-v" || option == "--verbose") {
      // The library's trace channel reads this at every trace line.
      ::setenv("KELTOS3_TRACE", "stderr", 1);
      ++next;
      continue;
    }
    std::fprintf(stderr, "keltos3: unknown option %s\nTry 'keltos3 --help'.\n", option.c_str());
    return cli::kExitUsage;
  }
  if (next >= args.size()) {
    PrintUsage(stderr);
    return cli::kExitUsage;
  }
  const cli::Command* command = cli::FindCommand(args[next]);
  if (command == nullptr) {
    std::fprintf(stderr, "keltos3: unknown command '%s'\nTry 'keltos3 --help'.\n",
                 args[next].c_str());
    return cli::kExitUsage;
  }
  const std::vector<std::string> rest(args.begin() + static_cast<long>(next) + 1, args.end());
  if (AsksForHelp(rest)) {
    std::fputs(cli::CommandHelp(*command).c_str(), stdout);
    return cli::kExitOk;
  }
  return command->run(rest);
}
