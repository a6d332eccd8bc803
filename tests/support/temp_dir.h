// A temporary directory for one test, removed with everything in it when
// the object goes.

#ifndef KELTOS3_TESTS_SUPPORT_TEMP_DIR_H_
#define KELTOS3_TESTS_SUPPORT_TEMP_DIR_H_

#include <string>

namespace testsupport {

class TempDir {
 public:
  // Creates a fresh directory in the temporary folder ($TMPDIR or /tmp; on
  // Windows the user's temporary folder).  Aborts the test program when
  // that is impossible.
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  // The directory in the tests' path form (support/test_platform.h), and
  // in library form ("\" separators).
  const std::string& path() const { return path_; }
  std::u16string library_path() const;

  // `relative` ("/" separators) inside the directory.
  std::string PathOf(const std::string& relative) const;
  std::u16string LibraryPathOf(const std::string& relative) const;

  // Writes `bytes` to `relative`, creating missing parent directories.
  void WriteFile(const std::string& relative, const std::string& bytes) const;

  // The whole content of `relative`; empty when it cannot be read.
  std::string ReadFile(const std::string& relative) const;

  bool Exists(const std::string& relative) const;

 private:
  std::string path_;
};

// A fresh directory named `prefix` plus random letters in the temporary
// folder, readable by its owner alone; aborts when none can be made.
std::string MakeTempDirectory(const std::string& prefix);

// Removes `path` with everything below it, read-only entries included;
// symbolic links are removed, never followed.
void RemoveTree(const std::string& path);

}  // namespace testsupport

#endif  // KELTOS3_TESTS_SUPPORT_TEMP_DIR_H_
