// Files and directory enumerations on the Windows file API.

#include "platform/win32_api.h"

#include "platform/file_win32.h"

#include <utility>

namespace platform {
namespace {

constexpr DWORD kShareReadWrite = FILE_SHARE_READ | FILE_SHARE_WRITE;

FileTime FromFiletime(const FILETIME& ft) {
  return (static_cast<FileTime>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

FILETIME ToFiletime(FileTime time) {
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(time & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(time >> 32);
  return ft;
}

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

bool IsAsciiLetter(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

// Symbolic links and junctions; other reparse points (cloud placeholders,
// deduplicated files) are ordinary files and directories to their users.
bool IsLinkTag(DWORD attributes, DWORD tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         (tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT);
}

// The size of a file from the two halves Windows reports it in.
std::uint64_t SizeOf(DWORD high, DWORD low) {
  return (static_cast<std::uint64_t>(high) << 32) | low;
}

// The reparse tag of the entry `path` names (0 when it cannot be read).
// Only a directory listing reports it, so the entry is listed alone.
DWORD ReparseTagOf(const std::wstring& path) {
  WIN32_FIND_DATAW data{};
  const HANDLE find = ::FindFirstFileW(path.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return 0;
  ::FindClose(find);
  return data.dwReserved0;
}

// True when `name` holds a UTF-16 surrogate without its partner: such a
// name has no UTF-8 form and would reach S3 with U+FFFD in its place.
bool HasUnpairedSurrogate(const std::u16string& name) {
  for (size_t i = 0; i < name.size(); ++i) {
    const char16_t c = name[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size() &&
        name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      return true;
    }
  }
  return false;
}

// Opens `path` with CreateFileW and keeps the handle only when it is a
// disk file (a reserved name such as "NUL" or "COM1" opens a device).
HANDLE OpenDiskFile(const std::wstring& path, DWORD access, DWORD share,
                    DWORD disposition) {
  const HANDLE handle = ::CreateFileW(path.c_str(), access, share, nullptr,
                                      disposition, FILE_ATTRIBUTE_NORMAL,
                                      nullptr);
  if (handle == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  if (::GetFileType(handle) != FILE_TYPE_DISK) {
    ::CloseHandle(handle);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

class Win32File final : public File {
 public:
  explicit Win32File(HANDLE handle) : handle_(handle) {}
  ~Win32File() override { ::CloseHandle(handle_); }

  std::int64_t Read(void* buffer, std::uint32_t n) override {
    DWORD read = 0;
    if (!::ReadFile(handle_, buffer, n, &read, nullptr)) return -1;
    return read;
  }

  std::int64_t Write(const void* buffer, std::uint32_t n) override {
    const char* p = static_cast<const char*>(buffer);
    std::uint32_t done = 0;
    while (done < n) {
      DWORD written = 0;
      if (!::WriteFile(handle_, p + done, n - done, &written, nullptr)) {
        return done == 0 ? -1 : done;
      }
      if (written == 0) break;
      done += written;
    }
    return done;
  }

  bool SetLastWriteTime(FileTime time) override {
    const FILETIME ft = ToFiletime(time);
    return ::SetFileTime(handle_, nullptr, nullptr, &ft) != 0;
  }

  bool Sync() override { return ::FlushFileBuffers(handle_) != 0; }

  // Windows keeps who may use a file in its security descriptor, which a
  // new file inherits from its folder; the library records no POSIX bits
  // there (FileAttributes::access stays -1), so there is nothing to set.
  bool SetAccess(const FileAccess&) override { return true; }

 private:
  const HANDLE handle_;
};

class Win32DirectoryIterator final : public DirectoryIterator {
 public:
  // `find` is null for a directory without entries.
  Win32DirectoryIterator(std::wstring directory, HANDLE find,
                         const WIN32_FIND_DATAW& first)
      : directory_(std::move(directory)), find_(find), data_(first) {}
  ~Win32DirectoryIterator() override {
    if (find_ != nullptr) ::FindClose(find_);
  }

  bool Next(DirectoryEntry* entry) override {
    if (find_ == nullptr || failed_) return false;
    if (!first_pending_ && !::FindNextFileW(find_, &data_)) {
      // The end of the listing, or a listing that broke off.
      failed_ = ::GetLastError() != ERROR_NO_MORE_FILES;
      return false;
    }
    first_pending_ = false;
    // A link is reported as itself, never followed: the fields describe the
    // link (whose directory attribute says whether it is a folder link).
    *entry = DirectoryEntry{FromWide(data_.cFileName)};
    entry->name_not_text = HasUnpairedSurrogate(entry->name);
    entry->is_directory = (data_.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry->is_symbolic_link = IsLinkTag(data_.dwFileAttributes, data_.dwReserved0);
    entry->last_write_time = FromFiletime(data_.ftLastWriteTime);
    entry->size = entry->is_directory ? 0 : SizeOf(data_.nFileSizeHigh, data_.nFileSizeLow);
    return true;
  }

  bool Failed() const override { return failed_; }

 private:
  const std::wstring directory_;  // ends with a separator
  const HANDLE find_;
  WIN32_FIND_DATAW data_;
  bool first_pending_ = true;
  bool failed_ = false;
};

}  // namespace

bool ToWin32Path(const std::u16string& path, std::wstring* out) {
  const auto starts_with_prefix = [&path](char16_t middle) {
    return path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) &&
           path[2] == middle && IsSeparator(path[3]);
  };
  const bool extended = starts_with_prefix(u'?');  // "\\?\C:\..."
  if (starts_with_prefix(u'.')) return false;      // "\\.\": devices
  if (path.size() >= 4 && IsSeparator(path[0]) && path[1] == u'?' &&
      path[2] == u'?' && IsSeparator(path[3])) {
    return false;  // "\??\": the object manager's namespace
  }
  const size_t drive = extended ? 4 : 0;
  const size_t drive_colon =
      path.size() > drive + 1 && IsAsciiLetter(path[drive]) &&
              path[drive + 1] == u':'
          ? drive + 1
          : std::u16string::npos;
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == u'\0') return false;
    if (path[i] == u':' && i != drive_colon) return false;
  }
  *out = ToWide(path);
  return true;
}

std::unique_ptr<File> OpenWin32File(const std::u16string& path,
                                    FileOpenMode mode) {
  std::wstring p;
  if (!ToWin32Path(path, &p)) return nullptr;
  HANDLE handle = INVALID_HANDLE_VALUE;
  switch (mode) {
    case FileOpenMode::kExistingReadWrite:
      handle = OpenDiskFile(p, GENERIC_READ | GENERIC_WRITE, kShareReadWrite,
                            OPEN_EXISTING);
      break;
    case FileOpenMode::kExistingReadOnly:
      handle = OpenDiskFile(p, GENERIC_READ, kShareReadWrite, OPEN_EXISTING);
      break;
    case FileOpenMode::kCreateAlways:
      handle = OpenDiskFile(p, GENERIC_WRITE, FILE_SHARE_WRITE, CREATE_ALWAYS);
      break;
    case FileOpenMode::kCreateNew:
      // CREATE_NEW fails on any existing name, a link included; nobody
      // else may open the file while it is written.
      handle = OpenDiskFile(p, GENERIC_WRITE, 0, CREATE_NEW);
      break;
  }
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<Win32File>(handle);
}

std::unique_ptr<DirectoryIterator> OpenWin32Directory(
    const std::u16string& path) {
  std::wstring directory;
  if (path.empty() || !ToWin32Path(path, &directory)) return nullptr;
  if (!IsSeparator(path.back())) directory += L'\\';
  WIN32_FIND_DATAW first{};
  const HANDLE find = ::FindFirstFileW((directory + L'*').c_str(), &first);
  if (find == INVALID_HANDLE_VALUE) {
    // The root of a drive lists no "." and "..", so an empty one has no
    // entry at all; anything else that cannot be listed is unreadable.
    const DWORD error = ::GetLastError();
    const DWORD attributes = ::GetFileAttributesW(directory.c_str());
    if (error == ERROR_FILE_NOT_FOUND && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      return std::make_unique<Win32DirectoryIterator>(std::move(directory),
                                                      nullptr, first);
    }
    return nullptr;
  }
  return std::make_unique<Win32DirectoryIterator>(std::move(directory), find,
                                                  first);
}

bool GetWin32FileAttributes(const std::u16string& path,
                            FileAttributes* attributes) {
  std::wstring p;
  if (!ToWin32Path(path, &p)) return false;
  // Opening with no access right reads the metadata of files that others
  // hold open without sharing; the backup-semantics flag opens directories.
  // The open follows links, so a link answers for what it leads to and a
  // dangling one does not exist.
  const ScopedHandle handle(::CreateFileW(
      p.c_str(), 0, kShareReadWrite | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle.valid()) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(handle.get(), &info)) return false;
  *attributes = FileAttributes{};
  attributes->is_directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  attributes->last_write_time = FromFiletime(info.ftLastWriteTime);
  if (!attributes->is_directory) {
    attributes->size = SizeOf(info.nFileSizeHigh, info.nFileSizeLow);
  }
  return true;
}

bool GetWin32EntryAttributes(const std::u16string& path,
                             FileAttributes* attributes) {
  std::wstring p;
  if (!ToWin32Path(path, &p)) return false;
  // GetFileAttributesExW describes the entry itself: a link is not
  // followed.
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(p.c_str(), GetFileExInfoStandard, &data)) {
    return false;
  }
  *attributes = FileAttributes{};
  attributes->is_directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  attributes->last_write_time = FromFiletime(data.ftLastWriteTime);
  if (!attributes->is_directory) {
    attributes->size = SizeOf(data.nFileSizeHigh, data.nFileSizeLow);
  }
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    // A reparse point whose tag cannot be read is taken for a link: it is
    // safer left alone than gone through.
    const DWORD tag = ReparseTagOf(p);
    attributes->is_symbolic_link =
        tag == 0 || IsLinkTag(data.dwFileAttributes, tag);
  }
  return true;
}

bool SetWin32LastWriteTime(const std::u16string& path, FileTime time) {
  std::unique_ptr<File> file = OpenWin32File(path, FileOpenMode::kExistingReadWrite);
  return file != nullptr && file->SetLastWriteTime(time);
}

bool IsWin32FileInUse(const std::u16string& path) {
  std::wstring p;
  if (!ToWin32Path(path, &p)) return true;
  // Read access with no sharing at all: refused while anybody else has the
  // file open, and for a missing one.  No write access is asked for, so a
  // read-only file or volume is not taken for a file in use.
  const HANDLE handle = OpenDiskFile(p, GENERIC_READ, 0, OPEN_EXISTING);
  if (handle == INVALID_HANDLE_VALUE) return true;
  ::CloseHandle(handle);
  return false;
}

// A new file takes its folder's inherited rights; there are no POSIX bits.
FileAccess DefaultNewFileAccess() { return FileAccess(); }

}  // namespace platform
