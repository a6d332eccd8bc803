// keltos3 check: do the endpoint and both configured buckets answer?

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

#include "command.h"
#include "remote.h"

namespace cli {
namespace {

extern const Command kCheck;

void DefineCheck(CLI::App*) {}

int RunCheck() {
  RemoteSettings settings;
  int exit_code = kExitOk;
  if (!PrepareRemote(kCheck, &settings, &exit_code)) return exit_code;
  std::printf("settings  %s (%s)\n", settings.location.path.c_str(),
              DescribeSource(settings.location.source));
  const struct {
    const char* role;
    const std::string& name;
  } buckets[] = {{"backup bucket", settings.backup_bucket}, {"data bucket", settings.data_bucket}};
  bool missing = false;
  for (const auto& bucket : buckets) {
    const int state = BucketState(bucket.name);
    if (state < 0) {
      return Failure(kCheck, "the endpoint did not list the buckets: " + LastFailure() +
                                 "; see 'keltos3 config'");
    }
    std::printf("%-9s %s '%s'\n", state ? "ok" : "MISSING", bucket.role, bucket.name.c_str());
    missing = missing || state == 0;
  }
  if (missing) return Failure(kCheck, "a bucket is missing: create it with 'keltos3 mb'");
  std::printf("the endpoint answered and both buckets exist\n");
  return kExitOk;
}

const Command kCheck = {
    "check", "check", "Tell whether the endpoint answers and both buckets exist.",
    "Lists the account's buckets and looks for the backup bucket (QuexBucket) and\n"
    "the data bucket (QuexDataBucket).  Exit status 0 when both exist, 1 when the\n"
    "settings cannot be used, the endpoint did not answer or refused (the reason\n"
    "is shown), or a bucket is missing.",
    nullptr, DefineCheck, RunCheck};

const bool kRegistered = RegisterCommand(kCheck);

}  // namespace
}  // namespace cli
