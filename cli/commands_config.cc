// keltos3 config: the INI file in use and every effective setting.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include "command.h"
#include "common/wide_string.h"
#include "credentials.h"
#include "effective_settings.h"
#include "ini_file.h"

namespace cli {
namespace {

extern const Command kConfig;

// Secrets never reach the screen: a password shows only its length, an
// access key id its first four characters when it is long enough to keep
// the rest hidden.
std::string Mask(const EffectiveSetting& s) {
  if (s.value.empty()) return "(empty)";
  const size_t length = Utf8ToU16(s.value).size();
  std::string shown;
  if (s.key == "ACCOUNT" && length >= 12) {
    shown = s.value.substr(0, 4) + std::string(length - 4, '*');
  } else {
    shown = "********";
  }
  return shown + " (" + std::to_string(length) + " characters)";
}

std::string ValueOf(const std::vector<EffectiveSetting>& settings, const std::string& key) {
  for (const EffectiveSetting& s : settings) {
    if (s.key == key) return s.value;
  }
  return std::string();
}

void DefineConfig(CLI::App*) {}

int RunConfig() {
  const IniLocation location = LocateIniFile();
  const IniSection online = IniSection::Read(location.path, "ONLINE");
  std::printf("INI file  %s\n", location.path.empty() ? "(unknown)" : location.path.c_str());
  std::printf("          %s; ", DescribeSource(location.source));
  if (!online.error().empty()) {
    std::printf("cannot be read: %s\n", online.error().c_str());
  } else if (!online.file_found()) {
    std::printf("not found: every setting has its default; run 'keltos3 init'\n");
  } else if (!online.section_found()) {
    std::printf("found, but without a section [ONLINE]: every setting has its default\n");
  } else {
    std::printf("found\n");
  }

  const std::vector<EffectiveSetting> settings = ComputeEffectiveSettings(online);
  std::printf("\n[ONLINE]\n");
  for (const EffectiveSetting& s : settings) {
    std::string shown = s.secret ? Mask(s) : s.value;
    if (!s.secret && shown.empty()) {
      shown = s.key == "CACertFile" ? "(none: the system trust store)" : "(empty)";
    }
    std::string source = s.from_file ? "file" : "default";
    if (!s.note.empty()) source += ", " + s.note;
    std::printf("  %-18s %-40s [%s]\n", s.key.c_str(), shown.c_str(), source.c_str());
  }

  const std::string port = ValueOf(settings, "S3Port");
  const std::string host = ValueOf(settings, "S3Host") + (port == "443" ? "" : ":" + port);
  const std::string bucket = ValueOf(settings, "QuexBucket");
  const std::string endpoint = ValueOf(settings, "PathStyle") == "1"
                                   ? host + "/" + bucket + "/"
                                   : bucket + "." + host + "/";
  std::printf("\nEndpoint  https://%s  (backup bucket; data bucket %s)\n", endpoint.c_str(),
              ValueOf(settings, "QuexDataBucket").c_str());
  if (ValueOf(settings, "SignatureVersion") == "4") {
    std::printf("Signing   AWS Signature Version 4, region %s\n", ValueOf(settings, "Region").c_str());
  } else {
    std::printf("Signing   signature version 2\n");
  }
  if (ValueOf(settings, "ACCOUNT").empty() || ValueOf(settings, "PASSWORD").empty()) {
    std::printf("Note      no usable ACCOUNT/PASSWORD: run 'keltos3 init' to set them\n");
  }
  // Defaults shown in place of a file that is there but unreadable are not
  // what the user configured.
  return online.error().empty() ? kExitOk : kExitFailure;
}

const Command kConfig = {
    "config", "config",
    "Show the INI file in use and every setting the library will use (secrets masked).",
    "Each line shows a key of section [ONLINE], the value in effect and where it\n"
    "comes from: [file] or [default], with a note when a value in the file cannot\n"
    "be used as written.  The file is KELTOS3_INI when that is set, else\n"
    "$XDG_CONFIG_HOME/keltos3/Kelto.ini (~/.config/keltos3/Kelto.ini) when it exists,\n"
    "else Kelto.ini beside the executable.",
    nullptr, DefineConfig, RunConfig};

const bool kRegistered = RegisterCommand(kConfig);

}  // namespace
}  // namespace cli
