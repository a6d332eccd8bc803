#include "effective_settings.h"

#include <climits>
#include <optional>

#include "common/wide_string.h"
#include "credentials.h"

namespace cli {

const char kBuiltinHost[] = "s3.amazonaws.com";
const char kBuiltinProxyServer[] = "127.0.0.1:3128";
const char kBuiltinProxyPassword[] = "keltos3user";

namespace {

// Plain texts keep at most 259 UTF-16 characters.
std::string CutText(const std::string& text) {
  const std::u16string wide = Utf8ToU16(text);
  if (wide.size() <= 259) return text;
  return U16ToUtf8(std::u16string_view(wide).substr(0, 259));
}

// _wtoi: blanks, one sign, digits up to the first non-digit; saturating.
long long ReadInteger(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' ||
                             text[i] == '\r' || text[i] == '\v' || text[i] == '\f')) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > INT_MAX) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return value;
}

class Builder {
 public:
  explicit Builder(const IniSection& online) : online_(online) {}

  void Credential(const char* key) {
    EffectiveSetting s = Start(key);
    s.secret = true;
    if (s.from_file) {
      const std::optional<std::string> plain = UnscrambleHex(*online_.Get(key));
      if (plain.has_value()) {
        s.value = *plain;
      } else {
        s.note = "not hex: reads as empty";
      }
    }
    out_.push_back(s);
  }

  void Text(const char* key, const std::string& def, bool secret = false) {
    EffectiveSetting s = Start(key);
    s.secret = secret;
    s.value = s.from_file ? CutText(*online_.Get(key)) : def;
    if (s.from_file && s.value != *online_.Get(key)) s.note = "cut to 259 characters";
    out_.push_back(s);
  }

  void Integer(const char* key, long long def) {
    EffectiveSetting s = Start(key);
    s.value = std::to_string(s.from_file ? ReadInteger(CutText(*online_.Get(key))) : def);
    out_.push_back(s);
  }

  void Flag(const char* key) {
    EffectiveSetting s = Start(key);
    s.value = s.from_file && CutText(*online_.Get(key)) == "1" ? "1" : "0";
    out_.push_back(s);
  }

  // S3Port: a number 1..65535, else 443.
  void Port(const char* key) {
    EffectiveSetting s = Start(key);
    s.value = "443";
    if (s.from_file && !online_.Get(key)->empty()) {
      const long long port = ReadInteger(CutText(*online_.Get(key)));
      if (port >= 1 && port <= 65535) {
        s.value = std::to_string(port);
      } else {
        s.note = "not a port number: default used";
      }
    }
    out_.push_back(s);
  }

  // S3Host, Region: an empty value gives the default.
  void NonEmptyText(const char* key, const std::string& def) {
    EffectiveSetting s = Start(key);
    s.value = def;
    if (s.from_file && !online_.Get(key)->empty()) s.value = CutText(*online_.Get(key));
    out_.push_back(s);
  }

  // SignatureVersion: 4, or 2 for every other value.
  void SignatureVersion(const char* key) {
    EffectiveSetting s = Start(key);
    const long long version = s.from_file ? ReadInteger(CutText(*online_.Get(key))) : 2;
    s.value = version == 4 ? "4" : "2";
    if (version != 2 && version != 4) s.note = "not 2 or 4: 2 used";
    out_.push_back(s);
  }

  // RequestPause: negative values read as 0.
  void Pause(const char* key) {
    EffectiveSetting s = Start(key);
    long long pause = s.from_file ? ReadInteger(CutText(*online_.Get(key))) : 1000;
    if (pause < 0) {
      pause = 0;
      s.note = "negative: 0 used";
    }
    s.value = std::to_string(pause);
    out_.push_back(s);
  }

  // SyncCapacity: clamped into [100, 10000000].
  void Capacity(const char* key) {
    EffectiveSetting s = Start(key);
    long long capacity = s.from_file ? ReadInteger(CutText(*online_.Get(key))) : 100;
    if (capacity < 100) {
      capacity = 100;
      if (s.from_file) s.note = "below 100: 100 used";
    } else if (capacity > 10000000) {
      capacity = 10000000;
      s.note = "above 10000000: 10000000 used";
    }
    s.value = std::to_string(capacity);
    out_.push_back(s);
  }

  std::vector<EffectiveSetting> Take() { return std::move(out_); }

 private:
  EffectiveSetting Start(const char* key) const {
    EffectiveSetting s;
    s.key = key;
    s.from_file = online_.Get(key).has_value();
    return s;
  }

  const IniSection& online_;
  std::vector<EffectiveSetting> out_;
};

}  // namespace

std::vector<EffectiveSetting> ComputeEffectiveSettings(const IniSection& online) {
  Builder b(online);
  b.Credential("ACCOUNT");
  b.Credential("PASSWORD");
  b.Text("QuexBucket", "quexs3backup");
  b.Text("QuexDataBucket", "quexs3data");
  b.Integer("QuexS3BufferSize", 1048576);
  b.Flag("UseProxy");
  b.Text("ProxyServer", kBuiltinProxyServer);
  b.Text("ProxyUserName", "anonymous");
  b.Text("ProxyPassword", kBuiltinProxyPassword, /*secret=*/true);
  b.Flag("BandWidthLim");
  b.Integer("UploadWidth", 200);
  b.Integer("DownloadWidth", 200);
  b.NonEmptyText("S3Host", kBuiltinHost);
  b.Port("S3Port");
  b.Text("CACertFile", "");
  b.Pause("RequestPause");
  b.SignatureVersion("SignatureVersion");
  b.NonEmptyText("Region", "us-east-1");
  b.Flag("PathStyle");
  b.Capacity("SyncCapacity");
  return b.Take();
}

}  // namespace cli
