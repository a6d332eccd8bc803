// keltos3 check: does the configured endpoint answer?

#include <cstdio>
#include <string>
#include <vector>

#include "KeltoS3.h"
#include "command.h"
#include "options.h"

namespace cli {
namespace {

extern const Command kCheck;

int RunCheck(const std::vector<std::string>& args) {
  ParsedOptions options;
  std::string error;
  if (!ParseOptions(args, {}, &options, &error)) return UsageError(kCheck, error);
  if (!options.positional().empty()) return UsageError(kCheck, "takes no arguments");

  KS3File* file = nullptr;
  if (CreateS3FileObject(&file) != 0) return Failure(kCheck, "could not create a file object");
  const int answered = file->TestConnection();
  const unsigned int last_error = KeltoS3GetLastError();
  DestroyS3FileObject(&file);

  if (answered == 1) {
    std::printf("the endpoint answered: the service listing succeeded\n");
    return kExitOk;
  }
  if (last_error == 12500) {
    return Failure(kCheck,
                   "the endpoint answered with an error: it refused the request "
                   "(wrong ACCOUNT or PASSWORD, or a clock far off?).  The S3 error "
                   "code is in the system log; run 'keltos3 -v check' to see it here");
  }
  return Failure(kCheck,
                 "the endpoint did not answer (host, port, certificate or proxy "
                 "settings?); see 'keltos3 config'");
}

const Command kCheck = {
    "check", "check", "Tell whether the configured S3 endpoint answers.",
    "Sends the service listing (with its repeats) and says whether it succeeded.\n"
    "Exit status 0 when it did, 1 when it did not.",
    RunCheck};

const bool kRegistered = RegisterCommand(kCheck);

}  // namespace
}  // namespace cli
