// keltos3 init: writes a Kelto.ini with scrambled credentials.

#include <CLI/CLI.hpp>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>

#include "command.h"
#include "credentials.h"
#include "ini_file.h"
#include "remote.h"

namespace cli {
namespace {

extern const Command kInit;

struct InitOptions {
  std::string account, secret, host, port, ca, bucket, data_bucket, signature, region;
  int transfers = 4;
  bool path_style = false;
  bool force = false;
} g_init;
CLI::App* g_init_app = nullptr;

// Whether --NAME was on the command line (also with an empty value).
bool CLIFlagGiven(const std::string& name) { return g_init_app->count("--" + name) > 0; }

// A value the INI line cannot hold as written: line ends would start new
// lines and blanks around it would be trimmed when read.
bool FitsOnOneLine(const std::string& value) {
  return value.find_first_of("\r\n") == std::string::npos && value.find('\0') == std::string::npos;
}

bool ParsePort(const std::string& text, int* port) {
  if (text.empty() || text.size() > 5) return false;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 65535) return false;
  *port = value;
  return true;
}

// What a new user's synchronisation needs beyond the library's defaults.
constexpr char kSyncSettings[] =
    "; keltos3 sync: load up to 100000 directories and 100000 files per tree in\n"
    "; one run (the library's default, 100, carries a larger tree only in part).\n"
    "SyncCapacity=100000\n"
    "; keltos3 sync: when both sides changed a file, keep the losing content beside\n"
    "; it as a conflict copy, and never delete a file changed on the other side.\n"
    "SyncConflicts=keep\n";

// "https://host:port/", "host:port" or "host": the host, and the port when
// the text names one.  Only HTTPS is spoken, so "http://" is refused.
bool SplitEndpoint(const std::string& text, std::string* host, std::string* port,
                   std::string* why) {
  std::string rest = text;
  const size_t scheme = rest.find("://");
  if (scheme != std::string::npos) {
    if (rest.substr(0, scheme) != "https") {
      *why = "--host: the library speaks only HTTPS, not '" + rest.substr(0, scheme) + "'";
      return false;
    }
    rest.erase(0, scheme + 3);
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (rest.find_first_of("/?#@ ") != std::string::npos) {
    *why = "--host takes a host name, optionally with https:// and :PORT, not '" + text + "'";
    return false;
  }
  const size_t colon = rest.rfind(':');
  if (colon != std::string::npos && rest.find(':') == colon) {
    *port = rest.substr(colon + 1);
    rest.resize(colon);
  }
  *host = rest;
  return true;
}

void DefineInit(CLI::App* app) {
  g_init_app = app;
  app->add_option("--account", g_init.account, "S3 access key id (ACCOUNT); default $AWS_ACCESS_KEY_ID");
  app->add_option("--secret", g_init.secret,
                  "S3 secret access key (PASSWORD); '-' reads it from standard input; "
                  "default $AWS_SECRET_ACCESS_KEY");
  app->add_option("--host", g_init.host,
                  "endpoint (S3Host, S3Port): host, host:port or https://host:port");
  app->add_option("--port", g_init.port, "endpoint port (S3Port; default 443)");
  app->add_option("--ca", g_init.ca, "PEM certificates to trust (CACertFile; default: system store)");
  app->add_option("--bucket", g_init.bucket, "backup bucket (QuexBucket; default quexs3backup)");
  app->add_option("--data-bucket", g_init.data_bucket, "data bucket (QuexDataBucket; default quexs3data)");
  app->add_option("--signature", g_init.signature, "signature version 2 or 4 (SignatureVersion)");
  app->add_option("--region", g_init.region, "region of version-4 signatures (Region)");
  app->add_option("--transfers", g_init.transfers,
                  "transfers at once (Transfers, 1 to 32; default written: 4)")
      ->check(CLI::Range(1, 32));
  app->add_flag("--path-style", g_init.path_style, "address buckets as host/bucket/key (PathStyle=1)")
      ->disable_flag_override();
  app->add_flag("--force", g_init.force, "replace an existing file")->disable_flag_override();
}

int RunInit() {
  InitOptions& o = g_init;
  const auto from_environment = [](std::string* value, const char* name) {
    const char* set = std::getenv(name);
    if (value->empty() && set != nullptr) *value = set;
  };
  from_environment(&o.account, "AWS_ACCESS_KEY_ID");
  if (o.secret == "-") {
    // Keeps the secret off the command line, where `ps` shows it.
    if (!std::getline(std::cin, o.secret)) o.secret.clear();
    if (!o.secret.empty() && o.secret.back() == '\r') o.secret.pop_back();
    if (o.secret.empty()) return UsageError(kInit, "--secret -: standard input held no secret");
  }
  from_environment(&o.secret, "AWS_SECRET_ACCESS_KEY");
  if (o.account.empty()) return UsageError(kInit, "--account ID (or AWS_ACCESS_KEY_ID) is required");
  if (o.secret.empty()) return UsageError(kInit, "--secret KEY (or AWS_SECRET_ACCESS_KEY) is required");

  std::string body = "ACCOUNT=" + ScrambleToHex(o.account) + "\n" +
                     "PASSWORD=" + ScrambleToHex(o.secret) + "\n";
  std::string port = o.port;
  if (!o.host.empty()) {
    std::string host, port_in_host, why;
    if (!SplitEndpoint(o.host, &host, &port_in_host, &why)) return UsageError(kInit, why);
    if (!port_in_host.empty() && !port.empty() && port_in_host != port) {
      return UsageError(kInit, "--host names port " + port_in_host + " and --port " + port);
    }
    if (port.empty()) port = port_in_host;
    o.host = host;
  }
  const struct {
    const char* name;
    const std::string& value;
  } texts[] = {{"host", o.host}, {"region", o.region}};
  for (const auto& text : texts) {
    if (!FitsOnOneLine(text.value) || (text.value.empty() && CLIFlagGiven(text.name))) {
      return UsageError(kInit, std::string("--") + text.name + " needs a non-empty one-line value");
    }
  }
  for (const std::string* bucket : {&o.bucket, &o.data_bucket}) {
    std::string why;
    if ((!bucket->empty() || CLIFlagGiven(bucket == &o.bucket ? "bucket" : "data-bucket")) &&
        !ValidBucketName(*bucket, &why)) {
      return UsageError(kInit, "'" + *bucket + "' is not a bucket name S3 accepts: " + why);
    }
  }
  if (!o.host.empty()) body += "S3Host=" + o.host + "\n";
  if (!port.empty() || CLIFlagGiven("port")) {
    int number = 0;
    if (!ParsePort(port, &number)) {
      return UsageError(kInit, "--port needs a number from 1 to 65535, not '" + port + "'");
    }
    body += "S3Port=" + std::to_string(number) + "\n";
  }
  if (CLIFlagGiven("ca")) {
    std::error_code ec;
    if (o.ca.empty() || !std::filesystem::is_regular_file(o.ca, ec)) {
      return Failure(kInit, "--ca: no such file: '" + o.ca + "'");
    }
    const std::string absolute = std::filesystem::absolute(o.ca, ec).lexically_normal().string();
    if (!FitsOnOneLine(absolute)) return UsageError(kInit, "--ca needs a one-line path");
    body += "CACertFile=\"" + absolute + "\"\n";
  }
  if (!o.bucket.empty()) body += "QuexBucket=" + o.bucket + "\n";
  if (!o.data_bucket.empty()) body += "QuexDataBucket=" + o.data_bucket + "\n";
  if (CLIFlagGiven("signature")) {
    if (o.signature != "2" && o.signature != "4") {
      return UsageError(kInit, "--signature needs 2 or 4, not '" + o.signature + "'");
    }
    body += "SignatureVersion=" + o.signature + "\n";
  }
  if (!o.region.empty()) body += "Region=" + o.region + "\n";
  if (o.path_style) body += "PathStyle=1\n";
  body +=
      "; Milliseconds the library pauses after every request.  Its built-in default,\n"
      "; 1000, costs a second per request (storing a 6-byte file takes about 6 s);\n"
      "; raise it only for a service that asks clients to slow down.\n"
      "RequestPause=0\n"
      "; Transfers at once: chunks of a stored file, chunks read ahead, files of a\n"
      "; synchronisation.  Its built-in default, 1, sends each request after the one\n"
      "; before; a few at once hide the time a distant service takes to answer.\n"
      "Transfers=" + std::to_string(o.transfers) + "\n";

  // The per-user file unless KELTOS3_INI names another.
  const IniLocation location = LocateIniFile();
  std::string path = location.source == IniSource::kEnvironment ? location.path : UserIniPath();
  if (path.empty()) path = location.path;
  if (path.empty()) return Failure(kInit, "cannot tell where to write: set KELTOS3_INI or HOME");
  std::error_code ec;
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty() && !std::filesystem::exists(parent, ec)) {
    std::filesystem::create_directories(parent, ec);
    if (ec) return Failure(kInit, "cannot create " + parent.string() + ": " + ec.message());
    ::chmod(parent.c_str(), 0700);
  }
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && !o.force) {
    return Failure(kInit, path + " already exists; pass --force to replace it");
  }
  const std::string content =
      "; Settings of the KeltoS3 library, written by 'keltos3 init'.\n"
      "; ACCOUNT and PASSWORD are scrambled and hex-coded ('keltos3 scramble TEXT').\n"
      "[ONLINE]\n" + body + kSyncSettings;
  std::string error;
  if (!WriteIniFile(path, content, &error)) return Failure(kInit, error);
  std::printf("wrote %s\n", path.c_str());
  std::printf("ACCOUNT and PASSWORD are scrambled, not encrypted: the file is private (mode 0600).\n");
  return kExitOk;
}

const Command kInit = {
    "init",
    "init [--account ID] [--secret KEY|-] [--host H] [--port P] [--ca FILE]\n"
    "                    [--bucket B] [--data-bucket B] [--signature 2|4]\n"
    "                    [--region R] [--transfers N] [--path-style] [--force]",
    "Write a Kelto.ini with the scrambled credentials and the endpoint.",
    "The file goes to KELTOS3_INI when that is set, else to the per-user file\n"
    "$XDG_CONFIG_HOME/keltos3/Kelto.ini (~/.config/keltos3/Kelto.ini), private\n"
    "(mode 0600) from its creation.  An existing file is kept unless --force is\n"
    "given (it is then replaced whole).  The key pair comes from AWS_ACCESS_KEY_ID\n"
    "and AWS_SECRET_ACCESS_KEY when the options do not give it.  The file also\n"
    "gets RequestPause=0 (the built-in pause costs a second per request),\n"
    "Transfers=4 (or --transfers N): up to that many transfers at once, and for\n"
    "keltos3 sync SyncCapacity=100000 and SyncConflicts=keep.",
    nullptr, DefineInit, RunInit};

const bool kRegistered = RegisterCommand(kInit);

}  // namespace
}  // namespace cli
