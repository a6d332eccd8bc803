// What a Windows host sees of the platform itself: the settings come from
// "Kelto.ini" beside the host executable through GetPrivateProfileStringW,
// and an error answer of S3 becomes an event record (source
// "KeltoS3OnlineBackup", event 0xC0020001, the S3 code as its one string).
//
// These cases run on the real Windows environment, without a test Env, and
// write Kelto.ini beside the test program; the suite runs them alone
// (WindowsHost.*), with Wine's event-log channel captured, and checks the
// record in that output.

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "KeltoS3.h"
#include "common/wide_string.h"
#include "settings/s3_config.h"
#include "support/ini_fixture.h"
#include "support/store_fixture.h"
#include "support/test_platform.h"
#include "support/test_servers.h"

namespace {

using testsupport::StoreFixture;
using testsupport::TestServers;

std::filesystem::path ExecutableDirectory() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::filesystem::path(std::wstring(path, n)).parent_path();
}

// Kelto.ini beside the test program for the test's lifetime.
class IniBesideExecutable {
 public:
  explicit IniBesideExecutable(const std::string& lines)
      : path_(ExecutableDirectory() / "Kelto.ini") {
    testsupport::UnsetEnv("KELTOS3_INI");
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << "[ONLINE]\r\n" << lines;
  }
  ~IniBesideExecutable() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

std::string ServerLines(const std::string& data_bucket) {
  const TestServers& servers = TestServers::Get();
  return "ACCOUNT=" + testsupport::ScrambledHex(Utf8ToU16(servers.access_key)) + "\r\n" +
         "PASSWORD=" + testsupport::ScrambledHex(Utf8ToU16(servers.secret_key)) + "\r\n" +
         "S3Host=" + servers.s3_host + "\r\nS3Port=" + std::to_string(servers.s3_port) +
         "\r\nCACertFile=" + servers.ca_file + "\r\nRequestPause=0\r\n" +
         "QuexDataBucket=" + data_bucket + "\r\nQuexS3BufferSize=4096\r\n";
}

TEST(WindowsHost, SettingsComeFromKeltoIniBesideTheExecutable) {
  ASSERT_TRUE(TestServers::Get().ok) << TestServers::Get().error;
  IniBesideExecutable ini(ServerLines("windows-host-data") +
                          "QuexBucket = \"windows-host-backup\"\r\n");
  CS3Config config;
  EXPECT_EQ(std::filesystem::path(U16ToWide(config.GetIniPath())), ini.path());
  EXPECT_EQ(config.GetBucket(), u"windows-host-backup");
  EXPECT_EQ(config.GetDataBucket(), u"windows-host-data");
  EXPECT_EQ(config.GetBufferSize(), 4096);
  EXPECT_EQ(config.GetPort(), TestServers::Get().s3_port);
  EXPECT_EQ(config.GetAccount(), Utf8ToU16(TestServers::Get().access_key));
  EXPECT_EQ(config.GetProxyUserName(), u"anonymous");  // absent: the default
}

// The data bucket does not exist: the listing is answered with the S3
// error NoSuchBucket, which the library reports to the event log.
TEST(WindowsHost, AnS3ErrorAnswerIsReportedToTheEventLog) {
  ASSERT_TRUE(TestServers::Get().ok) << TestServers::Get().error;
  IniBesideExecutable ini(ServerLines(StoreFixture::UniqueBucket("never-made")));
  EXPECT_EQ(GetUsedSpace(), 0u);
  EXPECT_EQ(KeltoS3GetLastError(), 12500u);
}

}  // namespace
