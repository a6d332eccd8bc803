// keltos3 mb [BUCKET...]: creates buckets.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include "KeltoS3.h"
#include "command.h"
#include "remote.h"
#include "wide_text.h"

namespace cli {
namespace {

extern const Command kMb;

std::vector<std::string> g_buckets;

void DefineMb(CLI::App* app) { app->add_option("BUCKET", g_buckets, "buckets to create"); }

int RunMb() {
  RemoteSettings settings;
  int exit_code = kExitOk;
  if (!PrepareRemote(kMb, &settings, &exit_code)) return exit_code;
  std::vector<std::string> buckets = g_buckets;
  if (buckets.empty()) buckets = {settings.backup_bucket, settings.data_bucket};
  for (const std::string& bucket : buckets) {
    std::string why;
    if (!ValidBucketName(bucket, &why)) return UsageError(kMb, "'" + bucket + "': " + why);
  }
  int result = kExitOk;
  for (const std::string& bucket : buckets) {
    const int state = BucketState(bucket);
    if (state < 0) return Failure(kMb, "the list of buckets could not be read: " + LastFailure());
    if (state == 1) {
      std::printf("exists    %s\n", bucket.c_str());
      continue;
    }
    if (KeltoS3CreateBucket(Utf8ToWide(bucket).c_str()) != 0) {
      result = Failure(kMb, "'" + bucket + "' could not be created: " + LastFailure());
      continue;
    }
    std::printf("created   %s\n", bucket.c_str());
  }
  return result;
}

const Command kMb = {
    "mb", "mb [BUCKET...]", "Create buckets (by default the two the settings name).",
    "Without arguments creates the backup bucket (QuexBucket) and the data bucket\n"
    "(QuexDataBucket) of the settings; a bucket that exists already is left as it is.\n"
    "Exit status 0 when every bucket exists afterwards, 1 when one could not be\n"
    "created (the service's reason is shown), 2 for a name S3 does not accept.",
    nullptr, DefineMb, RunMb};

const bool kRegistered = RegisterCommand(kMb);

}  // namespace
}  // namespace cli
