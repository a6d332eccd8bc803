// Where the build put what the tests use.  The values come from a source
// file that CMake writes, so that no other test source carries a build path
// (and compiles the same in every checkout).  support/test_layout.h picks
// those of the layout under test.

#ifndef KELTOS3_TESTS_SUPPORT_TEST_PATHS_H_
#define KELTOS3_TESTS_SUPPORT_TEST_PATHS_H_

namespace testsupport {

// servers.env of the servers each layout's run uses.
extern const char* const kTestServersFile;
extern const char* const kSnapshotTestServersFile;
// The source tree.
extern const char* const kTestSourceDir;
// The top of the build tree (keltos3 and the standard library lie there).
extern const char* const kTestBinaryDir;
// Where each layout's shared library lies.
extern const char* const kTestLibraryDir;
extern const char* const kSnapshotTestLibraryDir;

}  // namespace testsupport

#endif  // KELTOS3_TESTS_SUPPORT_TEST_PATHS_H_
