#include "stored_names.h"

#include <cstdio>
#include <ctime>

#include "wide_text.h"

namespace cli {

std::wstring LibraryPath(const std::string& argument) {
  std::wstring path = Utf8ToWide(argument);
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  if (path.empty() || path.front() != L'\\') path.insert(path.begin(), L'\\');
  return path;
}

std::wstring StoredNameArgument(const std::string& argument) {
  std::wstring name = Utf8ToWide(argument);
  const std::wstring prefix = L"$file$";
  const std::wstring suffix = L"_Info";
  if (name.size() > prefix.size() + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
    name = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
  }
  std::string utf8 = WideToUtf8(name);
  return LibraryPath(utf8);
}

std::wstring StampAt(int64_t unix_seconds) {
  const std::time_t t = static_cast<std::time_t>(unix_seconds);
  std::tm parts{};
  gmtime_r(&t, &parts);
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char text[64];
  std::snprintf(text, sizeof(text), "%s, %02d %s %04d %02d:%02d:%02d GMT",
                kDays[parts.tm_wday % 7], parts.tm_mday, kMonths[parts.tm_mon % 12],
                parts.tm_year + 1900, parts.tm_hour, parts.tm_min, parts.tm_sec);
  return Utf8ToWide(text);
}

std::vector<std::wstring> SplitDirList(const wchar_t* text) {
  std::vector<std::wstring> entries;
  if (text == nullptr) return entries;
  std::wstring entry;
  for (const wchar_t* p = text; *p != L'\0'; ++p) {
    if (*p == L';') {
      entries.push_back(entry);
      entry.clear();
    } else {
      entry.push_back(*p);
    }
  }
  return entries;
}

std::wstring IndexEntryOf(const std::wstring& stored_name) {
  return L"$file$" + stored_name + L"_Info";
}

}  // namespace cli
