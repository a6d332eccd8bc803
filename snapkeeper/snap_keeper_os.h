// What SnapKeeper needs from the operating system, one implementation per
// platform (snap_keeper_posix.cc, snap_keeper_win32.cc).  Paths are wide
// strings in the library's form: "\" separators (standing for "/" on POSIX).

#ifndef KELTOS3_SNAPKEEPER_SNAP_KEEPER_OS_H_
#define KELTOS3_SNAPKEEPER_SNAP_KEEPER_OS_H_

#include <string>

namespace snapkeeper {

// Creates a new directory that only this user may enter, below the
// platform's directory for temporary files, and stores its path in *dir.
bool MakePrivateDirectory(std::wstring* dir);

// Copies the regular file `source` to the new file `target` (which must not
// exist), reading it even while other programs have it open for writing.
// False on any failure: a missing source, one that is not a regular file or
// a bad path; a partial `target` is then removed.
bool CopyToNewFile(const wchar_t* source, const std::wstring& target);

// Each true when the entry is gone afterwards (also when it never existed).
bool RemoveCopy(const std::wstring& path);
bool RemovePrivateDirectory(const std::wstring& path);

// The environment variable `name`; false when it is not set.
bool GetEnv(const char* name, std::string* value);

// Appends `line` (UTF-8) to the file `path` (UTF-8), creating it.  Failures
// are ignored.
void AppendToFile(const std::string& path, const std::string& line);

// Shared by every platform (snap_keeper.cc): appends the UTF-8 form of the
// code point `cp` to *out.
void AppendUtf8(std::string* out, char32_t cp);

}  // namespace snapkeeper

#endif  // KELTOS3_SNAPKEEPER_SNAP_KEEPER_OS_H_
