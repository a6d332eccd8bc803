// CSnapKeeper: the call contract, the private directory of copies and the
// test hooks.  What differs between platforms (directories, copying, the
// environment) is in snap_keeper_os.h.

#include "SnapKeeper.h"

#include <cstdint>
#include <string>
#include <vector>

#include "snap_keeper_os.h"

namespace {

// Source paths longer than this many characters are refused.
constexpr size_t kMaxSourceLength = 4096;

// The code point at text[*i] (UTF-16 where wchar_t has 16 bits, UTF-32
// where it has 32), advancing *i past it.  False for a lone surrogate or a
// value beyond U+10FFFF (*i still advances).
bool NextCodePoint(const wchar_t* text, size_t* i, char32_t* cp) {
  const auto unit = [text](size_t k) {
    return static_cast<char32_t>(static_cast<std::uint32_t>(text[k]) &
                                 (sizeof(wchar_t) == 2 ? 0xFFFFu : 0xFFFFFFFFu));
  };
  const char32_t c = unit(*i);
  ++*i;
  if (sizeof(wchar_t) == 2 && c >= 0xD800 && c <= 0xDBFF) {
    const char32_t low = unit(*i);
    if (low < 0xDC00 || low > 0xDFFF) return false;
    ++*i;
    *cp = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
    return true;
  }
  *cp = c;
  return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

// A source path the agent takes: not empty, terminated within the length
// limit, and made of Unicode scalar values only.
bool IsUsableSource(const wchar_t* wide) {
  if (wide == nullptr || wide[0] == L'\0') return false;
  size_t i = 0;
  while (i <= kMaxSourceLength && wide[i] != L'\0') {
    char32_t cp;
    if (!NextCodePoint(wide, &i, &cp)) return false;
  }
  return i <= kMaxSourceLength;
}

// ---- Test hooks --------------------------------------------------------------

bool FailRequested() {
  std::string value;
  return snapkeeper::GetEnv("KELTOS3_SNAPKEEPER_FAIL", &value) && value == "1";
}

void Log(const std::string& line) {
  std::string path;
  if (!snapkeeper::GetEnv("KELTOS3_SNAPKEEPER_LOG", &path) || path.empty()) return;
  snapkeeper::AppendToFile(path, line + "\n");
}

std::string LogPath(const wchar_t* wide) {
  std::string out;
  if (wide == nullptr) return out;
  size_t i = 0;
  while (i <= kMaxSourceLength && wide[i] != L'\0') {
    char32_t cp;
    snapkeeper::AppendUtf8(&out, NextCodePoint(wide, &i, &cp) ? cp : U'?');
  }
  return out;
}

}  // namespace

void snapkeeper::AppendUtf8(std::string* out, char32_t cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// ---- CSnapKeeper -----------------------------------------------------------------

struct CSnapKeeper::State {
  std::wstring dir;                  // private directory; empty when none
  std::vector<std::wstring> copies;  // copies made in it

  // Removes the copies and the private directory.  False when something
  // stayed behind.
  bool Remove() {
    bool ok = true;
    for (const std::wstring& copy : copies) {
      if (!snapkeeper::RemoveCopy(copy)) ok = false;
    }
    copies.clear();
    if (!dir.empty()) {
      if (!snapkeeper::RemovePrivateDirectory(dir)) ok = false;
      dir.clear();
    }
    return ok;
  }
};

CSnapKeeper::CSnapKeeper() : m_pState(new State) { Log("construct"); }

CSnapKeeper::~CSnapKeeper() {
  m_pState->Remove();
  delete m_pState;
  Log("destroy");
}

int CSnapKeeper::VssStartBackup2(wchar_t** sources, wchar_t** outputs, int n) {
  Log("start " + std::to_string(n));
  auto finish = [](int result) {
    Log("result " + std::to_string(result));
    return result;
  };
  if (n < 0 || (n > 0 && (sources == nullptr || outputs == nullptr))) return finish(1);
  for (int i = 0; i < n; ++i) {
    Log("source " + std::to_string(i) + " " + LogPath(sources[i]));
  }
  if (FailRequested()) return finish(1);
  if (!m_pState->dir.empty()) return finish(1);  // the last one is not complete
  if (n == 0) return finish(0);
  for (int i = 0; i < n; ++i) {
    if (outputs[i] == nullptr) return finish(1);
  }

  std::wstring dir;
  if (!snapkeeper::MakePrivateDirectory(&dir)) return finish(1);
  m_pState->dir = dir;

  for (int i = 0; i < n; ++i) {
    const std::wstring to = dir + L"\\" + std::to_wstring(i);
    if (!IsUsableSource(sources[i]) ||
        to.size() >= static_cast<size_t>(kSnapKeeperPathMax) ||
        !snapkeeper::CopyToNewFile(sources[i], to)) {
      m_pState->Remove();
      return finish(1);
    }
    m_pState->copies.push_back(to);
  }
  for (int i = 0; i < n; ++i) {
    const std::wstring& p = m_pState->copies[static_cast<size_t>(i)];
    p.copy(outputs[i], p.size());
    outputs[i][p.size()] = L'\0';
    Log("output " + std::to_string(i) + " " + LogPath(outputs[i]));
  }
  return finish(0);
}

int CSnapKeeper::VssBackupComplete() {
  Log("complete");
  return m_pState->Remove() ? 0 : 1;
}
