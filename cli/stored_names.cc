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

namespace {

bool Digits(const std::wstring& text, size_t at, size_t count) {
  for (size_t i = at; i < at + count; ++i) {
    if (i >= text.size() || text[i] < L'0' || text[i] > L'9') return false;
  }
  return true;
}

// "Tue, 27 Mar 2007 19:36:42 GMT" at `at`.
bool IsHttpDate(const std::wstring& t, size_t at) {
  return t.size() - at == 29 && t[at + 3] == L',' && t[at + 4] == L' ' && Digits(t, at + 5, 2) &&
         Digits(t, at + 12, 4) && Digits(t, at + 17, 2) && t[at + 19] == L':' &&
         Digits(t, at + 20, 2) && t[at + 22] == L':' && Digits(t, at + 23, 2) &&
         t.compare(at + 25, 4, L" GMT") == 0;
}

// "2008-09-20T06:33:34.000Z" at `at`.
bool IsTimeText(const std::wstring& t, size_t at) {
  return t.size() - at == 24 && Digits(t, at, 4) && t[at + 4] == L'-' && Digits(t, at + 5, 2) &&
         t[at + 7] == L'-' && Digits(t, at + 8, 2) && t[at + 10] == L'T' &&
         Digits(t, at + 11, 2) && Digits(t, at + 14, 2) && Digits(t, at + 17, 2) &&
         t[at + 19] == L'.' && Digits(t, at + 20, 3) && t[at + 23] == L'Z';
}

}  // namespace

std::wstring PathOfStoredName(const std::wstring& stored_name) {
  for (const size_t length : {size_t{29}, size_t{24}}) {
    if (stored_name.size() <= length + 1) continue;
    const size_t at = stored_name.size() - length;
    if (stored_name[at - 1] != L'_') continue;
    if (IsHttpDate(stored_name, at) || IsTimeText(stored_name, at)) {
      return stored_name.substr(0, at - 1);
    }
  }
  return stored_name;
}

bool IsStorablePath(const std::wstring& path, std::string* why) {
  if (path.empty() || path == L"\\") {
    *why = "PATH must name a file, such as /docs/a.txt";
    return false;
  }
  size_t begin = path.front() == L'\\' ? 1 : 0;
  while (true) {
    const size_t end = path.find(L'\\', begin);
    const std::wstring part = path.substr(begin, end == std::wstring::npos ? std::wstring::npos : end - begin);
    if (part.empty()) {
      *why = end == std::wstring::npos ? "PATH must name a file, not end with a separator"
                                       : "PATH has an empty part (two separators in a row)";
      return false;
    }
    if (part == L"." || part == L"..") {
      *why = "PATH has a '" + WideToUtf8(part) + "' part; give the path without it";
      return false;
    }
    if (end == std::wstring::npos) return true;
    begin = end + 1;
  }
}

std::string FormatUtc(int64_t unix_seconds, bool iso) {
  const std::time_t t = static_cast<std::time_t>(unix_seconds);
  std::tm parts{};
  gmtime_r(&t, &parts);
  char text[32];
  std::strftime(text, sizeof(text), iso ? "%Y-%m-%dT%H:%M:%SZ" : "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

}  // namespace cli
