#include "fs/tree_names.h"

#include <cstdint>
#include <random>
#include <string_view>

namespace {

constexpr std::u16string_view kCopyFilePrefix = u".keltos3-";
constexpr std::u16string_view kCopyFileSuffix = u".keltos3-tmp";

bool IsSafeComponent(std::u16string_view component) {
  if (component.empty() || component == u"." || component == u"..") {
    return false;
  }
  for (const char16_t c : component) {
    if (c == u'/' || c == u'\0') return false;
  }
  return true;
}

}  // namespace

bool IsSafeTreeName(const std::u16string& name) {
  if (name.empty()) return false;
  const std::u16string_view text(name);
  size_t begin = 0;
  if (text[0] == u'\\') begin = 1;  // the key's leading backslash
  for (;;) {
    const size_t end = text.find(u'\\', begin);
    const std::u16string_view component =
        text.substr(begin, end == std::u16string_view::npos ? text.npos
                                                             : end - begin);
    if (!IsSafeComponent(component)) return false;
    if (end == std::u16string_view::npos) return true;
    begin = end + 1;
  }
}

bool IsBelowDotDirectory(const std::u16string& key, bool directory) {
  // The components that name directories: all of a directory key's, all
  // but the last of a file key's.
  const size_t end = directory ? key.size() : key.rfind(u'\\');
  if (end == std::u16string::npos) return false;
  for (size_t at = key.find(u'\\'); at != std::u16string::npos && at < end;
       at = key.find(u'\\', at + 1)) {
    if (at + 1 < key.size() && key[at + 1] == u'.') return true;
  }
  return false;
}

std::u16string NewCopyFileName() {
  // Seeded once per thread from the system's random source; the names only
  // need to be unpredictable and not to repeat.
  thread_local std::mt19937_64 generator([] {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
  }());
  const std::uint64_t value = generator();
  std::u16string name(kCopyFilePrefix);
  static constexpr char16_t kHex[] = u"0123456789abcdef";
  for (int shift = 60; shift >= 0; shift -= 4) {
    name.push_back(kHex[(value >> shift) & 0xF]);
  }
  name.append(kCopyFileSuffix);
  return name;
}

bool IsCopyFileName(const std::u16string& name) {
  const std::u16string_view text(name);
  return text.size() >= kCopyFilePrefix.size() + kCopyFileSuffix.size() &&
         text.substr(0, kCopyFilePrefix.size()) == kCopyFilePrefix &&
         text.substr(text.size() - kCopyFileSuffix.size()) == kCopyFileSuffix;
}

std::u16string NewCopyFilePathFor(const std::u16string& path) {
  const size_t slash = path.rfind(u'\\');
  if (slash == std::u16string::npos) return NewCopyFileName();
  return path.substr(0, slash + 1) + NewCopyFileName();
}
