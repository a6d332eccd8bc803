// CS3Config: the settings of one operation.
//
// The settings live in section "ONLINE" of the INI file named by the
// environment variable KELTOS3_INI (a POSIX path) or, when that is not set,
// "Kelto.ini" in the folder of the host executable.  Every getter reads the
// file at the moment it is called; nothing is cached, so an edit of the file
// takes effect at the next operation.  A missing file, section or key gives
// the getter's default.  Build one on the stack per operation.
//
// ACCOUNT and PASSWORD are stored scrambled (CIni::ScrambleText) and
// hex-coded, four digits per character, low byte first.
//
// Thread safety: none; an object is used by one thread.

#ifndef KELTOS3_SRC_SETTINGS_S3_CONFIG_H_
#define KELTOS3_SRC_SETTINGS_S3_CONFIG_H_

#include <cstdint>
#include <string>

#include "settings/ini.h"

class CS3Config {
 public:
  // Finds the INI path; reads nothing from the file.
  CS3Config();

  // Credentials, unscrambled; empty when absent, empty or not pure hex.  The
  // text ends at its first zero character.
  std::u16string GetAccount();   // "ACCOUNT"
  std::u16string GetPassword();  // "PASSWORD"

  // Plain texts, cut to 259 characters.
  std::u16string GetBucket();         // "QuexBucket", default "quexs3backup"
  std::u16string GetDataBucket();     // "QuexDataBucket", default "quexs3data"
  std::u16string GetProxyServer();    // "ProxyServer", host:port
  std::u16string GetProxyUserName();  // "ProxyUserName", default "anonymous"
  std::u16string GetProxyPassword();  // "ProxyPassword"

  // Decimal integers read like _wtoi: leading blanks and a sign accepted,
  // the conversion stops at the first non-digit, no digits give 0.
  int32_t GetBufferSize();     // "QuexS3BufferSize", default 1048576
  int32_t GetUploadWidth();    // "UploadWidth", default 200
  int32_t GetDownloadWidth();  // "DownloadWidth", default 200

  // Flags: 1 only when the text is exactly "1".
  int32_t UseProxy();            // "UseProxy", default 0
  int32_t IsBandwidthLimited();  // "BandWidthLim", default 0

  // 1: requests use HTTPS.  Reads no INI value.
  int32_t IsSecure() const;

  // Endpoint port: "S3Port", default 443 (80 were the secure flag off).  A
  // value that is not a port number (outside 1..65535) gives the default.
  int32_t GetPort();

  // Endpoint host: "S3Host", default "s3.amazonaws.com" (also for an empty
  // value).
  std::u16string GetHost();

  // PEM file of certificates to trust, as written in the file (a POSIX
  // path): "CACertFile", default empty (the system's trust store).
  std::u16string GetCACertFile();

  // Milliseconds to pause after each send: "RequestPause", default 1000.  A
  // negative value reads as 0.
  int32_t GetRequestPause();

  // Signature scheme of every request: "SignatureVersion", default 2.  Read
  // as a decimal integer; 4 selects AWS Signature Version 4, every other
  // value gives 2.
  int32_t GetSignatureVersion();

  // Region that version-4 signatures are scoped to: "Region", default
  // "us-east-1" (also for an empty value).
  std::u16string GetRegion();

  // Bucket addressing: "PathStyle", 1 only for exactly "1".  Off: the
  // bucket is part of the host name (bucket.host); on: the host is the
  // endpoint alone and the bucket leads the path (/bucket/key).
  int32_t IsPathStyle();

  // Entries a synchronisation run handles: "SyncCapacity", default 100.  It
  // is the capacity of the tree maps of each file system, of the four change
  // tables and of the action table (five of whose entries are its group
  // headers) of the run.  Values below 100 read as 100, values above
  // kMaxSyncCapacity as kMaxSyncCapacity.
  int32_t GetSyncCapacity();

  // The largest share of the files the catalog records, in percent, that
  // one synchronisation run may delete on either live side: "SyncMaxDelete",
  // default 50.  A run whose changes would delete more is refused.  An empty
  // value gives the default; values below 0 read as 0 (no deletion allowed),
  // above 100 as 100 (no limit).
  int32_t GetSyncMaxDelete();

  // How a synchronisation settles a file changed on both sides:
  // "SyncConflicts".  "keep" (any case) gives kSyncConflictsKeep: a
  // deletion never wins over a change, and the losing side of a file
  // changed on both sides is kept beside it as a conflict copy.  Every other
  // value, and none, gives kSyncConflictsRules, the fixed rules of the
  // engine.
  int32_t GetSyncConflicts();

  // Which names the local tree of a synchronisation can hold:
  // "SyncLocalNames".  "windows" (any case) gives kSyncLocalNamesWindows:
  // the names Windows refuses are refused and names that differ only in
  // case name one file, whatever the disk says (a Windows share or an NTFS
  // volume mounted on Linux).  Every other value, and none, gives
  // kSyncLocalNamesDetect: the platform's rules, and a look at the disk for
  // case.
  int32_t GetSyncLocalNames();

  // The INI file path in library form ("." when it could not be found).
  const std::u16string& GetIniPath() const;

 private:
  std::u16string ReadText(const char16_t* key, const char16_t* def);
  int32_t ReadInteger(const char16_t* key, const char16_t* def);
  int32_t ReadFlag(const char16_t* key);
  std::u16string ReadCredential(const char16_t* key);

  // Built-in values; the getters carry their own defaults, so the ones
  // marked "unused" are kept only to complete the record.  The spare
  // integers and the built-in buffer size, which nothing reads, are not
  // kept at all.
  std::u16string m_strBuiltinAccessKeyId;  // 20 characters, unused
  std::u16string m_strBuiltinSecretKey;    // 40 characters, unused
  std::u16string m_strSpareText;           // 11 characters, unused
  int32_t m_iSecure;
  int32_t m_iHttpsPort;
  int32_t m_iHttpPort;
  std::u16string m_strHost;
  std::u16string m_strUserAgent;  // unused
  std::u16string m_strBuiltinBucket;      // unused
  std::u16string m_strBuiltinDataBucket;  // unused
  std::u16string m_strIniPath;
  CIni m_ini;
  // The last values their getters read.
  int32_t m_iUseProxy;
  std::u16string m_strProxyServer;
  std::u16string m_strProxyUserName;
  std::u16string m_strProxyPassword;
  int32_t m_iBandwidthLimited;
};

// The built-in defaults, shared with the tests.
extern const char16_t kDefaultS3Host[];        // "s3.amazonaws.com"
extern const char16_t kDefaultProxyServer[];   // "127.0.0.1:3128"
extern const char16_t kDefaultProxyPassword[]; // 11 characters
extern const char16_t kDefaultRegion[];        // "us-east-1"

// Bounds of "SyncCapacity".  The upper one keeps a run's maps within a few
// GiB of memory (a few hundred bytes per entry).
constexpr int32_t kMinSyncCapacity = 100;
constexpr int32_t kMaxSyncCapacity = 10000000;

// Default of "SyncMaxDelete", in percent.
constexpr int32_t kDefaultSyncMaxDelete = 50;

// Values of GetSyncConflicts.
constexpr int32_t kSyncConflictsRules = 0;
constexpr int32_t kSyncConflictsKeep = 1;

// Values of GetSyncLocalNames.
constexpr int32_t kSyncLocalNamesDetect = 0;
constexpr int32_t kSyncLocalNamesWindows = 1;

#endif  // KELTOS3_SRC_SETTINGS_S3_CONFIG_H_
