// Helpers for the end-to-end synchronisation tests: a "machine" (a local
// tree and its own catalog) synchronised with one bucket of the S3 test
// server through KeltoS3Synchronize, and a byte-for-byte picture of a tree.

#ifndef KELTOS3_TESTS_SUPPORT_SYNC_TREE_UTIL_H_
#define KELTOS3_TESTS_SUPPORT_SYNC_TREE_UTIL_H_

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/fs_test_util.h"
#include "sync/sync_driver.h"
#include "sync/sync_types.h"

namespace testsupport::synctest {

// One action as the callback saw it: "FILEADD00001 \a.txt 1>2 done 0".
struct SeenAction {
  std::string key;   // action key
  std::string name;  // "\docs\a.txt"
  int source = 0;
  int target = 0;
  int outcome = 0;
  int result = 0;
};

// A local tree and its catalog, both fresh temporary directories.
class Machine {
 public:
  fstest::FsScratchDir tree;
  fstest::FsScratchDir catalog;

  // Writes `relative` ("docs/a.txt", parents made) with `content` and the
  // modification time `unix_seconds`.
  void Put(const std::string& relative, const std::string& content,
           std::int64_t unix_seconds) const;

  // One run against `bucket`; the actions seen land in *actions (may be
  // null).  `on_action` (may be empty) runs inside the callback after the
  // action was recorded.  `root` overrides the local root when not empty.
  int Sync(const std::string& bucket, std::vector<SeenAction>* actions,
           int flags = 0,
           const std::function<void(const SeenAction&)>& on_action = {},
           const std::string& root = "") const;

  // One run through the library's own driver (RunSynchronization), for
  // what the exported entry does not pass: the run's options, what it
  // found, and the conflicts it settled (each may be null).
  int SyncWith(const std::string& bucket, const SyncRunOptions& options,
               SyncRunFacts* facts, std::vector<SyncConflict>* conflicts,
               std::vector<SeenAction>* actions = nullptr) const;
};

// Every file of a tree ("docs/a.txt" -> content) and directory ("docs/" ->
// "") below `dir`.
std::map<std::string, std::string> Snapshot(const std::string& dir);

// Action keys of `actions`, in order, with the sides: "FILEADD00001 \a 1>2".
std::vector<std::string> Describe(const std::vector<SeenAction>& actions);

// Actions whose outcome is done with result 0 and that do not target the catalog.
int LiveTransfers(const std::vector<SeenAction>& actions);

}  // namespace testsupport::synctest

#endif  // KELTOS3_TESTS_SUPPORT_SYNC_TREE_UTIL_H_
