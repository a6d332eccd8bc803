#include "support/temp_dir.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>

#include "common/wide_string.h"
#include "support/test_platform.h"

namespace testsupport {

namespace fs = std::filesystem;

std::string MakeTempDirectory(const std::string& prefix) {
  std::error_code error;
  const fs::path base = fs::temp_directory_path(error);
  if (error) {
    std::fprintf(stderr, "no temporary directory: %s\n", error.message().c_str());
    std::abort();
  }
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device seed;
  std::mt19937 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = prefix;
    for (int i = 0; i < 8; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
    const fs::path dir = base / name;
    if (fs::create_directory(dir, error)) {
      fs::permissions(dir, fs::perms::owner_all, fs::perm_options::replace, error);
      const std::u8string text = dir.u8string();
      return std::string(text.begin(), text.end());
    }
  }
  std::fprintf(stderr, "cannot make a temporary directory below %s\n",
               base.string().c_str());
  std::abort();
}

void RemoveTree(const std::string& path) {
  std::error_code ignored;
  // Make everything writable again first, so that tests may leave read-only
  // files and directories behind.
  for (auto it = fs::recursive_directory_iterator(
           FsPath(path), fs::directory_options::skip_permission_denied, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (!it->is_symlink(ignored)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
  }
  fs::remove_all(FsPath(path), ignored);
}

TempDir::TempDir() : path_(MakeTempDirectory("keltos3-test-")) {}

TempDir::~TempDir() { RemoveTree(path_); }

std::u16string TempDir::library_path() const { return LibraryPath(path_); }

std::string TempDir::PathOf(const std::string& relative) const {
  return path_ + "/" + relative;
}

std::u16string TempDir::LibraryPathOf(const std::string& relative) const {
  return LibraryPath(PathOf(relative));
}

void TempDir::WriteFile(const std::string& relative, const std::string& bytes) const {
  const fs::path full = FsPath(PathOf(relative));
  std::filesystem::create_directories(full.parent_path());
  std::ofstream out(full, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string TempDir::ReadFile(const std::string& relative) const {
  std::ifstream in(FsPath(PathOf(relative)), std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool TempDir::Exists(const std::string& relative) const {
  std::error_code ignored;
  return fs::exists(FsPath(PathOf(relative)), ignored);
}

}  // namespace testsupport
