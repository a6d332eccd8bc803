// keltos3 scramble: the INI form of an ACCOUNT or PASSWORD value.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "command.h"
#include "credentials.h"

namespace cli {
namespace {

extern const Command kScramble;

std::string g_text;

void DefineScramble(CLI::App* app) {
  app->add_option("TEXT", g_text, "the text, or '-' to read it from standard input")->required();
}

int RunScramble() {
  std::string text = g_text;
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
    nullptr, DefineScramble, RunScramble};

const bool kRegistered = RegisterCommand(kScramble);

}  // namespace
}  // namespace cli
