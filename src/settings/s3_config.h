// CS3Config: the settings of one operation.
//
// The settings live in section "ONLINE" of the INI file named by the
// environment variable KELTOS3_INI (a POSIX path) or, when that is not set,
// "Kelto.ini" in the folder of the host executable.  A CS3Config is an
// immutable value: the section is read whole, once, when the value is made,
// and every getter answers from that reading.  A missing file, section or
// key gives the getter's default (settings/settings_table.h).
//
// One value per operation.  Every operation of the library (each call of an
// exported function or of a file object's operation, a synchronisation run
// as a whole) opens a SettingsScope when it starts: the scope reads the
// settings once, and every CS3Config made on that thread while the scope is
// open, by any layer, shares that reading instead of reading the file again.
// The next operation reads the file afresh, so an edit of the file takes
// effect at the next operation (the connection pool relies on that: its key
// holds the connection settings).  Threads an operation starts open a scope
// with the operation's value.  Outside any scope (tests, tools) a CS3Config
// reads the file when it is made.
//
// ACCOUNT and PASSWORD are stored scrambled (CIni::ScrambleText) and
// hex-coded, four digits per character, low byte first.
//
// Thread safety: a CS3Config may be copied and read from any number of
// threads at once; a SettingsScope belongs to the thread that opened it.

#ifndef KELTOS3_SRC_SETTINGS_S3_CONFIG_H_
#define KELTOS3_SRC_SETTINGS_S3_CONFIG_H_

#include <cstdint>
#include <memory>
#include <string>

#include "settings/ini.h"
#include "settings/settings_table.h"

class CS3Config {
 public:
  // The settings of the operation running on this thread (the innermost
  // SettingsScope), or, when none runs, the INI file read now.
  CS3Config();

  // The INI file read now, whatever scope is open.
  static CS3Config ReadNow();

  // Credentials, unscrambled; empty when absent, empty or not pure hex.  The
  // text ends at its first zero character.
  std::u16string GetAccount() const;   // "ACCOUNT"
  std::u16string GetPassword() const;  // "PASSWORD"

  // Plain texts, cut to 259 characters.
  std::u16string GetBucket() const;         // "QuexBucket", default "quexs3backup"
  std::u16string GetDataBucket() const;     // "QuexDataBucket", default "quexs3data"
  std::u16string GetProxyServer() const;    // "ProxyServer", host:port
  std::u16string GetProxyUserName() const;  // "ProxyUserName", default "anonymous"
  std::u16string GetProxyPassword() const;  // "ProxyPassword"

  // Decimal integers read like _wtoi: leading blanks and a sign accepted,
  // the conversion stops at the first non-digit, no digits give 0.
  int32_t GetBufferSize() const;     // "QuexS3BufferSize", default 1048576
  int32_t GetUploadWidth() const;    // "UploadWidth", default 200
  int32_t GetDownloadWidth() const;  // "DownloadWidth", default 200

  // Flags: 1 only when the text is exactly "1".
  int32_t UseProxy() const;            // "UseProxy", default 0
  int32_t IsBandwidthLimited() const;  // "BandWidthLim", default 0

  // 1: requests use HTTPS.  Reads no INI value.
  int32_t IsSecure() const;

  // Endpoint port: "S3Port", default 443 (80 were the secure flag off).  A
  // value that is not a port number (outside 1..65535) gives the default.
  int32_t GetPort() const;

  // Endpoint host: "S3Host", default "s3.amazonaws.com" (also for an empty
  // value).
  std::u16string GetHost() const;

  // PEM file of certificates to trust, as written in the file (a POSIX
  // path): "CACertFile", default empty (the system's trust store).
  std::u16string GetCACertFile() const;

  // Milliseconds to pause after each send: "RequestPause", default 1000.  A
  // negative value reads as 0.
  int32_t GetRequestPause() const;

  // Transfers one operation runs at once: "Transfers", default 1, every
  // request one after the other.  With N > 1 a stored file's chunks go up N
  // at a time, a read fetches up to N chunks ahead and a synchronisation
  // carries up to N files at once.  The environment variable
  // KELTOS3_TRANSFERS, when set and not empty, takes the place of the file's
  // value (the host program's --transfers).  Values below 1 read as 1,
  // above kMaxTransfers as kMaxTransfers.
  int32_t GetTransfers() const;

