#include "support/temp_dir.h"

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

#include "platform/path.h"

namespace testsupport {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = (base != nullptr && *base != '\0') ? base : "/tmp";
  pattern += "/keltos3-test-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  path_ = buffer.data();
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Make everything writable again first, so that tests may leave read-only
  // files and directories behind.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
  }
  std::filesystem::remove_all(path_, ignored);
}

std::u16string TempDir::library_path() const {
  return platform::FromPosixPath(path_);
}

std::string TempDir::PathOf(const std::string& relative) const {
  return path_ + "/" + relative;
}

std::u16string TempDir::LibraryPathOf(const std::string& relative) const {
  return platform::FromPosixPath(PathOf(relative));
}

void TempDir::WriteFile(const std::string& relative, const std::string& bytes) const {
  const std::filesystem::path full = PathOf(relative);
  std::filesystem::create_directories(full.parent_path());
  std::ofstream out(full, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string TempDir::ReadFile(const std::string& relative) const {
  std::ifstream in(PathOf(relative), std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool TempDir::Exists(const std::string& relative) const {
  std::error_code ignored;
  return std::filesystem::exists(PathOf(relative), ignored);
}

}  // namespace testsupport
