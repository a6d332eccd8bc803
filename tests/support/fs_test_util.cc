#include "support/fs_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/wide_string.h"
#include "platform/file_time.h"
#include "support/temp_dir.h"
#include "support/test_platform.h"
#include "support/test_layout.h"

namespace testsupport::fstest {

// ---- Scratch directories and file utilities ----------------------------------

FsScratchDir::FsScratchDir() : path_(MakeTempDirectory("keltos3-fs-")) {}

FsScratchDir::~FsScratchDir() { RemoveTree(path_); }

std::string FsScratchDir::At(const std::string& relative) const {
  return path_ + "/" + relative;
}

std::u16string FsScratchDir::LibPath() const { return Lib(path_); }

std::u16string Lib(const std::string& path) { return LibraryPath(path); }

void MakeDir(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::create_directory(FsPath(path), error)) {
    ADD_FAILURE() << "mkdir " << path << ": "
                  << (error ? error.message() : "exists already");
  }
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(FsPath(path), std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) ADD_FAILURE() << "cannot write " << path;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(FsPath(path), std::ios::binary);
  if (!in) {
    ADD_FAILURE() << "cannot read " << path;
    return std::string();
  }
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool PathExists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::symlink_status(FsPath(path), ignored).type() !=
         std::filesystem::file_type::not_found;
}

std::int64_t FileSize(const std::string& path) {
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(FsPath(path), error);
  return error ? -1 : static_cast<std::int64_t>(size);
}

std::vector<std::string> ListNames(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code error;
  for (std::filesystem::directory_iterator it(FsPath(dir), error), end;
       !error && it != end; it.increment(error)) {
    const std::u8string name = it->path().filename().u8string();
    names.emplace_back(name.begin(), name.end());
  }
  return names;
}

void ExpectCarriedTime(const CSortedMap<std::u16string>& map,
                       const std::u16string& key,
                       const std::u16string& source_time) {
  const std::u16string recorded = map.Lookup(key);
  if (!::testsupport::IsSnapshotRun()) {
    EXPECT_EQ(recorded, source_time) << U16ToUtf8(key);
    return;
  }
  const std::u16string recent = CQUEXFSManager::FormatTimeText(
      platform::FileTimeFromUnixSeconds(std::time(nullptr) - 120));
  EXPECT_NE(recorded, source_time) << U16ToUtf8(key);
  EXPECT_GE(recorded, recent) << U16ToUtf8(key);
}

std::string PatternText(size_t size, char seed) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    text[i] = static_cast<char>(seed + static_cast<char>((i * 7 + i / 251) % 26));
  }
  return text;
}

// ---- MemoryFileSystem ------------------------------------------------------------

MemoryFileSystem::MemoryFileSystem() { SetRoot(u"\\mem"); }

void MemoryFileSystem::AddFile(const std::u16string& key,
                               const std::string& content,
                               const std::u16string& time) {
  files_[root + key] = content;
  fileMap.Set(key, time);
}

const std::string* MemoryFileSystem::ContentAt(
    const std::u16string& full_path) const {
  const auto it = files_.find(full_path);
  return it == files_.end() ? nullptr : &it->second;
}

int32_t MemoryFileSystem::OpenStream(std::u16string dir, std::u16string name) {
  ++open_calls;
  if (open_) return 1;
  if (open_result != 0) return open_result;
  const std::u16string full = dir + name;
  if (files_.find(full) == files_.end()) return 3;
  open_ = true;
  open_path_ = full;
  position_ = 0;
  return 0;
}

int32_t MemoryFileSystem::OpenStream(std::u16string path) {
  return OpenStream(root, path);
}

int32_t MemoryFileSystem::ReadStream(uint8_t* buffer, int32_t size) {
  ++read_calls;
  if (!open_) return -1;
  if (fail_read_at >= 0 && static_cast<int64_t>(position_) >= fail_read_at) {
    return -1;
  }
  const std::string& data = files_[open_path_];
  const size_t n = std::min(static_cast<size_t>(std::max(size, 0)),
                            data.size() - position_);
  std::memcpy(buffer, data.data() + position_, n);
  position_ += n;
  return static_cast<int32_t>(n);
}

int32_t MemoryFileSystem::WriteStream(const uint8_t* buffer, int32_t size) {
  if (!open_) return 1;
  files_[open_path_].append(reinterpret_cast<const char*>(buffer),
                            static_cast<size_t>(std::max(size, 0)));
  return 0;
}

int32_t MemoryFileSystem::CloseStream() {
  ++close_calls;
  if (!open_) return 1;
  open_ = false;
  return 0;
}

// ---- FaultyFileEnv -----------------------------------------------------------------

namespace {

class FaultyFile final : public platform::File {
 public:
  FaultyFile(std::unique_ptr<platform::File> target, const FaultyFileEnv& env)
      : target_(std::move(target)),
        write_limit_(env.write_limit),
        read_fail_at_(env.read_fail_at),
        fail_set_time_(env.fail_set_time),
        fail_sync_(env.fail_sync) {}

  std::int64_t Read(void* buffer, std::uint32_t n) override {
    if (read_fail_at_ >= 0 && read_ + n > read_fail_at_) {
      if (read_ >= read_fail_at_) return -1;
      n = static_cast<std::uint32_t>(read_fail_at_ - read_);
    }
    const std::int64_t r = target_->Read(buffer, n);
    if (r > 0) read_ += r;
    return r;
  }

  std::int64_t Write(const void* buffer, std::uint32_t n) override {
    if (write_limit_ >= 0 && written_ + n > write_limit_) {
      const std::int64_t room = write_limit_ - written_;
      if (room <= 0) return -1;
      const std::int64_t w =
          target_->Write(buffer, static_cast<std::uint32_t>(room));
      if (w > 0) written_ += w;
      return w;
    }
    const std::int64_t w = target_->Write(buffer, n);
    if (w > 0) written_ += w;
    return w;
  }

  bool SetLastWriteTime(platform::FileTime time) override {
    return !fail_set_time_ && target_->SetLastWriteTime(time);
  }

  bool Sync() override { return !fail_sync_ && target_->Sync(); }

  bool SetAccess(const platform::FileAccess& access) override {
    return target_->SetAccess(access);
  }

 private:
  std::unique_ptr<platform::File> target_;
  const std::int64_t write_limit_;
  const std::int64_t read_fail_at_;
  const bool fail_set_time_;
  const bool fail_sync_;
  std::int64_t written_ = 0;
  std::int64_t read_ = 0;
};

}  // namespace

FaultyFileEnv::FaultyFileEnv() : EnvWrapper(platform::Env::Default()) {}

bool FaultyFileEnv::Matches(const std::u16string& path) const {
  return !matches || matches(path);
}

std::unique_ptr<platform::File> FaultyFileEnv::OpenFile(
    const std::u16string& path, platform::FileOpenMode mode) {
  const bool creates = mode == platform::FileOpenMode::kCreateAlways ||
                       mode == platform::FileOpenMode::kCreateNew;
  if (creates) created.push_back(path);
  if (!Matches(path)) return target()->OpenFile(path, mode);
  if (fail_create && creates) return nullptr;
  std::unique_ptr<platform::File> file = target()->OpenFile(path, mode);
  if (file == nullptr) return nullptr;
  return std::make_unique<FaultyFile>(std::move(file), *this);
}

bool FaultyFileEnv::RenameFile(const std::u16string& from,
                               const std::u16string& to) {
  if (fail_rename && (Matches(from) || Matches(to))) return false;
  return target()->RenameFile(from, to);
}

}  // namespace testsupport::fstest
