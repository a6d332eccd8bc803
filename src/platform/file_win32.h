// The file calls of the Win32 Env: open files, directory enumerations and
// the path checks they share.  Env's contract (platform/env.h) holds for
// every call; what is particular to Windows is said here.
//
// Paths: the library's path form is the Windows path itself.  A path names
// no file, and every call fails for it (IsWin32FileInUse reports it in use),
// when it holds a NUL, a ":" other than the one after a drive letter (it
// would name an alternate data stream of a file, "a.txt:x"), or when it is in
// the device namespace ("\\.\", "\??\"), which holds pipes and devices but
// no files.  Reserved device names inside a path ("CON", "NUL") open a
// device, and OpenWin32File and IsWin32FileInUse refuse whatever is not a
// disk file.
//
// Long paths: a path of MAX_PATH less 12 characters or more is handed to
// the file API in the extended-length form ("\\?\C:\...",
// "\\?\UNC\server\share\..."), after it was made full the way Windows
// makes a shorter path full, so that paths of up to 32,767 characters work
// as shorter ones do.
//
// Links: symbolic links and junctions (reparse points) are followed when a
// file is opened or its attributes are read (GetWin32FileAttributes), and
// reported as links, not followed, by the directory enumeration and
// GetWin32EntryAttributes.  Other reparse points (cloud placeholders,
// deduplicated files) are the files and folders they stand for.
//
// Access: Windows records who may use a file in its security descriptor,
// not in POSIX bits; FileAttributes::access stays -1 and File::SetAccess
// does nothing (a replaced file takes its folder's inherited rights).

#ifndef KELTOS3_SRC_PLATFORM_FILE_WIN32_H_
#define KELTOS3_SRC_PLATFORM_FILE_WIN32_H_

#include <memory>
#include <string>

#include "platform/env.h"
#include "platform/file.h"

namespace platform {

// The path as a Win32 wide string, in the extended-length form when it is
// long; false when it names no file.
bool ToWin32Path(const std::u16string& path, std::wstring* out);

std::unique_ptr<File> OpenWin32File(const std::u16string& path,
                                    FileOpenMode mode);
std::unique_ptr<DirectoryIterator> OpenWin32Directory(
    const std::u16string& path);
bool GetWin32FileAttributes(const std::u16string& path,
                            FileAttributes* attributes);
bool GetWin32EntryAttributes(const std::u16string& path,
                             FileAttributes* attributes);
bool SetWin32LastWriteTime(const std::u16string& path, FileTime time);
bool IsWin32FileInUse(const std::u16string& path);

}  // namespace platform

#endif  // KELTOS3_SRC_PLATFORM_FILE_WIN32_H_
