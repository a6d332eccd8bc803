#include "fs/disk_stream.h"

#include "platform/env.h"
#include "support/time_text.h"

int32_t DiskStream::Open(const std::u16string& path, bool read_only) {
  std::unique_ptr<platform::File> file = platform::CurrentEnv()->OpenFile(
      path, read_only ? platform::FileOpenMode::kExistingReadOnly
                      : platform::FileOpenMode::kExistingReadWrite);
  if (file == nullptr) return 3;
  streamHandle = std::move(file);
  streamOpen = 1;
  return 0;
}

int32_t DiskStream::Read(uint8_t* buffer, int32_t size) {
  if (!IsOpen()) return -1;
  if (size <= 0) return 0;
  if (buffer == nullptr) return -1;
  int32_t done = 0;
  while (done < size) {
    const std::int64_t n = streamHandle->Read(
        buffer + done, static_cast<std::uint32_t>(size - done));
    if (n < 0 || n > size - done) return -1;
    if (n == 0) break;  // the end of the file
    done += static_cast<int32_t>(n);
  }
  return done;
}

int32_t DiskStream::Write(const uint8_t* buffer, int32_t size) {
  if (!IsOpen()) return 1;
  if (size <= 0) return 0;
  if (buffer == nullptr) return 2;
  const std::int64_t n =
      streamHandle->Write(buffer, static_cast<std::uint32_t>(size));
  return n == size ? 0 : 2;
}

int32_t DiskStream::Close() {
  if (!IsOpen()) return 1;
  streamHandle.reset();
  streamOpen = 0;
  return 0;
}

int32_t CreateDirectoryOnDisk(const std::u16string& path) {
  platform::Env* const env = platform::CurrentEnv();
  platform::FileAttributes attributes;
  if (env->GetFileAttributes(path, &attributes) && attributes.is_directory) {
    return 1;
  }
  return env->CreateDirectory(path) ? 0 : 2;
}

int32_t RemoveDirectoryOnDisk(const std::u16string& path) {
  return platform::CurrentEnv()->RemoveDirectory(path) ? 0 : 1;
}

int32_t SetWriteTimeFromText(const std::u16string& path,
                             const std::u16string& time_text) {
  platform::FileTime time = 0;
  ParseTimeText(time_text, &time);
  if (time == 0) return 0;  // no time to set: the file keeps its own
  return platform::CurrentEnv()->SetLastWriteTime(path, time) ? 0 : 1;
}
