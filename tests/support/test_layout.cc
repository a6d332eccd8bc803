#include "support/test_layout.h"

#include <cstdlib>
#include <cstring>

#include "common/layout_policy.h"
#include "snapshot/snapshot_pass.h"
#include "support/test_paths.h"

namespace testsupport {

bool IsSnapshotRun() {
  static const bool snapshot = [] {
    const char* value = std::getenv("KELTOS3_TEST_LAYOUT");
    return value != nullptr && std::strcmp(value, "snapshot") == 0;
  }();
  return snapshot;
}

const char* TestServersFile() {
  return IsSnapshotRun() ? kSnapshotTestServersFile : kTestServersFile;
}

const char* TestLibraryDir() {
  return IsSnapshotRun() ? kSnapshotTestLibraryDir : kTestLibraryDir;
}

}  // namespace testsupport

// The library's layout is the one of this run.
const LayoutPolicy& LibraryLayout() {
  return testsupport::IsSnapshotRun() ? SnapshotLayout() : StandardLayout();
}
