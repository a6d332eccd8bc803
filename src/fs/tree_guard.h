// The guard every operation of the file systems on disk (the local tree and
// the catalog) passes before it touches a path: the path must stay below
// the directory it is given and must not pass through a symbolic link.
//
// The scans never follow a symbolic link (or junction, or any other name
// that redirects to another place), so whatever lies behind one is not part
// of the tree; an operation that went through one would create, replace,
// delete or read a file the tree does not hold, possibly outside the root.

#ifndef KELTOS3_SRC_FS_TREE_GUARD_H_
#define KELTOS3_SRC_FS_TREE_GUARD_H_

#include <string>

// True when dir + name may be touched: `name` is safe (IsSafeTreeName), and
// no component of the path that exists is a symbolic link, the last one
// included.  When dir + name lies below `root` (a file system's root), the
// components are checked from the root on, whatever part of them `dir`
// holds; otherwise from `dir` on.  A component that does not exist ends the
// check (nothing below it exists either); the operation then fails as it
// would without the guard.
//
// The check and the operation that follows it are two steps: a link made
// in between is not seen.
bool IsGuardedTarget(const std::u16string& root, const std::u16string& dir,
                     const std::u16string& name);

// The key of dir + name in the tree at `root` ("\docs\a.txt"), or the empty
// text when dir + name does not lie below root.
std::u16string KeyBelowRoot(const std::u16string& root,
                            const std::u16string& dir,
                            const std::u16string& name);

#endif  // KELTOS3_SRC_FS_TREE_GUARD_H_
