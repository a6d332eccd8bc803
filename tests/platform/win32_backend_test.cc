// What only the Win32 backend can show: a file that another process holds
// open without sharing, Kelto.ini read through GetPrivateProfileStringW
// beside the real executable, and an S3 error answer written to the event
// log.  The event record itself is seen only outside the process (Wine
// reports it on its debug channels): tests/platform/event_record_under_wine.sh
// runs Win32EventLogTest and checks what Wine reported.

#if defined(_WIN32)

#include "platform/win32_api.h"

#include <gtest/gtest.h>

#include <string>

#include "common/wide_string.h"
#include "fs/local_file_system.h"
#include "platform/env.h"
#include "platform/last_error.h"
#include "s3/request_kinds.h"
#include "s3/s3_client.h"
#include "settings/ini.h"
#include "settings/s3_config.h"
#include "support/ini_fixture.h"
#include "support/temp_dir.h"
#include "support/test_servers.h"

namespace {

using testsupport::TempDir;

constexpr wchar_t kHoldFileVariable[] = L"KELTOS3_TEST_HOLD_FILE";
constexpr wchar_t kHoldReadyVariable[] = L"KELTOS3_TEST_HOLD_READY";
constexpr wchar_t kHoldReleaseVariable[] = L"KELTOS3_TEST_HOLD_RELEASE";
constexpr DWORD kHolderWaitMs = 60 * 1000;

std::wstring EnvironmentValue(const wchar_t* name) {
  wchar_t value[1024];
  const DWORD n = ::GetEnvironmentVariableW(name, value, 1024);
  return n > 0 && n < 1024 ? std::wstring(value, n) : std::wstring();
}

std::wstring ExecutablePath() {
  wchar_t path[2048];
  const DWORD n = ::GetModuleFileNameW(nullptr, path, 2048);
  return std::wstring(path, n);
}

// Sets an environment variable of this process for its lifetime.
class ScopedVariable {
 public:
  ScopedVariable(const wchar_t* name, const std::wstring& value) : name_(name) {
    ::SetEnvironmentVariableW(name, value.c_str());
  }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;
  ~ScopedVariable() { ::SetEnvironmentVariableW(name_, nullptr); }

 private:
  const wchar_t* const name_;
};

// A second process (this test program, running the disabled holder case
// below) that opens `path` for reading and writing without sharing and keeps
// it open until the object goes.
class FileHolder {
 public:
  explicit FileHolder(const std::u16string& path) {
    static int count = 0;
    const std::wstring suffix = std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                std::to_wstring(++count);
    const std::wstring ready_name = L"KeltoS3HoldReady-" + suffix;
    const std::wstring release_name = L"KeltoS3HoldRelease-" + suffix;
    ready_ = ::CreateEventW(nullptr, TRUE, FALSE, ready_name.c_str());
    release_ = ::CreateEventW(nullptr, TRUE, FALSE, release_name.c_str());
    const ScopedVariable file(kHoldFileVariable, platform::ToWide(path));
    const ScopedVariable ready(kHoldReadyVariable, ready_name);
    const ScopedVariable release(kHoldReleaseVariable, release_name);
    std::wstring command = L"\"" + ExecutablePath() +
                           L"\" --gtest_also_run_disabled_tests "
                           L"--gtest_filter=Win32FileHolder.DISABLED_HoldsTheFileUntilReleased";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    started_ = ::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE,
                                0, nullptr, nullptr, &startup, &process_) != 0;
    holding_ = started_ && ::WaitForSingleObject(ready_, kHolderWaitMs) == WAIT_OBJECT_0;
  }

  FileHolder(const FileHolder&) = delete;
  FileHolder& operator=(const FileHolder&) = delete;

  ~FileHolder() {
    ::SetEvent(release_);
    if (started_) {
      ::WaitForSingleObject(process_.hProcess, kHolderWaitMs);
      ::CloseHandle(process_.hThread);
      ::CloseHandle(process_.hProcess);
    }
    ::CloseHandle(ready_);
    ::CloseHandle(release_);
  }

  bool holding() const { return holding_; }

 private:
  HANDLE ready_ = nullptr;
  HANDLE release_ = nullptr;
  PROCESS_INFORMATION process_{};
  bool started_ = false;
  bool holding_ = false;
};

// The holder's side; runs only when FileHolder starts it.
TEST(Win32FileHolder, DISABLED_HoldsTheFileUntilReleased) {
  const std::wstring path = EnvironmentValue(kHoldFileVariable);
  if (path.empty()) GTEST_SKIP() << "started by FileHolder only";
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                    nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  const HANDLE ready = ::OpenEventW(EVENT_MODIFY_STATE, FALSE,
                                    EnvironmentValue(kHoldReadyVariable).c_str());
  const HANDLE release = ::OpenEventW(SYNCHRONIZE, FALSE,
                                      EnvironmentValue(kHoldReleaseVariable).c_str());
  ASSERT_NE(ready, nullptr);
  ASSERT_NE(release, nullptr);
  ::SetEvent(ready);
  ::WaitForSingleObject(release, kHolderWaitMs);
  ::CloseHandle(file);
  ::CloseHandle(ready);
  ::CloseHandle(release);
}

// Destroys a file system through Release.
struct ReleaseFileSystem {
  void operator()(CLocalFileSystem* fs) const { fs->Release(); }
};
using LocalFs = std::unique_ptr<CLocalFileSystem, ReleaseFileSystem>;

