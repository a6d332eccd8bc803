// A file rewritten while its upload reads it is never stored as a mix of
// its two contents: the upload fails, the version stored before stays the
// one every machine reads, and the next run sends the new content whole.
// Two machines share one bucket of the S3 test server.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "KeltoS3.h"
#include "platform/env.h"
#include "platform/file.h"
#include "support/fs_test_util.h"
#include "support/store_fixture.h"
#include "support/sync_tree_util.h"
#include "support/test_servers.h"
#include "support/test_layout.h"

// The scenario relies on the file times the standard build carries.

namespace testsupport::synctest {
namespace {

constexpr std::int64_t kT1 = 1275393600;  // 2010-06-01T12:00:00Z
constexpr std::int64_t kT2 = kT1 + 3600;

// Hands out files whose reader, once it has read `after` bytes of `path`,
// finds the file rewritten with `content` by someone else: within the
// second of its previous time, as an editor saving twice in one second.
class RewritingEnv : public platform::EnvWrapper {
 public:
  RewritingEnv(std::string path, std::string content, std::int64_t after)
      : EnvWrapper(platform::CurrentEnv()),
        path_(std::move(path)),
        content_(std::move(content)),
        after_(after) {}

  std::unique_ptr<platform::File> OpenFile(const std::u16string& path,
                                           platform::FileOpenMode mode) override {
    std::unique_ptr<platform::File> file = EnvWrapper::OpenFile(path, mode);
    if (file == nullptr || path != fstest::Lib(path_) || rewritten_) return file;
    return std::make_unique<Reader>(std::move(file), this);
  }

  bool rewritten() const { return rewritten_; }

 private:
  struct Reader : platform::File {
    Reader(std::unique_ptr<platform::File> f, RewritingEnv* e) : file(std::move(f)), env(e) {}
    std::int64_t Read(void* buffer, std::uint32_t n) override {
      if (!env->rewritten_ && read >= env->after_) {
        env->rewritten_ = true;
        fstest::WriteFile(env->path_, env->content_);
        fstest::SetMTime(env->path_, kT2, 500000000);
      }
      const std::int64_t r = file->Read(buffer, n);
      if (r > 0) read += r;
      return r;
    }
    std::int64_t Write(const void* b, std::uint32_t n) override { return file->Write(b, n); }
    bool SetLastWriteTime(platform::FileTime t) override { return file->SetLastWriteTime(t); }
    bool Sync() override { return file->Sync(); }
    bool SetAccess(const platform::FileAccess& a) override { return file->SetAccess(a); }
    std::unique_ptr<platform::File> file;
    RewritingEnv* env;
    std::int64_t read = 0;
  };

  const std::string path_;
  const std::string content_;
  const std::int64_t after_;
  bool rewritten_ = false;
};

TEST(SyncRewriteDuringUploadTest, AFileRewrittenWhileSentIsNeverStoredTorn) {
  SKIP_IN_SNAPSHOT_LAYOUT("its edits carry fixed times in the past");
  if (!TestServers::Get().ok) GTEST_SKIP() << TestServers::Get().error;
  StoreFixture fixture;
  ASSERT_TRUE(fixture.UseServer("syncrewrite", 0));
  const std::string bucket = StoreFixture::UniqueBucket("syncrewrite-root");
  ASSERT_TRUE(RawS3::CreateBucket(bucket));
  Machine a;
  Machine b;
  const std::string first = RandomBytes(5000, 1);
  const std::string second = RandomBytes(5000, 2);
  const std::string third = RandomBytes(5000, 3);
  a.Put("doc.bin", first, kT1);
  ASSERT_EQ(a.Sync(bucket, nullptr), KELTOS3_SYNC_OK);
  ASSERT_EQ(b.Sync(bucket, nullptr), KELTOS3_SYNC_OK);

  // The second content is saved, and saved again (same size, same second)
  // while the upload has read 2 KiB of it.
  a.Put("doc.bin", second, kT2);
  std::vector<SeenAction> actions;
  {
    RewritingEnv env(a.tree.At("doc.bin"), third, 2048);
    platform::ScopedEnvOverride override_env(&env);
    ASSERT_EQ(a.Sync(bucket, &actions), KELTOS3_SYNC_OK);
    ASSERT_TRUE(env.rewritten());
  }
  EXPECT_EQ(LiveTransfers(actions), 0) << ::testing::PrintToString(Describe(actions));
  ASSERT_EQ(b.Sync(bucket, nullptr), KELTOS3_SYNC_OK);
  EXPECT_TRUE(fstest::ReadFile(b.tree.At("doc.bin")) == first) << "not the version stored before";

  // The next run sends what the file now holds.
  ASSERT_EQ(a.Sync(bucket, &actions), KELTOS3_SYNC_OK);
  EXPECT_EQ(LiveTransfers(actions), 1);
  ASSERT_EQ(b.Sync(bucket, nullptr), KELTOS3_SYNC_OK);
  EXPECT_TRUE(fstest::ReadFile(b.tree.At("doc.bin")) == third) << "not the saved content";
  EXPECT_TRUE(fstest::ReadFile(a.tree.At("doc.bin")) == third);
}

}  // namespace
}  // namespace testsupport::synctest

