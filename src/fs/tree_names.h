// Names and paths of the file systems on disk (the local tree and the
// catalog).  Paths are in library form: UTF-16 with "\" separators.

#ifndef KELTOS3_SRC_FS_TREE_NAMES_H_
#define KELTOS3_SRC_FS_TREE_NAMES_H_

#include <string>

// True when `name`, the name part handed to an operation (normally a tree
// key such as "\docs\a.txt"), only goes down from the directory it is
// joined to: split at "\", every component except an empty first one (the
// key's leading backslash) is non-empty, is neither "." nor "..", and holds
// neither "/" (a POSIX separator) nor NUL.  An empty name is not safe.
// Every key the scans produce is safe; a name that is not is refused, so
// that no caller can make a file system write, delete or read outside the
// directory it was given.
bool IsSafeTreeName(const std::u16string& name);

// True when the tree key `key` lies below a directory whose name begins
// with "." ("\.cfg\x"), or, with `directory`, names such a directory or
// one below it ("\.cfg", "\a\.git\b").  A file whose own name begins with
// "." ("\a\.profile") is not.  No tree lists such entries: the local tree
// skips dot-directories, so an entry below one that another tree listed
// would be carried to the local side and then look deleted there.
bool IsBelowDotDirectory(const std::u16string& key, bool directory);

// Copies into the local tree are written to a work file in the target's
// directory and renamed over the target once complete.  Each work file gets
// a name of its own, never used before (so that nobody can plant a file or a
// link under the name a copy will use), of the form
//   ".keltos3-" 16 random hexadecimal digits ".keltos3-tmp".
std::u16string NewCopyFileName();

// True for a name of that form (prefix ".keltos3-", suffix ".keltos3-tmp").
// The scans never list such a file: a work file that a crash left behind
// must not be taken for a user's file and carried to the other trees (they
// report it as left out instead, see CQUEXFSManager::LeftOut).
bool IsCopyFileName(const std::u16string& name);

// The full path of a new work file for the target `path`: the directory
// part of path (up to and including its last "\") + NewCopyFileName().
std::u16string NewCopyFilePathFor(const std::u16string& path);

#endif  // KELTOS3_SRC_FS_TREE_NAMES_H_
