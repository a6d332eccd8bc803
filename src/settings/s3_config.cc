#include "settings/s3_config.h"

#include <array>

#include "platform/env.h"
#include "platform/path.h"
#include "platform/profile.h"
#include "support/time_text.h"

const char16_t kDefaultS3Host[] = u"s3.amazonaws.com";
const char16_t kDefaultProxyServer[] = u"127.0.0.1:3128";
const char16_t kDefaultProxyPassword[] = u"keltos3user";
const char16_t kDefaultRegion[] = u"us-east-1";

namespace {

constexpr char16_t kSection[] = u"ONLINE";

// Plain texts are read into 261 characters with a size of 260: at most 259
// characters of a value survive.
constexpr uint32_t kTextBufferSize = 260;

// At most 520 bytes, that is 260 characters, of a credential.
constexpr uint32_t kCredentialBytes = 520;

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

}  // namespace

CS3Config::CS3Config()
    : m_strBuiltinAccessKeyId(u"KELTOS3NOBUILTINKEY0"),
      m_strBuiltinSecretKey(u"keltos3-no-built-in-secret-key-is-used-0"),
      m_strSpareText(u"QUEXS3SPARE"),
      m_iSecure(1),
      m_iHttpsPort(443),
      m_iHttpPort(80),
      m_strHost(kDefaultS3Host),
      m_strUserAgent(u"QUEX Amazon S3 Exp"),
      m_strBuiltinBucket(u"quexs3backup"),
      m_strBuiltinDataBucket(u"quexs3data"),
      m_strIniPath(FindIniPath()),
      m_iUseProxy(0),
      m_strProxyServer(kDefaultProxyServer),
      m_strProxyUserName(u"anonymous"),
      m_strProxyPassword(kDefaultProxyPassword),
      m_iBandwidthLimited(0) {
  m_ini.SetPathName(m_strIniPath.c_str());
}

std::u16string CS3Config::ReadText(const char16_t* key, const char16_t* def) {
  std::array<char16_t, kTextBufferSize + 1> buffer{};
  const uint32_t n = platform::GetPrivateProfileString(
      kSection, key, def, buffer.data(), kTextBufferSize, m_strIniPath);
  return std::u16string(buffer.data(), n);
}

int32_t CS3Config::ReadInteger(const char16_t* key, const char16_t* def) {
  const std::u16string text = ReadText(key, def);
  return ParseDecimalField(text, 0, text.size());
}

int32_t CS3Config::ReadFlag(const char16_t* key) {
  return ReadText(key, u"0") == u"1" ? 1 : 0;
}

std::u16string CS3Config::ReadCredential(const char16_t* key) {
  std::array<uint8_t, kCredentialBytes> bytes{};
  const uint32_t n =
      m_ini.GetHexBlock(kSection, key, bytes.data(), kCredentialBytes, 0);
  std::u16string text(n / 2, u'\0');
  for (size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  CIni::ScrambleText(text.data(), static_cast<int>(text.size()));
  const size_t zero = text.find(u'\0');
  if (zero != std::u16string::npos) text.resize(zero);
  return text;
}

std::u16string CS3Config::GetAccount() { return ReadCredential(u"ACCOUNT"); }
std::u16string CS3Config::GetPassword() { return ReadCredential(u"PASSWORD"); }

std::u16string CS3Config::GetBucket() {
  return ReadText(u"QuexBucket", u"quexs3backup");
}

std::u16string CS3Config::GetDataBucket() {
  return ReadText(u"QuexDataBucket", u"quexs3data");
}

std::u16string CS3Config::GetProxyServer() {
  m_strProxyServer = ReadText(u"ProxyServer", kDefaultProxyServer);
  return m_strProxyServer;
}

std::u16string CS3Config::GetProxyUserName() {
  m_strProxyUserName = ReadText(u"ProxyUserName", u"anonymous");
  return m_strProxyUserName;
}

std::u16string CS3Config::GetProxyPassword() {
  m_strProxyPassword = ReadText(u"ProxyPassword", kDefaultProxyPassword);
  return m_strProxyPassword;
}

int32_t CS3Config::GetBufferSize() {
  return ReadInteger(u"QuexS3BufferSize", u"1048576");
}

int32_t CS3Config::GetUploadWidth() { return ReadInteger(u"UploadWidth", u"200"); }

int32_t CS3Config::GetDownloadWidth() {
  return ReadInteger(u"DownloadWidth", u"200");
}

int32_t CS3Config::UseProxy() {
  m_iUseProxy = ReadFlag(u"UseProxy");
  return m_iUseProxy;
}

int32_t CS3Config::IsBandwidthLimited() {
  m_iBandwidthLimited = ReadFlag(u"BandWidthLim");
  return m_iBandwidthLimited;
}

int32_t CS3Config::IsSecure() const { return m_iSecure; }

int32_t CS3Config::GetPort() {
  const int32_t fallback = m_iSecure != 0 ? m_iHttpsPort : m_iHttpPort;
  const std::u16string text = ReadText(u"S3Port", u"");
  if (text.empty()) return fallback;
  const int32_t port = ParseDecimalField(text, 0, text.size());
  return port >= 1 && port <= 65535 ? port : fallback;
}

std::u16string CS3Config::GetHost() {
  const std::u16string host = ReadText(u"S3Host", m_strHost.c_str());
  return host.empty() ? m_strHost : host;
}

std::u16string CS3Config::GetCACertFile() { return ReadText(u"CACertFile", u""); }

int32_t CS3Config::GetRequestPause() {
  const int32_t pause = ReadInteger(u"RequestPause", u"1000");
  return pause < 0 ? 0 : pause;
}

int32_t CS3Config::GetSignatureVersion() {
  return ReadInteger(u"SignatureVersion", u"2") == 4 ? 4 : 2;
}

std::u16string CS3Config::GetRegion() {
  const std::u16string region = ReadText(u"Region", kDefaultRegion);
  return region.empty() ? kDefaultRegion : region;
}

int32_t CS3Config::IsPathStyle() { return ReadFlag(u"PathStyle"); }

int32_t CS3Config::GetSyncCapacity() {
  const int32_t capacity = ReadInteger(u"SyncCapacity", u"100");
  if (capacity < kMinSyncCapacity) return kMinSyncCapacity;
  return capacity > kMaxSyncCapacity ? kMaxSyncCapacity : capacity;
}

int32_t CS3Config::GetSyncMaxDelete() {
  const std::u16string text = ReadText(u"SyncMaxDelete", u"");
  if (text.empty()) return kDefaultSyncMaxDelete;
  const int32_t percent = ParseDecimalField(text, 0, text.size());
  if (percent < 0) return 0;
  return percent > 100 ? 100 : percent;
}

int32_t CS3Config::GetSyncConflicts() {
  std::u16string text = ReadText(u"SyncConflicts", u"");
  for (char16_t& c : text) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return text == u"keep" ? kSyncConflictsKeep : kSyncConflictsRules;
}

int32_t CS3Config::GetSyncLocalNames() {
  std::u16string text = ReadText(u"SyncLocalNames", u"");
  for (char16_t& c : text) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  return text == u"windows" ? kSyncLocalNamesWindows : kSyncLocalNamesDetect;
}

const std::u16string& CS3Config::GetIniPath() const { return m_strIniPath; }
