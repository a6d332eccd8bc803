// keltos3 check: does the configured endpoint answer?

#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "endpoint_check.h"
#include "options.h"

namespace cli {
namespace {

extern const Command kCheck;

int RunCheck(const std::vector<std::string>& args) {
  ParsedOptions options;
  std::string error;
  if (!ParseOptions(args, {}, &options, &error)) return UsageError(kCheck, error);
  if (!options.positional().empty()) return UsageError(kCheck, "takes no arguments");

  std::string why;
  if (!EndpointAnswers(&why)) return Failure(kCheck, why);
  std::printf("the endpoint answered: the service listing succeeded\n");
  return kExitOk;
}

const Command kCheck = {
    "check", "check", "Tell whether the configured S3 endpoint answers.",
    "Sends the service listing (with its repeats) and says whether it succeeded.\n"
    "Exit status 0 when it did, 1 when it did not.",
    RunCheck};

const bool kRegistered = RegisterCommand(kCheck);

}  // namespace
}  // namespace cli
