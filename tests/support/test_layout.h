// The storage layout a run of the test program works with.  One program
// holds the cases of both layouts; CTest runs it once per layout, the
// snapshot-assisted run with KELTOS3_TEST_LAYOUT=snapshot (its cases named
// "snapshot.Suite.Case") against servers of its own.

#ifndef KELTOS3_TESTS_SUPPORT_TEST_LAYOUT_H_
#define KELTOS3_TESTS_SUPPORT_TEST_LAYOUT_H_

#include <gtest/gtest.h>

namespace testsupport {

// True in the run of the snapshot-assisted layout.
bool IsSnapshotRun();

// servers.env of the servers this run's tests use.
const char* TestServersFile();
// Where the shared library of this run's layout lies.
const char* TestLibraryDir();

}  // namespace testsupport

// Ends the current case as skipped, with `why`, in the run of the layout
// the case does not hold for.
#define SKIP_IN_SNAPSHOT_LAYOUT(why) \
  if (::testsupport::IsSnapshotRun()) GTEST_SKIP() << (why)
#define SKIP_IN_STANDARD_LAYOUT(why) \
  if (!::testsupport::IsSnapshotRun()) GTEST_SKIP() << (why)

#endif  // KELTOS3_TESTS_SUPPORT_TEST_LAYOUT_H_
