// The Windows side of fs_test_util.h: file times and the holder of a file
// in use (the helper program keltos3_hold_file.exe, tests/windows).

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/wide_string.h"
#include "platform/file_time.h"
#include "support/fs_test_util.h"
#include "support/test_paths.h"
#include "support/test_platform.h"

namespace testsupport::fstest {
namespace {

std::wstring WidePath(const std::string& path) { return U16ToWide(LibraryPath(path)); }

std::uint64_t TicksOf(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

void SetMTime(const std::string& path, std::int64_t unix_seconds, long nanoseconds) {
  const std::uint64_t ticks =
      platform::FileTimeFromUnixSeconds(unix_seconds) + static_cast<std::uint64_t>(nanoseconds / 100);
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  // FILE_FLAG_BACKUP_SEMANTICS opens directories as well.
  HANDLE file = CreateFileW(WidePath(path).c_str(), FILE_WRITE_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << "cannot open " << path << " (error " << GetLastError() << ")";
    return;
  }
  if (!SetFileTime(file, nullptr, nullptr, &time)) {
    ADD_FAILURE() << "SetFileTime " << path << " (error " << GetLastError() << ")";
  }
  CloseHandle(file);
}

timespec MTime(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(WidePath(path).c_str(), GetFileExInfoStandard, &data)) {
    ADD_FAILURE() << "cannot read the times of " << path << " (error " << GetLastError()
                  << ")";
    return timespec{};
  }
  const std::uint64_t ticks = TicksOf(data.ftLastWriteTime);
  timespec out{};
  out.tv_sec = static_cast<time_t>(platform::UnixSecondsFromFileTime(ticks));
  out.tv_nsec = static_cast<long>(ticks % platform::kFileTimeTicksPerSecond) * 100;
  return out;
}

LockHolder::LockHolder(const std::string& path, Kind kind) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE ready_read, ready_write, release_read, release_write;
  if (!CreatePipe(&ready_read, &ready_write, &inherit, 0)) {
    ADD_FAILURE() << "CreatePipe failed";
    return;
  }
  if (!CreatePipe(&release_read, &release_write, &inherit, 0)) {
    ADD_FAILURE() << "CreatePipe failed";
    CloseHandle(ready_read);
    CloseHandle(ready_write);
    return;
  }
  // The child inherits only its ends of the pipes.
  SetHandleInformation(ready_read, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(release_write, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = release_read;
  startup.hStdOutput = ready_write;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  const std::string program = std::string(kTestBinaryDir) + "/keltos3_hold_file.exe";
  std::wstring command = L"\"" + WidePath(HostPath(program)) + L"\" " +
                         (kind == Kind::kNoSharing ? L"none"
                          : kind == Kind::kFcntl   ? L"write"
                                                   : L"read") + L" \"" +
                         WidePath(path) + L"\"";
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0,
                                      nullptr, nullptr, &startup, &process);
  CloseHandle(ready_write);
  CloseHandle(release_read);
  if (!started) {
    ADD_FAILURE() << "cannot start the file holder (error " << GetLastError() << ")";
    CloseHandle(ready_read);
    CloseHandle(release_write);
    return;
  }
  CloseHandle(process.hThread);
  child_ = reinterpret_cast<std::intptr_t>(process.hProcess);
  release_ = reinterpret_cast<std::intptr_t>(release_write);
  char status = '0';
  DWORD read = 0;
  if (!::ReadFile(ready_read, &status, 1, &read, nullptr) || read != 1) status = '0';
  CloseHandle(ready_read);
  locked_ = status == '1';
}

LockHolder::~LockHolder() {
  if (release_ != -1) CloseHandle(reinterpret_cast<HANDLE>(release_));
  if (child_ != -1) {
    HANDLE process = reinterpret_cast<HANDLE>(child_);
    WaitForSingleObject(process, INFINITE);
    CloseHandle(process);
  }
}

}  // namespace testsupport::fstest
