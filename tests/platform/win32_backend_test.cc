// What the Win32 backend adds to the shared suite: the system's named mutex
// held the way NamedMutex promises, and names that would reach an alternate
// data stream or a device instead of a file.

#if defined(_WIN32)

#include "platform/win32_api.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <vector>

#include "fs/local_file_system.h"
#include "fs/virtual_file_system.h"
#include "platform/env.h"
#include "platform/file.h"
#include "platform/named_mutex.h"
#include "support/temp_dir.h"

namespace {

using platform::FileOpenMode;
using testsupport::TempDir;

bool TryLockElsewhere(const std::string& name) {
  return std::async(std::launch::async, [&name] {
           platform::NamedMutex other(name);
           const bool taken = other.TryLock();
           if (taken) other.Unlock();
           return taken;
         }).get();
}

TEST(Win32NamedMutexTest, ExcludesOtherThreadsAndIsNotRecursive) {
  const std::string name = "KeltoS3 test mutex " + std::to_string(::GetCurrentProcessId());
  platform::NamedMutex mutex(name);
  ASSERT_TRUE(mutex.valid());
  ASSERT_TRUE(mutex.Lock());
  EXPECT_FALSE(TryLockElsewhere(name));
  // A second Lock of the holder is no second hold: one Unlock frees it.
  EXPECT_TRUE(mutex.Lock());
  mutex.Unlock();
  EXPECT_TRUE(TryLockElsewhere(name));

  // A holder that goes away releases the mutex.
  auto held = std::make_unique<platform::NamedMutex>(name);
  ASSERT_TRUE(held->TryLock());
  held.reset();
  EXPECT_TRUE(TryLockElsewhere(name));
}

// Destroys a file system through Release.
template <typename Fs>
struct Released {
  void operator()(Fs* fs) const { fs->Release(); }
};

std::vector<std::wstring> Names(const std::u16string& directory) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  const HANDLE find =
      ::FindFirstFileW((platform::ToWide(directory) + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (::FindNextFileW(find, &data));
  ::FindClose(find);
  return names;
}

// A remote key such as "docs/a.txt:x" must not become a stream of a local
// file (or, where streams are not kept, a file of another name).
TEST(Win32FilesTest, StreamAndDeviceNamesNameNoFile) {
  TempDir dir;
  dir.WriteFile("source/a.txt", "remote text");
  dir.WriteFile("tree/a.txt", "the user's text");
  platform::Env* env = platform::CurrentEnv();
  const std::u16string stream = dir.LibraryPathOf("tree/a.txt") + u":hidden";

  EXPECT_EQ(env->OpenFile(stream, FileOpenMode::kCreateAlways), nullptr);
  EXPECT_TRUE(env->IsFileInUse(stream));
  EXPECT_FALSE(env->CreateDirectory(dir.LibraryPathOf("tree/d:x")));
  EXPECT_EQ(env->OpenFile(u"\\\\.\\NUL", FileOpenMode::kExistingReadWrite), nullptr);
  EXPECT_EQ(env->OpenFile(dir.LibraryPathOf("tree/NUL"), FileOpenMode::kCreateAlways), nullptr);
  EXPECT_TRUE(env->IsFileInUse(dir.LibraryPathOf("tree/NUL")));

  // A copy to such a name and a catalog record of one make nothing.
  std::unique_ptr<CLocalFileSystem, Released<CLocalFileSystem>> tree(new CLocalFileSystem());
  tree->SetRoot(dir.LibraryPathOf("tree"));
  std::unique_ptr<CVirtualFileSystem, Released<CVirtualFileSystem>> catalog(
      new CVirtualFileSystem());
  catalog->SetRoot(dir.LibraryPathOf("tree"));
  std::unique_ptr<CLocalFileSystem, Released<CLocalFileSystem>> source(new CLocalFileSystem());
  source->SetRoot(dir.LibraryPathOf("source"));
  EXPECT_EQ(tree->CopyFileFrom(tree->GetRoot(), u"\\a.txt:x", source.get(), source->GetRoot(),
                               u"\\a.txt"),
            1);
  catalog->WriteFileFrom(u"\\b.txt:y", source.get());
  EXPECT_EQ(Names(dir.LibraryPathOf("tree")), std::vector<std::wstring>{L"a.txt"});
  EXPECT_EQ(dir.ReadFile("tree/a.txt"), "the user's text");
}

}  // namespace

#endif  // defined(_WIN32)
