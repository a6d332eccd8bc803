// Names as the storage commands take and print them.
//
// A path is given in the library's form (\docs\a.txt) or with forward
// slashes (/docs/a.txt); both become \docs\a.txt, with a leading "\" added
// when missing.  A stored name is a path followed by "_" and the version
// stamp, as `keltos3 put` prints it; the index entry that `keltos3 ls`
// prints for it ($file$\docs\a.txt_<stamp>_Info) is accepted as well.

#ifndef KELTOS3_CLI_STORED_NAMES_H_
#define KELTOS3_CLI_STORED_NAMES_H_

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

// The library form of a path or stored name given on the command line.
std::wstring LibraryPath(const std::string& argument);

// A stored name from a command-line argument: the library form, with the
// "$file$" prefix and "_Info" suffix of an index entry removed.
std::wstring StoredNameArgument(const std::string& argument);

// The version stamp a file object created at `unix_seconds` gives its
// versions: "%a, %d %b %Y %H:%M:%S GMT" in UTC.
std::wstring StampAt(int64_t unix_seconds);

// The entries of a GetDirList text.
std::vector<std::wstring> SplitDirList(const wchar_t* text);

// The index entry GetDirList shows for a stored name.
std::wstring IndexEntryOf(const std::wstring& stored_name);

// The path a stored name belongs to: the name without its "_" + stamp when
// it ends with one of either stamp form ("Tue, 27 Mar 2007 19:36:42 GMT" or
// "2008-09-20T06:33:34.000Z"), else the name itself (the snapshot-assisted
// library's unstamped versions).
std::wstring PathOfStoredName(const std::wstring& stored_name);

// Checks a path given to `put` (library form): it must name a file, with
// no empty, "." or ".." part.  Otherwise *why says what is wrong.
bool IsStorablePath(const std::wstring& path, std::string* why);

// "2024-05-01 10:00:00" (UTC) of Unix seconds; with `iso`,
// "2024-05-01T10:00:00Z".
std::string FormatUtc(int64_t unix_seconds, bool iso);

}  // namespace cli

#endif  // KELTOS3_CLI_STORED_NAMES_H_
