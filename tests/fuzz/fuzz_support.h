// What the fuzz targets share: a check that turns a broken promise into a
// finding, an in-memory file, and a hermetic test Env (virtual clock, no
// INI file on disk, event records captured).

#ifndef KELTOS3_TESTS_FUZZ_FUZZ_SUPPORT_H_
#define KELTOS3_TESTS_FUZZ_FUZZ_SUPPORT_H_

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/file.h"
#include "support/test_env.h"

// Aborts (a finding for libFuzzer) when `condition` does not hold.
#define FUZZ_CHECK(condition)                                              \
  do {                                                                     \
    if (!(condition)) {                                                    \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, \
                   #condition);                                            \
      std::abort();                                                        \
    }                                                                      \
  } while (false)

namespace fuzzsupport {

// A read-only file over bytes held in memory.
class MemoryFile : public platform::File {
 public:
  explicit MemoryFile(std::string bytes) : bytes_(std::move(bytes)) {}
  std::int64_t Read(void* buffer, std::uint32_t n) override {
    const size_t count = std::min<size_t>(n, bytes_.size() - offset_);
    std::memcpy(buffer, bytes_.data() + offset_, count);
    offset_ += count;
    return static_cast<std::int64_t>(count);
  }
  std::int64_t Write(const void*, std::uint32_t) override { return -1; }
  bool SetLastWriteTime(platform::FileTime) override { return false; }
  bool Sync() override { return false; }

 private:
  const std::string bytes_;
  size_t offset_ = 0;
};

// A TestEnv that touches no file of the machine: the settings file is
// `ini` when given (at the path KELTOS3_INI names), else missing.
inline std::unique_ptr<testsupport::TestEnv> HermeticEnv(const std::string* ini = nullptr) {
  auto env = std::make_unique<testsupport::TestEnv>();
  env->SetModuleFileName(u"");
  env->SetEnvironmentVariable("KELTOS3_INI", "/fuzz/Kelto.ini");
  const std::string content = ini != nullptr ? *ini : std::string();
  const bool present = ini != nullptr;
  env->SetOpenFileHook([content, present](const std::u16string& path, platform::FileOpenMode mode,
                                          platform::Env*) -> std::unique_ptr<platform::File> {
    if (!present || path != u"\\fuzz\\Kelto.ini" ||
        mode != platform::FileOpenMode::kExistingReadOnly) {
      return nullptr;
    }
    return std::make_unique<MemoryFile>(content);
  });
  return env;
}

}  // namespace fuzzsupport

#endif  // KELTOS3_TESTS_FUZZ_FUZZ_SUPPORT_H_
