#include "settings/s3_config.h"

#include <utility>
#include <vector>

#include "platform/env.h"
#include "platform/path.h"
#include "platform/profile.h"
#include "support/time_text.h"

const char16_t kDefaultS3Host[] = u"s3.amazonaws.com";
const char16_t kDefaultProxyServer[] = u"127.0.0.1:3128";
const char16_t kDefaultProxyPassword[] = u"keltos3user";
const char16_t kDefaultRegion[] = u"us-east-1";

static_assert(std::u16string_view(SettingDefault(u"S3Host")) == u"s3.amazonaws.com");
static_assert(std::u16string_view(SettingDefault(u"ProxyServer")) == u"127.0.0.1:3128");
static_assert(std::u16string_view(SettingDefault(u"ProxyPassword")) == u"keltos3user");
static_assert(std::u16string_view(SettingDefault(u"Region")) == u"us-east-1");
static_assert(std::u16string_view(SettingDefault(u"SyncMaxDelete")) == u"50" &&
              kDefaultSyncMaxDelete == 50);

namespace {

constexpr char16_t kSection[] = u"ONLINE";

// Plain texts keep at most 259 characters (a buffer of 260 with its
// terminator, as the platform's profile reading fills it).
constexpr size_t kMaxTextLength = 259;

// At most 520 bytes, that is 260 characters, of a credential.
constexpr uint32_t kCredentialBytes = 520;

// The innermost settings scope open on this thread.  A plain pointer, so
// that it needs no destructor at thread exit.
thread_local const SettingsScope* t_scope = nullptr;

std::u16string FindIniPath() {
  platform::Env* env = platform::CurrentEnv();
  std::string named;
  if (env->GetEnvironmentVariable("KELTOS3_INI", &named) && !named.empty()) {
    return platform::FromPosixPath(named);
  }
  const std::u16string exe = env->GetModuleFileName();
  const size_t slash = exe.rfind(u'\\');
  if (slash == std::u16string::npos) return u".";
  return exe.substr(0, slash) + u"\\Kelto.ini";
}

// A default as the platform gives it for a missing key: cut at a NUL,
// trailing blanks removed.
std::u16string DefaultText(const char16_t* def) {
  std::u16string text = def != nullptr ? def : u"";
  const size_t nul = text.find(u'\0');
  if (nul != std::u16string::npos) text.resize(nul);
  while (!text.empty() && text.back() == u' ') text.pop_back();
  return text;
}

}  // namespace

// What one reading of the INI file found.
struct CS3Config::Values {
  std::u16string ini_path;
  std::vector<platform::ProfileEntry> entries;  // section ONLINE
  // KELTOS3_TRANSFERS, when set and not empty.
  bool transfers_named = false;
  std::u16string transfers;
};

CS3Config::CS3Config(std::shared_ptr<const Values> values) : m_values(std::move(values)) {}

CS3Config::CS3Config()
    : CS3Config(t_scope != nullptr ? t_scope->settings() : ReadNow()) {}

CS3Config CS3Config::ReadNow() {
  auto values = std::make_shared<Values>();
  values->ini_path = FindIniPath();
  platform::ReadProfileSection(kSection, values->ini_path, &values->entries);
  std::string transfers;
  if (platform::CurrentEnv()->GetEnvironmentVariable("KELTOS3_TRANSFERS", &transfers) &&
      !transfers.empty()) {
    values->transfers_named = true;
    values->transfers = platform::FromPosixPath(transfers);
  }
  return CS3Config(std::move(values));
}

bool CS3Config::Find(const char16_t* key, std::u16string* value) const {
  for (const platform::ProfileEntry& entry : m_values->entries) {
    if (platform::ProfileNamesEqual(entry.key, key)) {
      *value = entry.value;
      return true;
    }
  }
  return false;
}

std::u16string CS3Config::ReadText(const char16_t* key, const char16_t* def) const {
  std::u16string text;
  if (!Find(key, &text)) text = DefaultText(def);
  if (text.size() > kMaxTextLength) text.resize(kMaxTextLength);
  return text;
}

int32_t CS3Config::ReadInteger(const char16_t* key, const char16_t* def) const {
  const std::u16string text = ReadText(key, def);
  return ParseDecimalField(text, 0, text.size());
}

int32_t CS3Config::ReadFlag(const char16_t* key) const {
  return ReadText(key, u"0") == u"1" ? 1 : 0;
}

