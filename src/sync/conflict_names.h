// The names under which a synchronisation that keeps both contents of a
// conflict ("SyncConflicts=keep") keeps the losing one.
//
// A conflict copy of "\docs\report.txt" whose content carried the time text
// 2010-06-01T12:00:00.000Z is "\docs\report (conflict copy 2010-06-01
// 12-00-00).txt": the extension stays last, so that the copy opens like the
// file.  A name without an extension, or one whose only full stop is its
// first character (".profile"), gets the words at its end.  The time is the
// losing content's own, so a run that is repeated (after a failure) names
// the same copy again, and both machines name it alike.

#ifndef KELTOS3_SRC_SYNC_CONFLICT_NAMES_H_
#define KELTOS3_SRC_SYNC_CONFLICT_NAMES_H_

#include <functional>
#include <string>

// The conflict copy of the tree key `key` for content of the time text
// `time` (24 characters; another text is left out of the name).  When
// `taken` says the name is in use, " 2", " 3" ... are added inside the
// parentheses until it is not.
std::u16string ConflictCopyName(
    const std::u16string& key, const std::u16string& time,
    const std::function<bool(const std::u16string&)>& taken = {});

#endif  // KELTOS3_SRC_SYNC_CONFLICT_NAMES_H_
