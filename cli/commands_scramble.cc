// keltos3 scramble: the INI form of an ACCOUNT or PASSWORD value.

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "command.h"
#include "credentials.h"
#include "options.h"

namespace cli {
namespace {

extern const Command kScramble;

int RunScramble(const std::vector<std::string>& args) {
  ParsedOptions options;
  std::string error;
  if (!ParseOptions(args, {}, &options, &error)) return UsageError(kScramble, error);
  if (options.positional().size() != 1) return UsageError(kScramble, "give exactly one TEXT");
  std::string text = options.positional()[0];
  if (text == "-") {
    // Keeps a secret out of the shell history and the process list.
    if (!std::getline(std::cin, text)) text.clear();
    if (!text.empty() && text.back() == '\r') text.pop_back();
  }
  if (text.empty()) return UsageError(kScramble, "TEXT is empty");
  std::printf("%s\n", ScrambleToHex(text).c_str());
  return kExitOk;
}

const Command kScramble = {
    "scramble", "scramble TEXT | scramble -",
    "Print the scrambled hex form of TEXT, to paste as ACCOUNT= or PASSWORD=.",
    "'-' reads the text from the first line of standard input instead.  Use\n"
    "'keltos3 scramble -- TEXT' for a text that starts with '-'.  Scrambling hides\n"
    "the text from a casual look; it is not encryption, so keep the file private.",
    RunScramble};

const bool kRegistered = RegisterCommand(kScramble);

}  // namespace
}  // namespace cli
