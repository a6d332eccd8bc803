// Profile reading on GetPrivateProfileStringW.  The file format is the
// platform's: the file is read in the ANSI code page unless it starts with a
// UTF-16 byte-order mark, and the platform trims, unquotes and compares names
// the way profile.h describes.  A relative INI path is taken from the
// current directory (the platform would look for it in the Windows
// directory).  Only a disk file is read: a path that names a pipe, a device
// ("CON" would wait for console input) or a stream gives the defaults.

#include "platform/win32_api.h"

#include <algorithm>
#include <set>
#include <vector>

#include "platform/file_win32.h"
#include "platform/profile.h"

namespace platform {
namespace {

// The first buffer for a value of any length, in characters; it doubles
// while a value fills it, so a long value costs a few reads of the file, not
// one per 512 characters.
constexpr DWORD kFirstReadSize = 512;
// A value is cut at this many characters (the platform reads no more).
constexpr DWORD kLargestReadSize = 1u << 30;

std::wstring FullPath(const std::u16string& ini_path) {
  const std::wstring path = ToWide(ini_path);
  const DWORD n = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (n == 0) return path;
  std::vector<wchar_t> full(n);
  const DWORD written = ::GetFullPathNameW(path.c_str(), n, full.data(), nullptr);
  if (written == 0 || written >= n) return path;
  return std::wstring(full.data(), written);
}

// Whether `path` names a disk file that may be read as settings.
bool IsReadableDiskFile(const std::wstring& path) {
  return OpenWin32File(FromWide(path), FileOpenMode::kExistingReadOnly) != nullptr;
}

// `def` as the platform gives it for a missing key: cut at a NUL, trailing
// blanks removed.
std::wstring TrimmedDefault(const std::u16string& def) {
  std::wstring text = ToWide(def);
  text.resize(std::min(text.size(), text.find(L'\0')));
  while (!text.empty() && text.back() == L' ') text.pop_back();
  return text;
}

// The value, or `def` (trailing blanks removed), of any length: read again
// with a larger buffer while the value fills the buffer.
std::u16string ReadWhole(const std::wstring& section, const std::wstring& key,
                         const std::wstring& def, const std::wstring& path) {
  DWORD size = kFirstReadSize;
  for (;;) {
    std::vector<wchar_t> buffer(size + 1);
    const DWORD n = ::GetPrivateProfileStringW(section.c_str(), key.c_str(),
                                               def.c_str(), buffer.data(), size,
                                               path.c_str());
    if (n + 1 < size || size >= kLargestReadSize) {
      return FromWide(std::wstring_view(buffer.data(), n));
    }
    size *= 2;
  }
}

char16_t FoldCase(char16_t c) {
  if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 0x20);
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 0x20);
  return c;
}

std::u16string_view TrimBlanks(std::u16string_view text) {
  const auto blank = [](char16_t c) { return c == u' ' || c == u'\t' || c == u'\r'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

bool ProfileNamesEqual(std::u16string_view a, std::u16string_view b) {
  a = TrimBlanks(a);
  b = TrimBlanks(b);
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

bool ReadProfileSection(const std::u16string& section, const std::u16string& ini_path,
                        std::vector<ProfileEntry>* entries) {
  entries->clear();
  const std::wstring path = FullPath(ini_path);
  if (!IsReadableDiskFile(path)) return false;
  const std::wstring s = ToWide(section);
  // A null key name lists the section's key names, each ended by a NUL.
  DWORD size = kFirstReadSize;
  std::vector<wchar_t> names;
  for (;;) {
    names.assign(size + 2, L'\0');
    const DWORD n = ::GetPrivateProfileStringW(s.c_str(), nullptr, L"", names.data(), size,
                                               path.c_str());
    if (n + 2 < size || size >= kLargestReadSize) {
      names.resize(n);
      break;
    }
    size *= 2;
  }
  std::set<std::u16string> seen;  // folded names
  for (size_t at = 0; at < names.size();) {
    const size_t end = std::find(names.begin() + static_cast<long>(at), names.end(), L'\0') -
                       names.begin();
    const std::wstring key(names.data() + at, end - at);
    at = end + 1;
    if (key.empty()) continue;
    std::u16string folded = FromWide(key);
    for (char16_t& c : folded) c = FoldCase(c);
    if (!seen.insert(std::move(folded)).second) continue;
    entries->push_back(ProfileEntry{FromWide(key), ReadWhole(s, key, L"", path)});
  }
  return true;
}

std::uint32_t GetPrivateProfileString(const std::u16string& section,
                                      const std::u16string& key,
                                      const std::u16string& def,
                                      char16_t* buffer, std::uint32_t size,
                                      const std::u16string& ini_path) {
  if (buffer == nullptr || size == 0) return 0;
  const std::wstring path = FullPath(ini_path);
  std::wstring text;
  if (IsReadableDiskFile(path)) {
    std::vector<wchar_t> read(size);
    const DWORD got = ::GetPrivateProfileStringW(
        ToWide(section).c_str(), ToWide(key).c_str(), ToWide(def).c_str(), read.data(),
        size, path.c_str());
    text.assign(read.data(), std::min<DWORD>(got, size));
  } else {
    text = TrimmedDefault(def);
  }
  const std::uint32_t n = static_cast<std::uint32_t>(text.size());
  const std::uint32_t copied = std::min<std::uint32_t>(n, size - 1);
  std::copy_n(text.data(), copied, buffer);
  buffer[copied] = u'\0';
  return copied;
}

bool ReadProfileValue(const std::u16string& section, const std::u16string& key,
                      const std::u16string& def, const std::u16string& ini_path,
                      std::u16string* value) {
  const std::wstring s = ToWide(section);
  const std::wstring k = ToWide(key);
  const std::wstring path = FullPath(ini_path);
  std::wstring fallback = ToWide(def);
  fallback.resize(std::min(fallback.size(), fallback.find(L'\0')));
  if (!IsReadableDiskFile(path)) {
    *value = FromWide(TrimmedDefault(def));
    return false;
  }
  *value = ReadWhole(s, k, fallback, path);
  // The platform does not say whether the key was there.  A value that is
  // not the default came from the file; one that is, did so only when a
  // different default gives it again.
  while (!fallback.empty() && fallback.back() == L' ') fallback.pop_back();
  if (*value != FromWide(fallback)) return true;
  return ReadWhole(s, k, fallback + L"x", path) == *value;
}

}  // namespace platform
