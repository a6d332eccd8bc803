// A File wrapper for fault injection: counts the bytes that pass and fails
// reads or writes once a given number of bytes has passed.

#ifndef KELTOS3_TESTS_SUPPORT_FAULTY_FILE_H_
#define KELTOS3_TESTS_SUPPORT_FAULTY_FILE_H_

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>

#include "platform/file.h"

namespace testsupport {

// Byte counts shared between a test and the files it hands out.
struct FileCounters {
  std::atomic<std::uint64_t> bytes_read{0};
  std::atomic<std::uint64_t> bytes_written{0};
};

class FaultyFile : public platform::File {
 public:
  static constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();

  // Reads fail (-1) once `fail_read_after` bytes were read; writes once
  // `fail_write_after` bytes were written (a write that crosses the limit
  // writes up to it).  `counters` may be null.
  FaultyFile(std::unique_ptr<platform::File> inner, FileCounters* counters,
             std::uint64_t fail_read_after = kNever,
             std::uint64_t fail_write_after = kNever);

  std::int64_t Read(void* buffer, std::uint32_t n) override;
  std::int64_t Write(const void* buffer, std::uint32_t n) override;
  bool SetLastWriteTime(platform::FileTime time) override;
  bool Sync() override;
  bool SetAccess(const platform::FileAccess& access) override;

 private:
  std::unique_ptr<platform::File> inner_;
  FileCounters* counters_;
  std::uint64_t read_ = 0;
  std::uint64_t written_ = 0;
  const std::uint64_t fail_read_after_;
  const std::uint64_t fail_write_after_;
};

}  // namespace testsupport

#endif  // KELTOS3_TESTS_SUPPORT_FAULTY_FILE_H_