  // Signature scheme of every request: "SignatureVersion", default 2.  Read
  // as a decimal integer; 4 selects AWS Signature Version 4, every other
  // value gives 2.
  int32_t GetSignatureVersion() const;

  // Region that version-4 signatures are scoped to: "Region", default
  // "us-east-1" (also for an empty value).
  std::u16string GetRegion() const;

  // Bucket addressing: "PathStyle", 1 only for exactly "1".  Off: the
  // bucket is part of the host name (bucket.host); on: the host is the
  // endpoint alone and the bucket leads the path (/bucket/key).
  int32_t IsPathStyle() const;

  // Entries a synchronisation run handles: "SyncCapacity", default 100.  It
  // is the capacity of the tree maps of each file system, of the four change
  // tables and of the action table (five of whose entries are its group
  // headers) of the run.  Values below 100 read as 100, values above
  // kMaxSyncCapacity as kMaxSyncCapacity.
  int32_t GetSyncCapacity() const;

  // The largest share of the files the catalog records, in percent, that
  // one synchronisation run may delete on either live side: "SyncMaxDelete",
  // default 50.  A run whose changes would delete more is refused.  An empty
  // value gives the default; values below 0 read as 0 (no deletion allowed),
  // above 100 as 100 (no limit).
  int32_t GetSyncMaxDelete() const;

  // How a synchronisation settles a file changed on both sides:
  // "SyncConflicts".  "keep" (any case) gives kSyncConflictsKeep: a
  // deletion never wins over a change, and the losing side of a file
  // changed on both sides is kept beside it as a conflict copy.  Every other
  // value, and none, gives kSyncConflictsRules, the fixed rules of the
  // engine.
  int32_t GetSyncConflicts() const;

  // Which names the local tree of a synchronisation can hold:
  // "SyncLocalNames".  "windows" (any case) gives kSyncLocalNamesWindows:
  // the names Windows refuses are refused and names that differ only in
  // case name one file, whatever the disk says (a Windows share or an NTFS
  // volume mounted on Linux).  Every other value, and none, gives
  // kSyncLocalNamesDetect: the platform's rules, and a look at the disk for
  // case.
  int32_t GetSyncLocalNames() const;

  // The INI file path in library form ("." when it could not be found).
  const std::u16string& GetIniPath() const;

 private:
  struct Values;
  explicit CS3Config(std::shared_ptr<const Values> values);

  // The value of `key` cut to 259 characters, or `def` when the key is
  // missing.
  std::u16string ReadText(const char16_t* key, const char16_t* def) const;
  int32_t ReadInteger(const char16_t* key, const char16_t* def) const;
  int32_t ReadFlag(const char16_t* key) const;
  std::u16string ReadCredential(const char16_t* key) const;
  // The whole value of `key`; false when the key is missing.
  bool Find(const char16_t* key, std::u16string* value) const;

  std::shared_ptr<const Values> m_values;
};

// The built-in defaults, shared with the tests.
extern const char16_t kDefaultS3Host[];        // "s3.amazonaws.com"
extern const char16_t kDefaultProxyServer[];   // "127.0.0.1:3128"
extern const char16_t kDefaultProxyPassword[]; // 11 characters
extern const char16_t kDefaultRegion[];        // "us-east-1"

// The settings of one operation on the thread that opens it.  Scopes nest:
// an operation started inside another (a file object's Write inside a
// synchronisation run) shares the outer one's settings.
class SettingsScope {
 public:
  // Reads the INI file once, unless a scope is already open on this thread,
  // whose settings this one then shares.
  SettingsScope();
  // The given settings, for a thread that works for an operation.
  explicit SettingsScope(const CS3Config& settings);
  SettingsScope(const SettingsScope&) = delete;
  SettingsScope& operator=(const SettingsScope&) = delete;
  ~SettingsScope();

  const CS3Config& settings() const { return m_settings; }

 private:
  const CS3Config m_settings;
  const SettingsScope* const m_pOuter;
};

// Default of "SyncMaxDelete", in percent.
constexpr int32_t kDefaultSyncMaxDelete = 50;

// Values of GetSyncConflicts.
constexpr int32_t kSyncConflictsRules = 0;
constexpr int32_t kSyncConflictsKeep = 1;

// Values of GetSyncLocalNames.
constexpr int32_t kSyncLocalNamesDetect = 0;
constexpr int32_t kSyncLocalNamesWindows = 1;

#endif  // KELTOS3_SRC_SETTINGS_S3_CONFIG_H_
