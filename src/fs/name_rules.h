// The names a local tree can hold.  Keys are case-sensitive and may hold
// any character, but a local file system may fold case (Windows, or a
// case-insensitive mount on Linux) and may refuse names (Windows).  Two
// keys that fold to one name would be written into one file, and a refused
// name would be written under another one ("dotdir." as "dotdir"), so a
// synchronisation leaves such keys out of the machine's tree: never
// downloaded, never deleted or replaced on the remote side, and reported.
//
// Which of the keys that fold to one name the machine holds (per level of
// the tree, the keys below a folder being decided after it):
//   1. the one its catalog records (what this machine already holds);
//   2. else the one the local tree spells exactly, when the remote tree
//      holds that spelling;
//   3. else the lowest in UTF-16 code-unit order of the remote tree's
//      ("Docs" before "docs");
//   4. else the local tree's.
// A local entry whose name differs from the held key only in case stands
// for the held key (it is the same file there): a change of case made on
// this machine is not carried.  Every other key of the group, in any tree,
// is left out with everything below it.  Where the local tree itself holds
// two names of one group (a case-sensitive folder on a case-folding
// system), the group and everything below it is taken as it is.
//
// Names Windows refuses (with Win32 rules): the reserved device names CON,
// PRN, AUX, NUL, COM1-COM9, LPT1-LPT9 (and COM/LPT with a superscript
// digit), alone or before an extension ("CON.txt", "nul .log"); names
// holding <>:"|?*, a control character or "/"; names ending in a dot or a
// space.  A key with such a component is left out with everything below
// it, in every tree.

#ifndef KELTOS3_SRC_FS_NAME_RULES_H_
#define KELTOS3_SRC_FS_NAME_RULES_H_

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

class CQUEXFSManager;

// Why a key was left out of a local tree.
enum class NameRule {
  kCaseTwin,           // another key that differs only in case is held
  kReservedName,       // a device name Windows reserves
  kForbiddenCharacter, // a character Windows does not allow in a name
  kTrailingDotOrSpace, // Windows drops a trailing dot or space
};

// The text a report gives for a rule ("differs from \Docs only in case").
std::u16string NameRuleText(NameRule rule, const std::u16string& held);

struct LocalNameRules {
  bool fold_case = false;       // one file for names that differ in case
  bool win32_names = false;     // the names Windows refuses are refused
};

// What a component breaks of the Win32 rules; false when it breaks none.
bool BreaksWin32NameRules(const std::u16string& name, NameRule* rule);

struct LeftOutKey {
  std::u16string key;   // the top-most key left out (a directory: with
                        // everything below it)
  NameRule rule;
  std::u16string held;  // kCaseTwin: the key held instead
};

struct NameRulesOutcome {
  std::vector<LeftOutKey> left_out;  // in key order
  // The keys left out; a key below one of them is left out too.
  std::set<std::u16string> excluded;
  // Local keys that stand for a key spelled otherwise: local key -> key.
  std::map<std::u16string, std::u16string> local_renames;
};

// Applies `rules` to the keys of the three loaded trees.  `fold` gives the
// folded form of a key (tests pass their own; by default the platform's).
NameRulesOutcome ApplyNameRules(
    const LocalNameRules& rules, const CQUEXFSManager& local,
    const CQUEXFSManager& catalog, const CQUEXFSManager& remote,
    const std::function<std::u16string(const std::u16string&)>& fold = nullptr);

// True when `key` or a directory above it is in `excluded`.
bool IsExcludedKey(const std::set<std::u16string>& excluded, const std::u16string& key);

// Whether the local tree at `local`'s root folds case: a name of its first
// level is looked up in another case; a tree without such a name is asked
// with a work file of its own (when `may_write`; it is removed at once);
// otherwise the platform's default.
bool DetectCaseFolding(const CQUEXFSManager& local, bool may_write);

#endif  // KELTOS3_SRC_FS_NAME_RULES_H_