LocalFs LocalAt(const std::u16string& root) {
  LocalFs fs(new CLocalFileSystem());
  fs->SetRoot(root);
  return fs;
}

TEST(Win32ExclusiveOpenTest, AFileAnotherProcessHoldsIsInUseAndLeftAlone) {
  TempDir dir;
  dir.WriteFile("tree/a.txt", "the user's text");
  dir.WriteFile("remote/a.txt", "replacement");
  const std::u16string path = dir.LibraryPathOf("tree/a.txt");
  LocalFs tree = LocalAt(dir.LibraryPathOf("tree"));
  LocalFs remote = LocalAt(dir.LibraryPathOf("remote"));
  {
    FileHolder holder(path);
    ASSERT_TRUE(holder.holding());
    EXPECT_TRUE(platform::CurrentEnv()->IsFileInUse(path));
    EXPECT_EQ(tree->RemoveFile(u"\\a.txt"), 2);
    EXPECT_EQ(tree->UpdateFileFrom(u"\\a.txt", u"", remote.get(), 0), 2);
    EXPECT_EQ(tree->OpenStream(u"\\a.txt"), 2);
  }
  EXPECT_EQ(dir.ReadFile("tree/a.txt"), "the user's text");

  // Released: the same calls go through.
  EXPECT_FALSE(platform::CurrentEnv()->IsFileInUse(path));
  EXPECT_EQ(tree->UpdateFileFrom(u"\\a.txt", u"", remote.get(), 0), 0);
  EXPECT_EQ(dir.ReadFile("tree/a.txt"), "replacement");
  EXPECT_EQ(tree->RemoveFile(u"\\a.txt"), 0);
  EXPECT_FALSE(dir.Exists("tree/a.txt"));
}

TEST(Win32ProfileTest, ReadsKeltoIniBesideTheExecutable) {
  const std::wstring exe = ExecutablePath();
  const std::wstring ini = exe.substr(0, exe.rfind(L'\\')) + L"\\Kelto.ini";
  ASSERT_EQ(::GetFileAttributesW(ini.c_str()), INVALID_FILE_ATTRIBUTES)
      << "a Kelto.ini is already beside the test program";
  ::SetEnvironmentVariableW(L"KELTOS3_INI", nullptr);

  // UTF-16 with a byte-order mark: the form that carries any character.
  const std::u16string text =
      u"\xFEFF[ONLINE]\r\nACCOUNT=" + Utf8ToU16(testsupport::ScrambledHex(u"AKIDWIN32")) +
      u"\r\nQuexBucket=win-bucket\r\nQuexS3BufferSize=2097152 bytes\r\n"
      u"ProxyUserName=J\u00FCrgen\r\nLong=" + std::u16string(1500, u'x') + u"\r\n";
  const HANDLE file = ::CreateFileW(ini.c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ::WriteFile(file, text.data(), static_cast<DWORD>(text.size() * 2), &written, nullptr);
  ::CloseHandle(file);

  CS3Config config;
  const std::u16string account = config.GetAccount();
  const std::u16string bucket = config.GetBucket();
  const std::int32_t buffer_size = config.GetBufferSize();
  const std::u16string user = config.GetProxyUserName();
  const std::u16string data_bucket = config.GetDataBucket();
  CIni reader;
  reader.SetPathName(platform::FromWide(ini).c_str());
  const std::u16string long_value = reader.GetString(u"ONLINE", u"Long", u"");
  ::DeleteFileW(ini.c_str());

  EXPECT_EQ(account, u"AKIDWIN32");
  EXPECT_EQ(bucket, u"win-bucket");
  EXPECT_EQ(buffer_size, 2097152);
  EXPECT_EQ(user, u"J\u00FCrgen");
  EXPECT_EQ(data_bucket, u"quexs3data");  // missing key: the default
  EXPECT_EQ(long_value, std::u16string(1500, u'x'));
}

// Sends a request that S3 answers with an error document, through the real
// event log.  event_record_under_wine.sh checks the record Wine reports.
TEST(Win32EventLogTest, S3ErrorAnswerIsReportedToTheEventLog) {
  const testsupport::TestServers& servers = testsupport::TestServers::Get();
  ASSERT_TRUE(servers.ok) << servers.error;
  TempDir dir;
  dir.WriteFile("Kelto.ini",
                "[ONLINE]\nACCOUNT=" +
                    testsupport::ScrambledHex(Utf8ToU16(servers.access_key)) +
                    "\nPASSWORD=" +
                    testsupport::ScrambledHex(Utf8ToU16(servers.secret_key)) +
                    "\nS3Host=" + servers.s3_host +
                    "\nS3Port=" + std::to_string(servers.s3_port) +
                    "\nRequestPause=0\n");
  const ScopedVariable ini(L"KELTOS3_INI", platform::ToWide(dir.LibraryPathOf("Kelto.ini")));

  platform::SetLastError(0);
  S3Client client;
  GetObjectRequest missing(u"keltos3-no-such-bucket", u"a.txt");
  const S3Response response = client.GetObject(missing);
  EXPECT_EQ(response.m_iStatus, 404);
  EXPECT_EQ(platform::GetLastError(), platform::kLastErrorS3);
}

}  // namespace

#endif  // defined(_WIN32)