std::u16string CS3Config::ReadCredential(const char16_t* key) const {
  std::u16string hex;
  Find(key, &hex);
  uint8_t bytes[kCredentialBytes] = {};
  const uint32_t n = CIni::DecodeHexBlock(hex, bytes, kCredentialBytes, 0);
  std::u16string text(n / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  CIni::ScrambleText(text.data(), static_cast<int>(text.size()));
  const size_t zero = text.find(u'\0');
  if (zero != std::u16string::npos) text.resize(zero);
  return text;
}

std::u16string CS3Config::GetAccount() const { return ReadCredential(u"ACCOUNT"); }
std::u16string CS3Config::GetPassword() const { return ReadCredential(u"PASSWORD"); }

std::u16string CS3Config::GetBucket() const {
  return ReadText(u"QuexBucket", SettingDefault(u"QuexBucket"));
}

std::u16string CS3Config::GetDataBucket() const {
  return ReadText(u"QuexDataBucket", SettingDefault(u"QuexDataBucket"));
}

std::u16string CS3Config::GetProxyServer() const {
  return ReadText(u"ProxyServer", SettingDefault(u"ProxyServer"));
}

std::u16string CS3Config::GetProxyUserName() const {
  return ReadText(u"ProxyUserName", SettingDefault(u"ProxyUserName"));
}

std::u16string CS3Config::GetProxyPassword() const {
  return ReadText(u"ProxyPassword", SettingDefault(u"ProxyPassword"));
}

int32_t CS3Config::GetBufferSize() const {
  return ReadInteger(u"QuexS3BufferSize", SettingDefault(u"QuexS3BufferSize"));
}

int32_t CS3Config::GetUploadWidth() const {
  return ReadInteger(u"UploadWidth", SettingDefault(u"UploadWidth"));
}

int32_t CS3Config::GetDownloadWidth() const {
  return ReadInteger(u"DownloadWidth", SettingDefault(u"DownloadWidth"));
}

int32_t CS3Config::UseProxy() const { return ReadFlag(u"UseProxy"); }

int32_t CS3Config::IsBandwidthLimited() const { return ReadFlag(u"BandWidthLim"); }

// Requests always use HTTPS.
int32_t CS3Config::IsSecure() const { return 1; }

int32_t CS3Config::GetPort() const {
  const std::u16string builtin = SettingDefault(u"S3Port");
  const int32_t fallback = ParseDecimalField(builtin, 0, builtin.size());
  const std::u16string text = ReadText(u"S3Port", u"");
  if (text.empty()) return fallback;
  const int32_t port = ParseDecimalField(text, 0, text.size());
  return port >= 1 && port <= 65535 ? port : fallback;
}

std::u16string CS3Config::GetHost() const {
  const std::u16string host = ReadText(u"S3Host", kDefaultS3Host);
  return host.empty() ? kDefaultS3Host : host;
}

std::u16string CS3Config::GetCACertFile() const {
  return ReadText(u"CACertFile", SettingDefault(u"CACertFile"));
}

int32_t CS3Config::GetRequestPause() const {
  const int32_t pause = ReadInteger(u"RequestPause", SettingDefault(u"RequestPause"));
  return pause < 0 ? 0 : pause;
}

int32_t CS3Config::GetTransfers() const {
  const std::u16string text = m_values->transfers_named
                                  ? m_values->transfers
                                  : ReadText(u"Transfers", SettingDefault(u"Transfers"));
  const int32_t transfers = ParseDecimalField(text, 0, text.size());
  if (transfers < 1) return 1;
  return transfers > kMaxTransfers ? kMaxTransfers : transfers;
}

int32_t CS3Config::GetSignatureVersion() const {
  return ReadInteger(u"SignatureVersion", SettingDefault(u"SignatureVersion")) == 4 ? 4 : 2;
}

std::u16string CS3Config::GetRegion() const {
  const std::u16string region = ReadText(u"Region", kDefaultRegion);
  return region.empty() ? kDefaultRegion : region;
}

int32_t CS3Config::IsPathStyle() const { return ReadFlag(u"PathStyle"); }

int32_t CS3Config::GetSyncCapacity() const {
  const int32_t capacity = ReadInteger(u"SyncCapacity", SettingDefault(u"SyncCapacity"));
  if (capacity < kMinSyncCapacity) return kMinSyncCapacity;
  return capacity > kMaxSyncCapacity ? kMaxSyncCapacity : capacity;
}

int32_t CS3Config::GetSyncMaxDelete() const {
  const std::u16string text = ReadText(u"SyncMaxDelete", u"");
  if (text.empty()) return kDefaultSyncMaxDelete;  // SettingDefault(u"SyncMaxDelete")
  const int32_t percent = ParseDecimalField(text, 0, text.size());
  if (percent < 0) return 0;
  return percent > 100 ? 100 : percent;
}

int32_t CS3Config::GetSyncConflicts() const {
  std::u16string text = ReadText(u"SyncConflicts", u"");
  for (char16_t& c : text) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return text == u"keep" ? kSyncConflictsKeep : kSyncConflictsRules;
}

int32_t CS3Config::GetSyncLocalNames() const {
  std::u16string text = ReadText(u"SyncLocalNames", u"");
  for (char16_t& c : text) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return text == u"windows" ? kSyncLocalNamesWindows : kSyncLocalNamesDetect;
}

const std::u16string& CS3Config::GetIniPath() const { return m_values->ini_path; }

// ---- SettingsScope ---------------------------------------------------------

SettingsScope::SettingsScope() : m_settings(), m_pOuter(t_scope) { t_scope = this; }

SettingsScope::SettingsScope(const CS3Config& settings)
    : m_settings(settings), m_pOuter(t_scope) {
  t_scope = this;
}

SettingsScope::~SettingsScope() { t_scope = m_pOuter; }
