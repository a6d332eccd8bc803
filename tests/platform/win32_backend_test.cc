// What the Win32 backend adds to the shared suite: the system's named mutex
// held the way NamedMutex promises, names that would reach an alternate
// data stream or a device instead of a file, and WinINet exchanges held to
// their deadline.

#if defined(_WIN32)

#include "platform/win32_api.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "fs/local_file_system.h"
#include "fs/virtual_file_system.h"
#include "platform/env.h"
#include "platform/file.h"
#include "platform/http_win32.h"
#include "platform/named_mutex.h"
#include "platform/profile.h"
#include "support/temp_dir.h"
#include "support/test_servers.h"

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

// Settings come only from a disk file: an INI path that names a device or
// a pipe gives the defaults instead of reading (or waiting on) it.
TEST(Win32FilesTest, SettingsAreReadOnlyFromDiskFiles) {
  TempDir dir;
  dir.WriteFile("k.ini", "[ONLINE]\nk=from file\n");
  std::u16string value;
  EXPECT_TRUE(platform::ReadProfileValue(u"ONLINE", u"k", u"def", dir.LibraryPathOf("k.ini"),
                                         &value));
  EXPECT_EQ(value, u"from file");
  for (const std::u16string& path :
       {dir.LibraryPathOf("CON"), std::u16string(u"\\\\.\\pipe\\keltos3-none"),
        dir.LibraryPathOf("k.ini") + u":s"}) {
    EXPECT_FALSE(platform::ReadProfileValue(u"ONLINE", u"k", u"def ", path, &value));
    EXPECT_EQ(value, u"def");
    char16_t buffer[8];
    EXPECT_EQ(platform::GetPrivateProfileString(u"ONLINE", u"k", u"def", buffer, 8, path), 3u);
  }
}

// A peer that answers without end, or a little at a time, is given up once
// the exchange has waited past its deadline, which grows with the answer.
TEST(Win32HttpTest, ExchangeEndsAtItsDeadlineWhichGrowsWithTheAnswer) {
  using testsupport::StubServer;
  using testsupport::TestServers;
  if (!TestServers::Get().ok) GTEST_SKIP() << TestServers::Get().error;
  const std::string bucket = "wininetdeadline";
  ASSERT_TRUE(StubServer::Reset(bucket));
  const std::string slow(4000, 's');
  std::string error;
  ASSERT_TRUE(StubServer::SetScript(
      bucket,
      R"([{"path": "/endless", "body": "x", "length": "none", "trickle_ms": 100,
           "endless": true},
          {"path": "/slow", "body": ")" + slow + R"(", "trickle_ms": 200,
           "trickle_bytes": 500}])",
      &error))
      << error;
  platform::HttpSessionOptions options;
  options.deadline_base_ms = 1000;
  options.deadline_bytes_per_second = 1000;
  auto session = platform::OpenWinInetHttpSession(options);
  ASSERT_NE(session, nullptr);
  auto connection = session->Connect(bucket + "." + TestServers::Get().s3_host,
                                     static_cast<std::uint16_t>(TestServers::Get().stub_port));
  ASSERT_NE(connection, nullptr);
  // The rest of the answer; *ok is false when a read failed.
  auto read_all = [](platform::HttpRequestHandle* request, bool* ok) {
    std::string out;
    std::vector<std::uint8_t> buffer(4095);
    std::uint32_t got = 0;
    while ((*ok = request->ReadData(buffer.data(), 4095, &got)) && got > 0) {
      out.append(reinterpret_cast<const char*>(buffer.data()), got);
    }
    return out;
  };

  const auto start = std::chrono::steady_clock::now();
  {
    auto request = connection->OpenRequest("GET", "/endless", true);
    ASSERT_TRUE(request->SendRequest(nullptr, 0));
    bool ok = true;
    read_all(request.get(), &ok);
    EXPECT_FALSE(ok);
    std::uint32_t status = 0;
    EXPECT_TRUE(request->QueryStatusCode(&status));  // the headers had come
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));

  // 1.6 seconds for 4000 bytes: past the base, within the base and the 4
  // seconds its size adds.
  auto request = connection->OpenRequest("GET", "/slow", true);
  ASSERT_TRUE(request->SendRequest(nullptr, 0));
  bool ok = false;
  EXPECT_TRUE(read_all(request.get(), &ok) == slow);
  EXPECT_TRUE(ok);
}

}  // namespace

#endif  // defined(_WIN32)
