#include "remote.h"

#include "KeltoS3.h"
#include "effective_settings.h"
#include "wide_text.h"

namespace cli {

bool PrepareRemote(const Command& command, RemoteSettings* settings, int* exit_code) {
  settings->location = LocateIniFile();
  const IniLocation& location = settings->location;
  if (!location.exists) {
    *exit_code = Failure(command, "no settings: run 'keltos3 init' (looked for " +
                                      (location.path.empty() ? std::string("a settings file")
                                                             : location.path) +
                                      ")");
    return false;
  }
  const IniSection online = IniSection::Read(location.path, "ONLINE");
  if (!online.file_found()) {
    *exit_code = Failure(command, "the settings file " + location.path + " cannot be read: " +
                                      online.error());
    return false;
  }
  if (!online.section_found()) {
    *exit_code = Failure(command, "the settings file " + location.path +
                                      " has no [ONLINE] section; see 'keltos3 init'");
    return false;
  }
  for (const EffectiveSetting& s : ComputeEffectiveSettings(online)) {
    if (s.key == "QuexBucket") settings->backup_bucket = s.value;
    if (s.key == "QuexDataBucket") settings->data_bucket = s.value;
  }
  return true;
}

std::string LastFailure(const std::string& fallback) {
  const std::string text = WideToUtf8(KeltoS3GetLastErrorText());
  return text.empty() ? fallback : text;
}

int BucketState(const std::string& bucket) {
  return KeltoS3BucketExists(Utf8ToWide(bucket).c_str());
}

namespace {

struct WantedBucket {
  bool wanted;
  const char* role;
  const std::string& name;
};

std::string MissingMessage(const WantedBucket& bucket) {
  return std::string("the ") + bucket.role + " '" + bucket.name +
         "' does not exist; create it with 'keltos3 mb'";
}

}  // namespace

bool RequireBuckets(const Command& command, const RemoteSettings& settings, bool backup,
                    bool data, int* exit_code) {
  const WantedBucket buckets[] = {{backup, "backup bucket", settings.backup_bucket},
                                  {data, "data bucket", settings.data_bucket}};
  for (const WantedBucket& bucket : buckets) {
    if (!bucket.wanted) continue;
    const int state = BucketState(bucket.name);
    if (state < 0) {
      *exit_code = Failure(command, "the list of buckets could not be read: " + LastFailure());
      return false;
    }
    if (state == 0) {
      *exit_code = Failure(command, MissingMessage(bucket));
      return false;
    }
  }
  return true;
}

std::string MissingBucketMessage(const RemoteSettings& settings) {
  const WantedBucket buckets[] = {{true, "backup bucket", settings.backup_bucket},
                                  {true, "data bucket", settings.data_bucket}};
  for (const WantedBucket& bucket : buckets) {
    if (BucketState(bucket.name) == 0) return MissingMessage(bucket);
  }
  return "";
}

bool ValidBucketName(const std::string& name, std::string* why) {
  const auto alnum = [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); };
  if (name.size() < 3 || name.size() > 63) {
    *why = "a bucket name has 3 to 63 characters";
    return false;
  }
  for (const char c : name) {
    if (!alnum(c) && c != '.' && c != '-') {
      *why = "a bucket name holds only lower-case letters, digits, dots and hyphens";
      return false;
    }
  }
  if (!alnum(name.front()) || !alnum(name.back())) {
    *why = "a bucket name starts and ends with a letter or a digit";
    return false;
  }
  if (name.find("..") != std::string::npos) {
    *why = "a bucket name has no two dots in a row";
    return false;
  }
  int dots = 0;
  bool digits_and_dots = true;
  for (const char c : name) {
    dots += c == '.';
    digits_and_dots = digits_and_dots && (c == '.' || (c >= '0' && c <= '9'));
  }
  if (digits_and_dots && dots == 3) {
    *why = "a bucket name is not an IP address";
    return false;
  }
  for (const char* prefix : {"xn--", "sthree-"}) {
    if (name.rfind(prefix, 0) == 0) {
      *why = std::string("a bucket name does not start with ") + prefix;
      return false;
    }
  }
  for (const std::string suffix : {"-s3alias", "--ol-s3"}) {
    if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      *why = "a bucket name does not end with " + suffix;
      return false;
    }
  }
  return true;
}

}  // namespace cli
