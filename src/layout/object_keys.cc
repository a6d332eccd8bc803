#include "layout/object_keys.h"

#include <cstdio>

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

#if !defined(KELTOS3_SNAPSHOT_BUILD)
std::u16string StoredNameOf(const std::u16string& path,
                            const std::u16string& stamp) {
  return path + u"_" + stamp;
}
#endif
