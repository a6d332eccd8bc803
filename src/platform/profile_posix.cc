#include "platform/profile.h"

#include <algorithm>
#include <memory>
#include <set>
#include <string_view>

#include "common/wide_string.h"
#include "platform/env.h"
#include "platform/file.h"

namespace platform {
namespace {

constexpr std::uint32_t kChunkBytes = 16 * 1024;

bool IsBlank(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\r' || c == u'\v' || c == u'\f';
}

std::string_view TrimBytes(std::string_view text) {
  while (!text.empty() && IsBlank(static_cast<unsigned char>(text.front()))) {
    text.remove_prefix(1);
  }
  while (!text.empty() && IsBlank(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  return text;
}

std::u16string_view TrimText(std::u16string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

char16_t FoldCase(char16_t c) {
  if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 0x20);
  // Latin-1 capitals, except the multiplication sign.
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 0x20);
  return c;
}

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

// A name read from the file matches `wanted` (already trimmed).  The length
// test first keeps long garbage names from being decoded at all: a UTF-8
// name holds at least as many bytes as UTF-16 code units.
bool NameMatches(std::string_view name_bytes, std::u16string_view wanted) {
  if (name_bytes.size() < wanted.size() ||
      name_bytes.size() > wanted.size() * 3) {
    return false;
  }
  return EqualsIgnoringCase(Utf8ToU16(name_bytes), wanted);
}

std::u16string CutAtNul(std::u16string text) {
  const size_t nul = text.find(u'\0');
  if (nul != std::u16string::npos) text.resize(nul);
  return text;
}

// Hands out the lines of a file, reading it in chunks and never more than
// kMaxProfileBytes of it.  A last line that the bound (or a read error)
// cuts is dropped rather than handed out incomplete.
class BoundedLineReader {
 public:
  explicit BoundedLineReader(File* file) : file_(file) {}

  // Stores the next line, without its "\n", in *line.  Returns false when
  // there is none.  *line stays valid until the next call.
  bool Next(std::string_view* line) {
    for (;;) {
      const size_t newline = buffer_.find('\n', pos_);
      if (newline != std::string::npos) {
        *line = std::string_view(buffer_).substr(pos_, newline - pos_);
        pos_ = newline + 1;
        return true;
      }
      if (at_end_) {
        if (complete_ && pos_ < buffer_.size()) {
          *line = std::string_view(buffer_).substr(pos_);
          pos_ = buffer_.size();
          return true;
        }
        return false;
      }
      buffer_.erase(0, pos_);
      pos_ = 0;
      Fill();
    }
  }

 private:
  void Fill() {
    if (total_ >= kMaxProfileBytes) {
      // Probe one byte to tell a file of exactly the bound from a longer one.
      char probe;
      complete_ = file_->Read(&probe, 1) == 0;
      at_end_ = true;
      return;
    }
    const std::uint32_t want =
        std::min<std::uint32_t>(kChunkBytes, kMaxProfileBytes - total_);
    const size_t old_size = buffer_.size();
    buffer_.resize(old_size + want);
    const std::int64_t got = file_->Read(buffer_.data() + old_size, want);
    if (got <= 0 || got > want) {
      buffer_.resize(old_size);
      complete_ = got == 0;
      at_end_ = true;
      return;
    }
    buffer_.resize(old_size + static_cast<size_t>(got));
    total_ += static_cast<std::uint32_t>(got);
  }

  File* const file_;
  std::string buffer_;
  size_t pos_ = 0;
  std::uint32_t total_ = 0;
  bool at_end_ = false;
  bool complete_ = false;
};

// Calls visit(key bytes, value) for every key line of the first section
// named `section`, in file order, until visit returns false.  Returns false
// when the file cannot be opened.
template <typename Visit>
bool WalkSection(std::u16string_view section, const std::u16string& ini_path, Visit visit) {
  std::unique_ptr<File> file =
      CurrentEnv()->OpenFile(ini_path, FileOpenMode::kExistingReadOnly);
  if (file == nullptr) return false;

  BoundedLineReader reader(file.get());
  bool first_line = true;
  bool in_section = false;
  std::string_view line;
  while (reader.Next(&line)) {
    if (first_line) {
      first_line = false;
      if (line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
    }
    line = TrimBytes(line);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      const size_t close = line.rfind(']');
      if (close != std::string_view::npos) {
        // Only the first section of the name counts.
        if (in_section) return true;
        in_section = NameMatches(TrimBytes(line.substr(1, close - 1)), section);
        continue;
      }
      // Without a "]" the line is an ordinary key line.
    }
    if (!in_section) continue;
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    std::string_view text = TrimBytes(line.substr(equals + 1));
    if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
        text.back() == text.front()) {
      text = text.substr(1, text.size() - 2);
    }
    if (!visit(TrimBytes(line.substr(0, equals)), text)) return true;
  }
  return true;
}

// Finds the value; false when the file, the section or the key is missing.
bool FindValue(std::u16string_view section, std::u16string_view key,
               const std::u16string& ini_path, std::u16string* value) {
  bool found = false;
  WalkSection(section, ini_path, [&](std::string_view name, std::string_view text) {
    if (!NameMatches(name, key)) return true;
    *value = CutAtNul(Utf8ToU16(text));
    found = true;
    return false;
  });
  return found;
}

}  // namespace

bool ReadProfileValue(const std::u16string& section, const std::u16string& key,
                      const std::u16string& def, const std::u16string& ini_path,
                      std::u16string* value) {
  if (FindValue(TrimText(section), TrimText(key), ini_path, value)) return true;
  std::u16string fallback = CutAtNul(def);
  while (!fallback.empty() && fallback.back() == u' ') fallback.pop_back();
  *value = std::move(fallback);
  return false;
}

bool ReadProfileSection(const std::u16string& section, const std::u16string& ini_path,
                        std::vector<ProfileEntry>* entries) {
  entries->clear();
  std::set<std::u16string> seen;  // folded names
  return WalkSection(TrimText(section), ini_path, [&](std::string_view name, std::string_view text) {
    std::u16string key = Utf8ToU16(name);
    std::u16string folded = key;
    for (char16_t& c : folded) c = FoldCase(c);
    // The first line of a key counts.
    if (!seen.insert(std::move(folded)).second) return true;
    entries->push_back(ProfileEntry{std::move(key), CutAtNul(Utf8ToU16(text))});
    return true;
  });
}

bool ProfileNamesEqual(std::u16string_view a, std::u16string_view b) {
  return EqualsIgnoringCase(TrimText(a), TrimText(b));
}

std::uint32_t GetPrivateProfileString(const std::u16string& section,
                                      const std::u16string& key,
                                      const std::u16string& def,
                                      char16_t* buffer, std::uint32_t size,
                                      const std::u16string& ini_path) {
  if (buffer == nullptr || size == 0) return 0;
  std::u16string value;
  ReadProfileValue(section, key, def, ini_path, &value);
  const size_t n = std::min<size_t>(value.size(), size - 1);
  std::copy_n(value.data(), n, buffer);
  buffer[n] = u'\0';
  return static_cast<std::uint32_t>(n);
}

}  // namespace platform
