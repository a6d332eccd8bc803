// The file-system contract against the S3 file system on the S3 test
// server: a fresh bucket per test as the root, and settings whose own
// buckets do not exist, so that every request has to follow the root.

#include <memory>
#include <string>

#include "common/wide_string.h"
#include "fs/file_system_contract.h"
#include "fs/s3_file_system.h"
#include "support/store_fixture.h"
#include "support/test_servers.h"

namespace testsupport::fstest {
namespace {

class S3Tree final : public TreeUnderTest {
 public:
  // `path`: the path inside the bucket that the root names ("" or "\\base").
  explicit S3Tree(const std::string& path = "") {
    StoreSettings settings;
    settings.bucket = StoreFixture::UniqueBucket("contract-unused");
    settings.data_bucket = StoreFixture::UniqueBucket("contract-unused");
    fixture_.WriteSettings(settings);
    bucket_ = StoreFixture::UniqueBucket("contract");
    EXPECT_TRUE(RawS3::CreateBucket(bucket_)) << bucket_;
    fs_.reset(new CS3FileSystem());
    fs_->SetRoot(Utf8ToU16(bucket_ + path));
  }

  CQUEXFSManager* fs() override { return fs_.get(); }
  ScopedFileSystem<> OpenAnother() override {
    ScopedFileSystem<> other(new CS3FileSystem());
    other->SetRoot(fs_->GetRoot());
    return other;
  }

 private:
  StoreFixture fixture_;  // the settings and the Env, for the tree's lifetime
  std::string bucket_;
  ScopedFileSystem<CS3FileSystem> fs_;
};

std::unique_ptr<TreeUnderTest> MakeS3Tree() { return std::make_unique<S3Tree>(); }
std::unique_ptr<TreeUnderTest> MakeS3PathTree() {
  return std::make_unique<S3Tree>("\\base");
}

constexpr ContractExpectations kS3Expectations{/*moves_data=*/true,
                                               /*open_missing=*/3,
                                               /*remove_missing=*/0,
                                               /*create_existing=*/0,
                                               /*remove_dir_not_empty=*/0,
                                               /*subtree_lists_its_root=*/true};

INSTANTIATE_TEST_SUITE_P(
    Remote, FileSystemContractTest,
    ::testing::Values(FileSystemKind{"S3", &MakeS3Tree, kS3Expectations},
                      // A root with a path inside the bucket: the same tree,
                      // its keys relative to that path.
                      FileSystemKind{"S3Path", &MakeS3PathTree, kS3Expectations}),
    [](const ::testing::TestParamInfo<FileSystemKind>& info) {
      return info.param.name;
    });

}  // namespace
}  // namespace testsupport::fstest
