// What every command that talks to S3 makes sure of first, and how it
// tells the user why something failed.

#ifndef KELTOS3_CLI_REMOTE_H_
#define KELTOS3_CLI_REMOTE_H_

#include <string>

#include "command.h"
#include "ini_file.h"

namespace cli {

struct RemoteSettings {
  IniLocation location;
  std::string backup_bucket;  // QuexBucket in effect
  std::string data_bucket;    // QuexDataBucket in effect
};

// Reads the settings the library will use.  Settings that are missing
// ("no settings: run 'keltos3 init'"), cannot be read (the file and the
// system's reason) or have no [ONLINE] section end the command: the reason
// is printed, *exit_code set and false returned.
bool PrepareRemote(const Command& command, RemoteSettings* settings, int* exit_code);

// The library's words for the calling thread's last failure, or `fallback`
// when it has none.
std::string LastFailure(const std::string& fallback = "the endpoint did not answer");

// Makes sure the buckets asked for exist: a bucket the account's service
// listing does not name ends the command with a message that names it and
// says how to create it.  When the listing itself fails, so would the
// command: its reason ends the command too.
bool RequireBuckets(const Command& command, const RemoteSettings& settings, bool backup,
                    bool data, int* exit_code);

// For a command that failed without looking its buckets up first: the
// message naming the first of the two buckets that the service listing
// does not name, or "" when both are named or the listing fails.
std::string MissingBucketMessage(const RemoteSettings& settings);

// One bucket: 1 exists, 0 missing, -1 could not be told (LastFailure says why).
int BucketState(const std::string& bucket);

// True when S3 accepts `name` as a bucket name (3 to 63 lower-case
// letters, digits, dots and hyphens, starting and ending with a letter or
// digit, no "..", not an IP address, none of the reserved prefixes and
// suffixes); otherwise *why says what is wrong.
bool ValidBucketName(const std::string& name, std::string* why);

}  // namespace cli

#endif  // KELTOS3_CLI_REMOTE_H_
