#include "layout/object_keys.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <string_view>

#include "common/wide_string.h"
#include "platform/file_time.h"
#include "s3/request_kinds.h"
#include "support/time_text.h"

namespace {

constexpr char16_t kDataPrefix[] = u"$data$";
constexpr char16_t kChunkPrefix[] = u"$chunk$";
// "_" and five digits after the chunk token or the path.
constexpr size_t kNumberLength = 6;

}  // namespace

std::u16string KeyFormOf(const std::u16string& path) {
  return ReplaceAll(path, u"\\", u"/");
}

std::u16string FolderMarkerKeyOf(const std::u16string& directory) {
  return FolderMarkerKey(directory);
}

std::u16string ParentDirectoryOf(const std::u16string& path) {
  const size_t last = path.rfind(u'\\');
  if (last == std::u16string::npos) return std::u16string();
  return path.substr(0, last);
}

std::u16string FileKeyOf(const std::u16string& path) {
  return kFilePrefix + KeyFormOf(path);
}

std::u16string IndexKeyOf(const std::u16string& file_key) {
  return file_key + kIndexSuffix;
}

std::u16string VersionedIndexKey(const std::u16string& index_key,
                                 const std::u16string& stamp) {
  const size_t keep = index_key.size() > kIndexSuffixLength
                          ? index_key.size() - kIndexSuffixLength
                          : 0;
  return index_key.substr(0, keep) + u"_" + stamp + kIndexSuffix;
}

namespace {

// The file key without its leading "$file$".
std::u16string_view PathPartOf(const std::u16string& file_key) {
  std::u16string_view rest(file_key);
  if (rest.substr(0, kFilePrefixLength) == kFilePrefix) rest.remove_prefix(kFilePrefixLength);
  return rest;
}

std::u16string NumberText(int32_t number) {
  char digits[16];
  std::snprintf(digits, sizeof(digits), "_%05d", static_cast<int>(number));
  return BytesToU16(digits);
}

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

bool IsLowerHex(char16_t c) { return IsDigit(c) || (c >= u'a' && c <= u'f'); }

// True when `key` ends with "_" and five digits.
bool EndsWithNumber(std::u16string_view key) {
  if (key.size() < kNumberLength || key[key.size() - kNumberLength] != u'_') return false;
  for (size_t i = key.size() - kNumberLength + 1; i < key.size(); ++i) {
    if (!IsDigit(key[i])) return false;
  }
  return true;
}

// 64 bits that differ from one call to the next: the system's random
// source where it works, mixed with a counter and the clock of this process.
uint64_t RandomBits() {
  static std::atomic<uint64_t> counter{0};
  uint64_t bits = static_cast<uint64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  bits ^= (counter.fetch_add(1) + 1) * 0x9E3779B97F4A7C15ull;
  try {
    std::random_device device;
    bits ^= (static_cast<uint64_t>(device()) << 32) ^ device();
  } catch (...) {
    // The counter and the clock alone still never repeat in this process.
  }
  // splitmix64's finaliser spreads every input bit over the result.
  bits ^= bits >> 30;
  bits *= 0xBF58476D1CE4E5B9ull;
  bits ^= bits >> 27;
  bits *= 0x94D049BB133111EBull;
  bits ^= bits >> 31;
  return bits;
}

}  // namespace

std::u16string NewChunkToken(int64_t unix_seconds) {
  // "2026-12-08T01:15:23.000Z" without its separators and milliseconds.
  const std::u16string time =
      FormatTimeText(platform::FileTimeFromUnixSeconds(unix_seconds));
  std::u16string token;
  for (size_t i = 0; i < time.size() && i < 19; ++i) {
    if (time[i] != u'-' && time[i] != u':') token.push_back(time[i]);
  }
  if (token.size() != 15) token = u"00000000T000000";
  char hex[24];
  std::snprintf(hex, sizeof(hex), "Z-%016llx",
                static_cast<unsigned long long>(RandomBits()));
  return token + BytesToU16(hex);
}

