#include "layout/object_keys.h"

#include <cstdio>
#include <string_view>

#include "common/wide_string.h"
#include "s3/request_kinds.h"

namespace {

constexpr char16_t kFilePrefix[] = u"$file$";
constexpr char16_t kDataPrefix[] = u"$data$";
constexpr char16_t kIndexSuffix[] = u"_Info";
#if !defined(KELTOS3_SNAPSHOT_BUILD)
constexpr size_t kIndexSuffixLength = 5;
#endif

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

#if !defined(KELTOS3_SNAPSHOT_BUILD)
std::u16string VersionedIndexKey(const std::u16string& index_key,
                                 const std::u16string& stamp) {
  const size_t keep = index_key.size() > kIndexSuffixLength
                          ? index_key.size() - kIndexSuffixLength
                          : 0;
  return index_key.substr(0, keep) + u"_" + stamp + kIndexSuffix;
}
#endif

std::u16string ChunkKeyOf(const std::u16string& file_key, int32_t number) {
  char digits[16];
  std::snprintf(digits, sizeof(digits), "_%05d", static_cast<int>(number));
  return ReplaceAll(file_key + BytesToU16(digits), kFilePrefix, kDataPrefix);
}

bool IsChunkKeyOf(const std::u16string& key, const std::u16string& file_key) {
  // The chunk key of number 0 without its digits, then five digits.
  std::u16string prefix = ChunkKeyOf(file_key, 0);
  prefix.resize(prefix.size() - 5);
  if (key.size() != prefix.size() + 5 || key.compare(0, prefix.size(), prefix) != 0) {
    return false;
  }
  for (size_t i = prefix.size(); i < key.size(); ++i) {
    if (key[i] < u'0' || key[i] > u'9') return false;
  }
  return true;
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

#if !defined(KELTOS3_SNAPSHOT_BUILD)
std::u16string StoredNameOf(const std::u16string& path,
                            const std::u16string& stamp) {
  return path + u"_" + stamp;
}
#endif
