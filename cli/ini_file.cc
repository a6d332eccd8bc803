#include "ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "work_file.h"

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

std::string UserIniPath() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') return std::string(config) + "/keltos3/Kelto.ini";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return std::string(home) + "/.config/keltos3/Kelto.ini";
  return std::string();
}

const char* DescribeSource(IniSource source) {
  switch (source) {
    case IniSource::kEnvironment: return "named by KELTOS3_INI";
    case IniSource::kUser: return "the per-user file";
    case IniSource::kExecutable: return "beside the executable";
  }
  return "";
}

namespace {

IniLocation FindIniFile() {
  // Something is there unless the system says there is nothing: a file
  // that cannot even be looked at must not pass for missing settings.
  const auto exists = [](const std::string& path) {
    struct stat st;
    return !path.empty() && (::lstat(path.c_str(), &st) == 0 || (errno != ENOENT && errno != ENOTDIR));
  };
  IniLocation location;
  const char* named = std::getenv("KELTOS3_INI");
  if (named != nullptr && named[0] != '\0') {
    location.path = named;
    location.source = IniSource::kEnvironment;
    location.exists = exists(location.path);
    return location;
  }
  const std::string user = UserIniPath();
  if (exists(user)) return {user, IniSource::kUser, true};
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error && exe.has_parent_path()) {
    const std::string beside = (exe.parent_path() / "Kelto.ini").string();
    if (exists(beside)) return {beside, IniSource::kExecutable, true};
    if (user.empty()) return {beside, IniSource::kExecutable, false};
  }
  return {user, IniSource::kUser, false};
}

}  // namespace

// Found once: main() then names the file to the library through
// KELTOS3_INI, which must not make it look named by the user.
IniLocation LocateIniFile() {
  static const IniLocation location = FindIniFile();
  return location;
}

IniSection IniSection::Read(const std::string& path, std::string_view name) {
  IniSection section;
  // Only a regular file is read, as the library does: a FIFO is opened
  // without waiting for a writer, and refused.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) section.error_ = SystemReason(errno);
    return section;
  }
  struct stat st{};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    section.error_ = S_ISDIR(st.st_mode) ? "it is a directory" : "not a regular file";
    ::close(fd);
    return section;
  }
  std::string content(kMaxIniBytes + 1, '\0');
  size_t filled = 0;
  while (filled < content.size()) {
    const ssize_t n = ::read(fd, content.data() + filled, content.size() - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      section.error_ = SystemReason(errno);
      ::close(fd);
      return section;
    }
    if (n == 0) break;
    filled += static_cast<size_t>(n);
  }
  ::close(fd);
  section.file_found_ = true;
  content.resize(filled);
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
  WorkFile work;
  if (!work.Create(path, error)) return false;
  if (!work.Write(content.data(), content.size(), error)) return false;
  return work.Commit(path, error);
}

}  // namespace cli
