#include "sync/conflict_names.h"

#include <string>

std::u16string ConflictCopyName(
    const std::u16string& key, const std::u16string& time,
    const std::function<bool(const std::u16string&)>& taken) {
  const size_t slash = key.rfind(u'\\');
  const size_t leaf = slash == std::u16string::npos ? 0 : slash + 1;
  size_t dot = key.rfind(u'.');
  if (dot == std::u16string::npos || dot <= leaf) dot = key.size();
  const std::u16string stem = key.substr(0, dot);
  const std::u16string extension = key.substr(dot);

  std::u16string words = u" (conflict copy";
  if (time.size() == 24 && time[10] == u'T') {
    // "2010-06-01T12:00:00.000Z" -> "2010-06-01 12-00-00": no colons, which
    // Windows does not take in a name.
    std::u16string clock = time.substr(11, 8);
    for (char16_t& c : clock) {
      if (c == u':') c = u'-';
    }
    words += u" " + time.substr(0, 10) + u" " + clock;
  }
  std::u16string name = stem + words + u")" + extension;
  for (int n = 2; taken && taken(name); ++n) {
    std::u16string number;
    for (int v = n; v > 0; v /= 10) {
      number.insert(number.begin(), static_cast<char16_t>(u'0' + v % 10));
    }
    name = stem + words + u" " + number + u")" + extension;
  }
  return name;
}
