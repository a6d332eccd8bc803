#include "ini_file.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace cli {
namespace {

constexpr size_t kMaxIniBytes = 1u << 20;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

IniLocation LocateIniFile() {
  IniLocation location;
  const char* named = std::getenv("KELTOS3_INI");
  if (named != nullptr && named[0] != '\0') {
    location.path = named;
    location.from_environment = true;
    return location;
  }
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error && exe.has_parent_path()) location.path = (exe.parent_path() / "Kelto.ini").string();
  return location;
}

IniSection IniSection::Read(const std::string& path, std::string_view name) {
  IniSection section;
  // Only a regular file is read, as the library does: opening a FIFO would
  // wait for a writer.
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return section;
  std::ifstream in(path, std::ios::binary);
  if (!in) return section;
  section.file_found_ = true;
  std::string content(kMaxIniBytes + 1, '\0');
  in.read(content.data(), static_cast<std::streamsize>(content.size()));
  content.resize(static_cast<size_t>(in.gcount()));
  if (content.size() > kMaxIniBytes) {
    // Beyond the bound the library reads nothing, not even the cut line.
    content.resize(kMaxIniBytes);
    const size_t last_newline = content.rfind('\n');
    content.resize(last_newline == std::string::npos ? 0 : last_newline + 1);
  }
  std::string_view rest(content);
  if (rest.substr(0, 3) == "\xEF\xBB\xBF") rest.remove_prefix(3);
  const std::string wanted = Lower(Trim(name));
  bool inside = false;
  while (!rest.empty()) {
    const size_t newline = rest.find('\n');
    std::string_view line = rest.substr(0, newline);
    rest.remove_prefix(newline == std::string_view::npos ? rest.size() : newline + 1);
    line = Trim(line);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      const size_t close = line.rfind(']');
      if (close != std::string_view::npos) {
        if (inside) break;  // only the first section of the name counts
        inside = Lower(Trim(line.substr(1, close - 1))) == wanted;
        section.section_found_ = section.section_found_ || inside;
        continue;
      }
    }
    if (!inside) continue;
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string key = Lower(Trim(line.substr(0, equals)));
    std::string_view value = Trim(line.substr(equals + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    const size_t nul = value.find('\0');
    if (nul != std::string_view::npos) value = value.substr(0, nul);
    section.values_.emplace(key, std::string(value));  // the first one stays
  }
  return section;
}

std::optional<std::string> IniSection::Get(std::string_view key) const {
  const auto it = values_.find(Lower(key));
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

bool WriteIniFile(const std::string& path, const std::string& content, std::string* error) {
  namespace fs = std::filesystem;
  const fs::path target(path);
  const fs::path temporary = target.string() + ".keltos3-new";
  std::error_code ec;
  fs::remove(temporary, ec);
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) {
      *error = "cannot create " + temporary.string();
      return false;
    }
    // Private before anything is written into it.
    fs::permissions(temporary, fs::perms::owner_read | fs::perms::owner_write,
                    fs::perm_options::replace, ec);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.flush();
    if (!out) {
      *error = "cannot write " + temporary.string();
      out.close();
      fs::remove(temporary, ec);
      return false;
    }
  }
  fs::rename(temporary, target, ec);
  if (ec) {
    *error = "cannot replace " + path + ": " + ec.message();
    fs::remove(temporary, ec);
    return false;
  }
  return true;
}

}  // namespace cli
