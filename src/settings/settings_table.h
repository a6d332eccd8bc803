// The keys of section "ONLINE" of the INI file: how the text of each is read
// and its built-in default.  The library's settings (settings/s3_config.h)
// and the host program's display of the settings in force both read this
// table, so that the two never disagree on a default.  Header only: the
// host program includes it without linking any of the library's sources.

#ifndef KELTOS3_SRC_SETTINGS_SETTINGS_TABLE_H_
#define KELTOS3_SRC_SETTINGS_SETTINGS_TABLE_H_

#include <cstdint>
#include <string_view>

// How the text of a key becomes the value the library uses.
enum class SettingKind {
  kCredential,        // scrambled and hex-coded; empty when not pure hex
  kText,              // cut to 259 characters
  kNonEmptyText,      // as kText; an empty value gives the default
  kInteger,           // decimal, read like _wtoi; no digits give 0
  kFlag,              // 1 only for exactly "1"
  kPort,              // a port number 1..65535, else the default
  kSignatureVersion,  // 4, or 2 for every other value
  kPause,             // milliseconds; a negative value reads as 0
  kCapacity,          // clamped into [kMinSyncCapacity, kMaxSyncCapacity]
  kShare,             // percent, clamped into [0, 100]; empty gives the default
  kConflicts,         // "keep" (any case), or the engine's fixed rules
  kTransfers,         // clamped into [1, kMaxTransfers]
};

struct SettingDefinition {
  const char16_t* key;  // as the INI file spells it (case does not matter)
  SettingKind kind;
  const char16_t* def;  // the built-in default, as text
};

// Bounds of "SyncCapacity".  The upper one keeps a run's maps within a few
// GiB of memory (a few hundred bytes per entry).
constexpr std::int32_t kMinSyncCapacity = 100;
constexpr std::int32_t kMaxSyncCapacity = 10000000;

// The most transfers one operation runs at once ("Transfers").  Each holds
// up to a chunk in memory.
constexpr std::int32_t kMaxTransfers = 32;

// Every key, in the order the README's table lists them.
inline constexpr SettingDefinition kSettingsTable[] = {
    {u"ACCOUNT", SettingKind::kCredential, u""},
    {u"PASSWORD", SettingKind::kCredential, u""},
    {u"QuexBucket", SettingKind::kText, u"quexs3backup"},
    {u"QuexDataBucket", SettingKind::kText, u"quexs3data"},
    {u"QuexS3BufferSize", SettingKind::kInteger, u"1048576"},
    {u"UseProxy", SettingKind::kFlag, u"0"},
    {u"ProxyServer", SettingKind::kText, u"127.0.0.1:3128"},
    {u"ProxyUserName", SettingKind::kText, u"anonymous"},
    {u"ProxyPassword", SettingKind::kText, u"keltos3user"},
    {u"BandWidthLim", SettingKind::kFlag, u"0"},
    {u"UploadWidth", SettingKind::kInteger, u"200"},
    {u"DownloadWidth", SettingKind::kInteger, u"200"},
    {u"S3Host", SettingKind::kNonEmptyText, u"s3.amazonaws.com"},
    {u"S3Port", SettingKind::kPort, u"443"},
    {u"CACertFile", SettingKind::kText, u""},
    {u"RequestPause", SettingKind::kPause, u"1000"},
    {u"SignatureVersion", SettingKind::kSignatureVersion, u"2"},
    {u"Region", SettingKind::kNonEmptyText, u"us-east-1"},
    {u"PathStyle", SettingKind::kFlag, u"0"},
    {u"SyncCapacity", SettingKind::kCapacity, u"100"},
    {u"SyncMaxDelete", SettingKind::kShare, u"50"},
    {u"SyncConflicts", SettingKind::kConflicts, u""},
    {u"SyncLocalNames", SettingKind::kText, u""},
    {u"Transfers", SettingKind::kTransfers, u"1"},
};

// The built-in default of `key` as text; the empty text for a key the
// table does not hold.
constexpr const char16_t* SettingDefault(std::u16string_view key) {
  for (const SettingDefinition& setting : kSettingsTable) {
    if (key == setting.key) return setting.def;
  }
  return u"";
}

#endif  // KELTOS3_SRC_SETTINGS_SETTINGS_TABLE_H_