bool IsChunkToken(const std::u16string& text) {
  static constexpr std::u16string_view kShape = u"00000000T000000Z-";
  if (text.size() != kChunkTokenLength) return false;
  for (size_t i = 0; i < kShape.size(); ++i) {
    if (kShape[i] == u'0' ? !IsDigit(text[i]) : text[i] != kShape[i]) return false;
  }
  for (size_t i = kShape.size(); i < text.size(); ++i) {
    if (!IsLowerHex(text[i])) return false;
  }
  return true;
}

std::u16string ChunkKeyOf(const std::u16string& file_key,
                          const std::u16string& token, int32_t number) {
  std::u16string key = kChunkPrefix;
  key += PathPartOf(file_key);
  key += u'_';
  key += token;
  return key + NumberText(number);
}

std::u16string EarlierChunkKeyOf(const std::u16string& file_key, int32_t number) {
  std::u16string key = kDataPrefix;
  key += PathPartOf(file_key);
  return key + NumberText(number);
}

bool IsChunkKeyOf(const std::u16string& key, const std::u16string& file_key) {
  if (!EndsWithNumber(key)) return false;
  const std::u16string_view path = PathPartOf(file_key);
  std::u16string_view head(key);
  head.remove_suffix(kNumberLength);
  // The earlier form: "$data$" + path.
  const std::u16string_view data(kDataPrefix);
  if (head.size() == data.size() + path.size() && head.substr(0, data.size()) == data &&
      head.substr(data.size()) == path) {
    return true;
  }
  // This form: "$chunk$" + path + "_" + token.
  const std::u16string_view chunk(kChunkPrefix);
  if (head.size() != chunk.size() + path.size() + 1 + kChunkTokenLength ||
      head.substr(0, chunk.size()) != chunk ||
      head.substr(chunk.size(), path.size()) != path ||
      head[chunk.size() + path.size()] != u'_') {
    return false;
  }
  return IsChunkToken(std::u16string(head.substr(head.size() - kChunkTokenLength)));
}

bool HasChunkToken(const std::u16string& key) {
  return IsChunkKey(key) && std::u16string_view(key).substr(0, 7) == kChunkPrefix;
}

bool IsChunkKey(const std::u16string& key, std::u16string* group) {
  if (!EndsWithNumber(key)) return false;
  const std::u16string_view head =
      std::u16string_view(key).substr(0, key.size() - kNumberLength);
  const std::u16string_view data(kDataPrefix);
  const std::u16string_view chunk(kChunkPrefix);
  bool shaped = false;
  if (head.substr(0, chunk.size()) == chunk) {
    // At least a one-character path, "_" and the token.
    shaped = head.size() >= chunk.size() + 1 + kChunkTokenLength &&
             head[head.size() - kChunkTokenLength - 1] == u'_' &&
             IsChunkToken(std::u16string(head.substr(head.size() - kChunkTokenLength)));
  } else if (head.substr(0, data.size()) == data) {
    shaped = head.size() > data.size();
  }
  if (shaped && group != nullptr) *group = std::u16string(head);
  return shaped;
}

namespace {

// True when `text` ends with "_" and a text of the shape `shape`, where
// '0' stands for a digit, 'A' for an ASCII letter and any other character
// for itself.
bool EndsWithStamp(const std::u16string& text, std::u16string_view shape) {
  if (text.size() <= shape.size()) return false;
  const size_t begin = text.size() - shape.size();
  if (text[begin - 1] != u'_') return false;
  for (size_t i = 0; i < shape.size(); ++i) {
    const char16_t c = text[begin + i];
    const bool letter = (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
    const bool fits = shape[i] == u'0'   ? (c >= u'0' && c <= u'9')
                      : shape[i] == u'A' ? letter
                                         : c == shape[i];
    if (!fits) return false;
  }
  return true;
}

}  // namespace

std::u16string PathOfStoredName(const std::u16string& name) {
  for (const std::u16string_view shape :
       {std::u16string_view(u"0000-00-00T00:00:00.000Z"),
        std::u16string_view(u"AAA, 00 AAA 0000 00:00:00 GMT")}) {
    if (EndsWithStamp(name, shape)) return name.substr(0, name.size() - shape.size() - 1);
  }
  return name;
}

std::u16string StoredNameOf(const std::u16string& path,
                            const std::u16string& stamp) {
  return path + u"_" + stamp;
}
