// Where the build put what the tests use.  Each test binary gets its own
// values from a source file that CMake writes for it, so that no other
// test source carries a build path (and compiles the same in every checkout).

#ifndef KELTOS3_TESTS_SUPPORT_TEST_PATHS_H_
#define KELTOS3_TESTS_SUPPORT_TEST_PATHS_H_

namespace testsupport {

// servers.env of the servers this binary's tests run against.
extern const char* const kTestServersFile;
// The source tree.
extern const char* const kTestSourceDir;
// The top of the build tree (keltos3 and the standard library lie there).
extern const char* const kTestBinaryDir;
// Where the shared library under test lies.
extern const char* const kTestLibraryDir;

}  // namespace testsupport

#endif  // KELTOS3_TESTS_SUPPORT_TEST_PATHS_H_
