#include "support/faulty_file.h"

#include <algorithm>

namespace testsupport {

FaultyFile::FaultyFile(std::unique_ptr<platform::File> inner, FileCounters* counters,
                       std::uint64_t fail_read_after, std::uint64_t fail_write_after)
    : inner_(std::move(inner)),
      counters_(counters),
      fail_read_after_(fail_read_after),
      fail_write_after_(fail_write_after) {}

std::int64_t FaultyFile::Read(void* buffer, std::uint32_t n) {
  if (read_ >= fail_read_after_) return -1;
  const std::uint32_t allowed =
      static_cast<std::uint32_t>(std::min<std::uint64_t>(n, fail_read_after_ - read_));
  const std::int64_t got = inner_->Read(buffer, allowed);
  if (got > 0) {
    read_ += static_cast<std::uint64_t>(got);
    if (counters_ != nullptr) counters_->bytes_read += static_cast<std::uint64_t>(got);
  }
  return got;
}

std::int64_t FaultyFile::Write(const void* buffer, std::uint32_t n) {
  if (written_ >= fail_write_after_) return -1;
  const std::uint32_t allowed =
      static_cast<std::uint32_t>(std::min<std::uint64_t>(n, fail_write_after_ - written_));
  const std::int64_t done = inner_->Write(buffer, allowed);
  if (done > 0) {
    written_ += static_cast<std::uint64_t>(done);
    if (counters_ != nullptr) counters_->bytes_written += static_cast<std::uint64_t>(done);
  }
  return done;
}

bool FaultyFile::SetLastWriteTime(platform::FileTime time) {
  return inner_->SetLastWriteTime(time);
}

bool FaultyFile::Sync() { return inner_->Sync(); }

bool FaultyFile::SetAccess(const platform::FileAccess& access) {
  return inner_->SetAccess(access);
}

}  // namespace testsupport
