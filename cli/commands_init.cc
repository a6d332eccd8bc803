// keltos3 init: writes a Kelto.ini with scrambled credentials.

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "command.h"
#include "credentials.h"
#include "ini_file.h"
#include "options.h"

namespace cli {
namespace {

extern const Command kInit;

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

int RunInit(const std::vector<std::string>& args) {
  ParsedOptions options;
  std::string error;
  if (!ParseOptions(args,
                    {{"account", true}, {"secret", true}, {"host", true}, {"port", true},
                     {"ca", true}, {"bucket", true}, {"data-bucket", true},
                     {"signature", true}, {"region", true}, {"path-style", false},
                     {"force", false}},
                    &options, &error)) {
    return UsageError(kInit, error);
  }
  if (!options.positional().empty()) {
    return UsageError(kInit, "unexpected argument '" + options.positional()[0] + "'");
  }
  const std::optional<std::string> account = options.Value("account");
  const std::optional<std::string> secret = options.Value("secret");
  if (!account.has_value() || account->empty()) return UsageError(kInit, "--account ID is required");
  if (!secret.has_value() || secret->empty()) return UsageError(kInit, "--secret KEY is required");

  std::string body = "ACCOUNT=" + ScrambleToHex(*account) + "\n" +
                     "PASSWORD=" + ScrambleToHex(*secret) + "\n";
  for (const char* name : {"host", "bucket", "data-bucket", "region"}) {
    const std::optional<std::string> value = options.Value(name);
    if (!value.has_value()) continue;
    if (value->empty() || !FitsOnOneLine(*value)) {
      return UsageError(kInit, std::string("--") + name + " needs a non-empty one-line value");
    }
  }
  if (const auto host = options.Value("host")) body += "S3Host=" + *host + "\n";
  if (const auto port_text = options.Value("port")) {
    int port = 0;
    if (!ParsePort(*port_text, &port)) {
      return UsageError(kInit, "--port needs a number from 1 to 65535, not '" + *port_text + "'");
    }
    body += "S3Port=" + std::to_string(port) + "\n";
  }
  if (const auto ca = options.Value("ca")) {
    std::error_code ec;
    if (ca->empty() || !std::filesystem::is_regular_file(*ca, ec)) {
      return Failure(kInit, "--ca: no such file: '" + *ca + "'");
    }
    const std::string absolute = std::filesystem::absolute(*ca, ec).lexically_normal().string();
    if (!FitsOnOneLine(absolute)) return UsageError(kInit, "--ca needs a one-line path");
    body += "CACertFile=\"" + absolute + "\"\n";
  }
  if (const auto bucket = options.Value("bucket")) body += "QuexBucket=" + *bucket + "\n";
  if (const auto data = options.Value("data-bucket")) body += "QuexDataBucket=" + *data + "\n";
  if (const auto version = options.Value("signature")) {
    if (*version != "2" && *version != "4") {
      return UsageError(kInit, "--signature needs 2 or 4, not '" + *version + "'");
    }
    body += "SignatureVersion=" + *version + "\n";
  }
  if (const auto region = options.Value("region")) body += "Region=" + *region + "\n";
  if (options.Flag("path-style")) body += "PathStyle=1\n";

  const IniLocation location = LocateIniFile();
  if (location.path.empty()) return Failure(kInit, "cannot tell where the executable is; set KELTOS3_INI");
  std::error_code ec;
  if (std::filesystem::exists(location.path, ec) && !options.Flag("force")) {
    return Failure(kInit, location.path + " already exists; pass --force to replace it");
  }
  const std::string content =
      "; Settings of the KeltoS3 library, written by 'keltos3 init'.\n"
      "; ACCOUNT and PASSWORD are scrambled and hex-coded ('keltos3 scramble TEXT').\n"
      "[ONLINE]\n" + body + kSyncSettings;
  if (!WriteIniFile(location.path, content, &error)) return Failure(kInit, error);
  std::printf("wrote %s%s\n", location.path.c_str(),
              location.from_environment ? " (named by KELTOS3_INI)" : "");
  std::printf("ACCOUNT and PASSWORD are scrambled, not encrypted: the file is private (mode 0600).\n");
  return kExitOk;
}

const Command kInit = {
    "init",
    "init --account ID --secret KEY [--host H] [--port P] [--ca FILE]\n"
    "                    [--bucket B] [--data-bucket B] [--signature 2|4]\n"
    "                    [--region R] [--path-style] [--force]",
    "Write a Kelto.ini with the scrambled credentials and the endpoint.",
    "The file goes to KELTOS3_INI when that is set, else beside the executable.\n"
    "An existing file is kept unless --force is given (it is then replaced whole).\n"
    "  --account ID       S3 access key id (ACCOUNT)\n"
    "  --secret KEY       S3 secret access key (PASSWORD)\n"
    "  --host H           endpoint host (S3Host; default s3.amazonaws.com)\n"
    "  --port P           endpoint port (S3Port; default 443)\n"
    "  --ca FILE          PEM certificates to trust (CACertFile; default: system store)\n"
    "  --bucket B         backup bucket (QuexBucket; default quexs3backup)\n"
    "  --data-bucket B    data bucket (QuexDataBucket; default quexs3data)\n"
    "  --signature 2|4    signature version (SignatureVersion; default 2)\n"
    "  --region R         region of version-4 signatures (Region; default us-east-1)\n"
    "  --path-style       address buckets as host/bucket/key (PathStyle=1)\n"
    "  --force            replace an existing file",
    RunInit};

const bool kRegistered = RegisterCommand(kInit);

}  // namespace
}  // namespace cli
