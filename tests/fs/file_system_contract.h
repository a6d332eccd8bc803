// The contract every CQUEXFSManager implementation keeps, as one
// parameterised suite.  An implementation joins it with a factory, in
// namespace testsupport::fstest:
//
//   INSTANTIATE_TEST_SUITE_P(S3, FileSystemContractTest,
//       ::testing::Values(FileSystemKind{"S3", &MakeS3Tree, expectations}),
//       [](const auto& info) { return info.param.name; });
//
// in a test file of its own; the cases live in file_system_contract_test.cc.

#ifndef KELTOS3_TESTS_FS_FILE_SYSTEM_CONTRACT_H_
#define KELTOS3_TESTS_FS_FILE_SYSTEM_CONTRACT_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

#include "fs/quexfs_manager.h"

namespace testsupport::fstest {

// A fresh, empty tree and a file system whose root is set to it.  The
// destructor releases the file system and removes the tree's storage.
class TreeUnderTest {
 public:
  virtual ~TreeUnderTest() = default;
  virtual CQUEXFSManager* fs() = 0;
  // Another object of the same kind on the same tree, root set.
  virtual ScopedFileSystem<> OpenAnother() = 0;
};

// What differs between implementations where the contract allows it.
struct ContractExpectations {
  // Copies carry file content (local tree, S3); the catalog only records.
  bool moves_data = true;
  int32_t open_missing = 3;     // OpenStream of a file that does not exist
  int32_t remove_missing = 0;   // RemoveFile of a file that does not exist
  int32_t create_existing = 0;  // CreateDir of an existing directory
  int32_t remove_dir_not_empty = 0;
  // A subtree load matches keys by their leading characters (S3): loading
  // \docs also lists \docs itself.
  bool subtree_lists_its_root = false;
};

struct FileSystemKind {
  std::string name;
  std::unique_ptr<TreeUnderTest> (*make)();
  ContractExpectations expect;
};

inline void PrintTo(const FileSystemKind& kind, std::ostream* os) {
  *os << kind.name;
}

class FileSystemContractTest : public ::testing::TestWithParam<FileSystemKind> {
 protected:
  void SetUp() override { tree_ = GetParam().make(); }
  void TearDown() override { tree_.reset(); }

  TreeUnderTest* tree() { return tree_.get(); }
  CQUEXFSManager* fs() { return tree_->fs(); }
  const ContractExpectations& expect() const { return GetParam().expect; }

 private:
  std::unique_ptr<TreeUnderTest> tree_;
};

}  // namespace testsupport::fstest

#endif  // KELTOS3_TESTS_FS_FILE_SYSTEM_CONTRACT_H_
