#include "fs/name_rules.h"

#include <algorithm>
#include <memory>
#include <random>

#include "fs/quexfs_manager.h"
#include "platform/env.h"
#include "platform/file.h"
#include "platform/local_names.h"

namespace {

// Trees a key is held by.
constexpr int kInCatalog = 1;
constexpr int kInLocal = 2;
constexpr int kInRemote = 4;

std::u16string ParentOf(const std::u16string& key) {
  const size_t slash = key.rfind(u'\\');
  return slash == std::u16string::npos ? std::u16string() : key.substr(0, slash);
}

std::u16string NameOf(const std::u16string& key) {
  return key.substr(key.rfind(u'\\') + 1);
}

size_t DepthOf(const std::u16string& key) {
  size_t depth = 0;
  for (const char16_t c : key) depth += c == u'\\';
  return depth;
}

char16_t AsciiUpper(char16_t c) {
  return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

// The device names Windows reserves, compared with the part of a name
// before its first dot, trailing spaces dropped, in any case.
bool IsReservedDeviceName(const std::u16string& name) {
  std::u16string base = name.substr(0, name.find(u'.'));
  while (!base.empty() && base.back() == u' ') base.pop_back();
  for (char16_t& c : base) c = AsciiUpper(c);
  if (base == u"CON" || base == u"PRN" || base == u"AUX" || base == u"NUL" ||
      base == u"CONIN$" || base == u"CONOUT$") {
    return true;
  }
  if (base.size() != 4 || (base.compare(0, 3, u"COM") != 0 && base.compare(0, 3, u"LPT") != 0)) {
    return false;
  }
  const char16_t digit = base[3];
  // COM0 and LPT0 are ordinary names; the superscript digits are devices.
  return (digit >= u'1' && digit <= u'9') || digit == u'\u00B9' || digit == u'\u00B2' ||
         digit == u'\u00B3';
}

}  // namespace

std::u16string NameRuleText(NameRule rule, const std::u16string& held) {
  switch (rule) {
    case NameRule::kCaseTwin:
      return u"differs only in case from " + held +
             u", which this machine holds (one file here)";
    case NameRule::kReservedName:
      return u"a device name that Windows reserves";
    case NameRule::kForbiddenCharacter:
      return u"holds a character that Windows does not allow in names";
    case NameRule::kTrailingDotOrSpace:
      return u"ends with a dot or a space, which Windows drops";
  }
  return u"";
}

bool BreaksWin32NameRules(const std::u16string& name, NameRule* rule) {
  if (name.empty()) return false;
  for (const char16_t c : name) {
    if (c < 0x20 || c == u'<' || c == u'>' || c == u':' || c == u'"' || c == u'|' ||
        c == u'?' || c == u'*' || c == u'/' || c == u'\\') {
      *rule = NameRule::kForbiddenCharacter;
      return true;
    }
  }
  if (name.back() == u'.' || name.back() == u' ') {
    *rule = NameRule::kTrailingDotOrSpace;
    return true;
  }
  if (IsReservedDeviceName(name)) {
    *rule = NameRule::kReservedName;
    return true;
  }
  return false;
}

bool IsExcludedKey(const std::set<std::u16string>& excluded, const std::u16string& key) {
  if (excluded.empty()) return false;
  for (std::u16string k = key; !k.empty(); k = ParentOf(k)) {
    if (excluded.count(k) > 0) return true;
  }
  return false;
}

NameRulesOutcome ApplyNameRules(
    const LocalNameRules& rules, const CQUEXFSManager& local,
    const CQUEXFSManager& catalog, const CQUEXFSManager& remote,
    const std::function<std::u16string(const std::u16string&)>& fold) {
  NameRulesOutcome out;
  if (!rules.fold_case && !rules.win32_names) return out;
  const std::function<std::u16string(const std::u16string&)> folded =
      fold ? fold : platform::FoldNameCase;

  std::map<std::u16string, int> where;
  for (const auto& [fs, bit] : {std::pair{&catalog, kInCatalog}, std::pair{&local, kInLocal},
                                std::pair{&remote, kInRemote}}) {
    for (const CSortedMap<std::u16string>* map : {&fs->dirMap, &fs->fileMap}) {
      for (int i = 0; i < map->Count(); ++i) where[map->KeyAt(i)] |= bit;
    }
  }
  std::map<size_t, std::vector<std::u16string>> by_depth;
  for (const auto& [key, bits] : where) by_depth[DepthOf(key)].push_back(key);

  // Left out: refused names in every tree, case twins in the catalog and
  // the remote tree (a local entry is never left out as a twin: it stands
  // for the key held).
  std::set<std::u16string> refused;
  std::set<std::u16string> twins;
  std::map<std::u16string, std::u16string> held;  // folded key -> key held
  std::set<std::u16string> as_is;                 // folded keys taken as they are

  for (const auto& [depth, keys] : by_depth) {
    // Keys of this level by folded form, each with the trees it counts in.
    std::map<std::u16string, std::vector<std::pair<std::u16string, int>>> groups;
    for (const std::u16string& key : keys) {
      const std::u16string parent = ParentOf(key);
      if (IsExcludedKey(refused, parent)) continue;
      int bits = where[key];
      if (IsExcludedKey(twins, parent)) bits &= kInLocal;
      if (bits == 0) continue;
      NameRule rule;
      if (rules.win32_names && BreaksWin32NameRules(NameOf(key), &rule)) {
        refused.insert(key);
        out.left_out.push_back(LeftOutKey{key, rule, std::u16string()});
        continue;
      }
      if (rules.fold_case) groups[folded(key)].emplace_back(key, bits);
    }

    for (const auto& entry : groups) {
      // Named references, not a structured binding: the lambdas below
      // capture them, which clang before 16 refuses for bindings.
      const std::u16string& group = entry.first;
      const auto& members = entry.second;
      const std::u16string folded_parent = ParentOf(group);
      std::vector<std::u16string> local_keys;
      for (const auto& [key, bits] : members) {
        if (bits & kInLocal) local_keys.push_back(key);
      }
      if (as_is.count(folded_parent) > 0 || local_keys.size() > 1) {
        as_is.insert(group);
        continue;
      }
      // Keys are held below the folder held for their parent only.
      const auto parent_held = held.find(folded_parent);
      const bool parent_known = folded_parent.empty() || parent_held != held.end();
      const std::u16string held_parent =
          parent_held != held.end() ? parent_held->second : std::u16string();
      auto below_held = [&](const std::u16string& key) {
        return !parent_known || ParentOf(key) == held_parent;
      };
      std::u16string local_as;
      if (!local_keys.empty()) {
        local_as = parent_known ? held_parent + u"\\" + NameOf(local_keys[0]) : local_keys[0];
      }
      auto held_by = [&](int bit, const std::u16string& only) {
        for (const auto& [key, bits] : members) {  // in ascending key order
          if ((bits & bit) && below_held(key) && (only.empty() || key == only)) return key;
        }
        return std::u16string();
      };
      std::u16string keep = held_by(kInCatalog, u"");
      if (keep.empty() && !local_as.empty()) keep = held_by(kInRemote, local_as);
      if (keep.empty()) keep = held_by(kInRemote, u"");
      if (keep.empty()) keep = local_as;
      if (!keep.empty()) held[group] = keep;

      for (const auto& [key, bits] : members) {
        if (key == keep) continue;
        if ((bits & kInLocal) && !keep.empty()) out.local_renames[key] = keep;
        if (bits & (kInCatalog | kInRemote)) {
          twins.insert(key);
          out.left_out.push_back(LeftOutKey{
              key, NameRule::kCaseTwin, keep.empty() ? held_parent : keep});
        }
      }
    }
  }
  out.excluded = refused;
  out.excluded.insert(twins.begin(), twins.end());
  std::sort(out.left_out.begin(), out.left_out.end(),
            [](const LeftOutKey& a, const LeftOutKey& b) { return a.key < b.key; });
  return out;
}

bool DetectCaseFolding(const CQUEXFSManager& local, bool may_write) {
  platform::Env* const env = platform::CurrentEnv();
  const std::u16string root = local.GetRoot();
  platform::FileAttributes attributes;
  // A name of the first level in upper case (or, when it is all upper
  // case, in lower case): found, the tree folds case.
  for (const CSortedMap<std::u16string>* map : {&local.dirMap, &local.fileMap}) {
    for (int i = 0; i < map->Count(); ++i) {
      const std::u16string key = map->KeyAt(i);
      if (DepthOf(key) != 1) continue;
      std::u16string other = platform::FoldNameCase(key);
      if (other == key) {
        for (char16_t& c : other) {
          if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
        }
      }
      if (other == key) continue;
      // Both listed: this tree tells names apart by case.
      if (local.dirMap.Find(other) >= 0 || local.fileMap.Find(other) >= 0) return false;
      return env->GetEntryAttributes(root + other, &attributes);
    }
  }
  if (may_write) {
    // A work file's name (the scans never list one), in lower case.
    std::random_device device;
    std::u16string name = u"\\.keltos3-";
    for (int i = 0; i < 2; ++i) {
      const unsigned value = device();
      for (int shift = 28; shift >= 0; shift -= 4) {
        name.push_back(u"0123456789abcdef"[(value >> shift) & 0xF]);
      }
    }
    name += u".keltos3-tmp";
    if (env->OpenFile(root + name, platform::FileOpenMode::kCreateAlways) != nullptr) {
      const bool folds = env->GetEntryAttributes(root + platform::FoldNameCase(name), &attributes);
      env->DeleteFile(root + name);
      return folds;
    }
  }
  return platform::LocalNamesFoldCaseByDefault();
}
