#include "effective_settings.h"

#include <climits>
#include <optional>

#include <cstdlib>

#include "common/wide_string.h"
#include "credentials.h"
#include "settings/settings_table.h"

namespace cli {
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

  // S3Port: a number 1..65535, else the default.
  void Port(const char* key, const std::string& def) {
    EffectiveSetting s = Start(key);
    s.value = def;
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
  void Pause(const char* key, long long def) {
    EffectiveSetting s = Start(key);
    long long pause = s.from_file ? ReadInteger(CutText(*online_.Get(key))) : def;
    if (pause < 0) {
      pause = 0;
      s.note = "negative: 0 used";
    }
    s.value = std::to_string(pause);
    out_.push_back(s);
  }

  // SyncCapacity: clamped into [kMinSyncCapacity, kMaxSyncCapacity].
  void Capacity(const char* key, long long def) {
    EffectiveSetting s = Start(key);
    s.value = std::to_string(Clamped(&s, s.from_file ? ReadInteger(CutText(*online_.Get(key))) : def,
                                     kMinSyncCapacity, kMaxSyncCapacity));
    out_.push_back(s);
  }

  // Transfers: clamped into [1, kMaxTransfers]; KELTOS3_TRANSFERS (what
  // --transfers sets), when not empty, takes the file's place.
  void Transfers(const char* key, long long def) {
    EffectiveSetting s = Start(key);
    long long transfers = s.from_file ? ReadInteger(CutText(*online_.Get(key))) : def;
    const char* named = std::getenv("KELTOS3_TRANSFERS");
    if (named != nullptr && named[0] != '\0') {
      transfers = ReadInteger(named);
      s.from_file = false;
      s.note = "from KELTOS3_TRANSFERS (--transfers)";
    }
    s.value = std::to_string(Clamped(&s, transfers, 1, kMaxTransfers));
    out_.push_back(s);
  }

  // SyncMaxDelete: percent in [0, 100]; an empty value gives the default.
  void Share(const char* key, long long def) {
    EffectiveSetting s = Start(key);
    long long share = def;
    if (s.from_file && !CutText(*online_.Get(key)).empty()) {
      share = ReadInteger(CutText(*online_.Get(key)));
    }
    s.value = std::to_string(Clamped(&s, share, 0, 100));
    out_.push_back(s);
  }

  // SyncConflicts: "keep" in any case keeps both contents; anything else
  // means the fixed rules.
  void Conflicts(const char* key) {
    EffectiveSetting s = Start(key);
    std::string text = s.from_file ? CutText(*online_.Get(key)) : "";
    for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    s.value = text == "keep" ? "keep" : "rules";
    out_.push_back(s);
  }

  std::vector<EffectiveSetting> Take() { return std::move(out_); }

 private:
  // `value` within [low, high], with a note on a value of the file moved
  // there.
  static long long Clamped(EffectiveSetting* s, long long value, long long low, long long high) {
    if (value < low) {
      if (s->from_file || !s->note.empty()) {
        s->note += (s->note.empty() ? "" : "; ") + ("below " + std::to_string(low) + ": " +
                                                    std::to_string(low) + " used");
      }
      return low;
    }
    if (value > high) {
      s->note += (s->note.empty() ? "" : "; ") +
                 ("above " + std::to_string(high) + ": " + std::to_string(high) + " used");
      return high;
    }
    return value;
  }

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
  for (const SettingDefinition& setting : kSettingsTable) {
    const std::string key = U16ToUtf8(setting.key);
    const std::string def = U16ToUtf8(setting.def);
    switch (setting.kind) {
      case SettingKind::kCredential:
        b.Credential(key.c_str());
        break;
      case SettingKind::kText:
        b.Text(key.c_str(), def, /*secret=*/key == "ProxyPassword");
        break;
      case SettingKind::kNonEmptyText:
        b.NonEmptyText(key.c_str(), def);
        break;
      case SettingKind::kInteger:
        b.Integer(key.c_str(), ReadInteger(def));
        break;
      case SettingKind::kFlag:
        b.Flag(key.c_str());
        break;
      case SettingKind::kPort:
        b.Port(key.c_str(), def);
        break;
      case SettingKind::kSignatureVersion:
        b.SignatureVersion(key.c_str());
        break;
      case SettingKind::kPause:
        b.Pause(key.c_str(), ReadInteger(def));
        break;
      case SettingKind::kCapacity:
        b.Capacity(key.c_str(), ReadInteger(def));
        break;
      case SettingKind::kShare:
        b.Share(key.c_str(), ReadInteger(def));
        break;
      case SettingKind::kConflicts:
        b.Conflicts(key.c_str());
        break;
      case SettingKind::kTransfers:
        b.Transfers(key.c_str(), ReadInteger(def));
        break;
    }
  }
  return b.Take();
}

}  // namespace cli
