// keltos3's commands that talk to S3, run as a user runs them against the
// S3 test server: buckets, error lines, the trace, Ctrl-C, output forms and
// the paths put and get accept.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "KeltoS3.h"
#include "cli/cli_test_util.h"
#include "support/store_fixture.h"
#include "support/temp_dir.h"
#include "support/test_layout.h"

namespace {

using testsupport::BackgroundProcess;
using testsupport::ProcessResult;
using testsupport::RunProcess;
using testsupport::StoreFixture;

class Keltos3StoreCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testsupport::TestServers::Get().ok) GTEST_SKIP() << testsupport::TestServers::Get().error;
  }

  std::map<std::string, std::optional<std::string>> Env() const {
    auto env = testsupport::Keltos3Env(home_.path(), store_.ini().ini_posix_path());
    for (const auto& [name, value] : extra_env_) env[name] = value;
    return env;
  }
  ProcessResult Run(const std::vector<std::string>& args) {
    return RunProcess(testsupport::Keltos3Argv(args), Env());
  }
  // Replaces the INI line that starts with `key` + "=".
  void SetIniLine(const std::string& key, const std::string& line) {
    std::string text = store_.ini().dir().ReadFile("bin/Kelto.ini");
    const size_t at = text.find("\n" + key + "=");
    ASSERT_NE(at, std::string::npos) << key;
    text.replace(at + 1, text.find('\n', at + 1) - at - 1, line);
    store_.ini().WriteRaw(text);
  }
  std::string Put(const std::string& content, const std::string& path) {
    home_.WriteFile("upload", content);
    const ProcessResult r = Run({"put", home_.PathOf("upload"), path});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r.out.substr(0, r.out.find('\n'));
  }
  // Waits (up to a minute) until `ready` holds.
  template <typename Ready>
  static bool Await(Ready ready) {
    for (int i = 0; i < 6000; ++i) {
      if (ready()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  mutable StoreFixture store_;
  testsupport::TempDir home_;
  std::map<std::string, std::optional<std::string>> extra_env_;
};

// mb creates the two buckets the settings name; check names a missing one,
// ls, du and put refuse to run without their buckets, and get names them.
TEST_F(Keltos3StoreCliTest, MbCreatesTheBucketsCheckNamesAMissingOne) {
  testsupport::StoreSettings settings;
  settings.bucket = StoreFixture::UniqueBucket("mb-b");
  settings.data_bucket = StoreFixture::UniqueBucket("mb-d");
  store_.WriteSettings(settings);
  ProcessResult r = Run({"check"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.out.find("MISSING   backup bucket '" + settings.bucket + "'"), std::string::npos);
  EXPECT_NE(r.out.find("MISSING   data bucket '" + settings.data_bucket + "'"), std::string::npos);
  home_.WriteFile("f", "data");
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"ls"}, {"du"}, {"put", home_.PathOf("f"), "/f"}, {"get", "/f", home_.PathOf("g")}}) {
    r = Run(args);
    EXPECT_EQ(r.exit_code, 1) << args[0];
    EXPECT_NE(r.err.find("does not exist; create it with 'keltos3 mb'"), std::string::npos) << r.err;
  }
  // sync names the bucket of its remote root.
  std::filesystem::create_directories(home_.PathOf("tree"));
  r = Run({"sync", home_.PathOf("tree"), home_.PathOf("catalog"), settings.bucket + "/docs"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("the bucket '" + settings.bucket + "' does not exist; create it with "
                       "'keltos3 mb " + settings.bucket + "'"),
            std::string::npos)
      << r.err;

  EXPECT_EQ(Run({"mb", "Not_A_Bucket"}).exit_code, 2);
  r = Run({"mb"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "created   " + settings.bucket + "\ncreated   " + settings.data_bucket + "\n");
  EXPECT_EQ(Run({"mb"}).out, "exists    " + settings.bucket + "\nexists    " +
                                 settings.data_bucket + "\n");
  r = Run({"check"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  r = Run({"ls"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "");
}

// The one error line says what went wrong: the S3 code, "certificate", the
// system's reason for a local failure.
TEST_F(Keltos3StoreCliTest, ErrorsNameTheirCause) {
  ASSERT_TRUE(store_.UseServer("cli-cause", 0));
  ProcessResult r = Run({"put", home_.PathOf("missing.txt"), "/a"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("missing.txt: No such file or directory"), std::string::npos) << r.err;

  // A disk too small for what get writes (a tmpfs of 16 KiB, mounted for the
  // one process).
  const std::string name = Put(testsupport::RandomBytes(100000, 1), "/big.bin");
  home_.WriteFile("small/.keep", "");
  std::vector<std::string> argv = {"/usr/bin/unshare", "--mount", "/bin/sh", "-c",
                                   "mount -t tmpfs -o size=16k tmpfs \"$0\" && exec \"$@\"",
                                   home_.PathOf("small")};
  for (const std::string& arg : testsupport::Keltos3Argv({"get", name, home_.PathOf("small/out")})) {
    argv.push_back(arg);
  }
  r = RunProcess(argv, Env());
  if (r.err.find("mount") == std::string::npos && r.err.find("unshare") == std::string::npos) {
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
  }

  const std::string secret_line = "PASSWORD=" + testsupport::ScrambledHex(u"wrong-secret");
  SetIniLine("PASSWORD", secret_line);
  r = Run({"ls"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("SignatureDoesNotMatch: The request signature"), std::string::npos) << r.err;

  store_.WriteSettings(store_.settings());
  SetIniLine("CACertFile", "CACertFile=");
  r = Run({"check"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("certificate"), std::string::npos) << r.err;

  // An endpoint that is not there, and an empty store that is.
  store_.WriteSettings(store_.settings());
  EXPECT_EQ(Run({"rm", name}).exit_code, 0);
  r = Run({"du"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "0 bytes\n");
  SetIniLine("S3Port", "S3Port=1");
  for (const char* command : {"ls", "du"}) {
    r = Run({command});
    EXPECT_EQ(r.exit_code, 1) << command;
    EXPECT_EQ(r.out, "") << command;
    EXPECT_NE(r.err.find("connect"), std::string::npos) << r.err;
  }
}

// One newline-terminated line per request; the trace file is never reached
// through a link, and a FIFO never holds the program.
TEST_F(Keltos3StoreCliTest, TraceHasOneLinePerRequestAndItsFileIsOpenedSafely) {
  ASSERT_TRUE(store_.UseServer("cli-trace", 0));
  ProcessResult r = Run({"ls", "-v"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("GET " + store_.bucket() + "/ 200 "), std::string::npos) << r.err;

  SetIniLine("PASSWORD", "PASSWORD=" + testsupport::ScrambledHex(u"wrong-secret"));
  extra_env_["KELTOS3_TRACE"] = home_.PathOf("trace.log");
  EXPECT_EQ(Run({"check"}).exit_code, 1);
  const std::string trace = home_.ReadFile("trace.log");
  ASSERT_FALSE(trace.empty());
  EXPECT_EQ(trace.back(), '\n');
  std::istringstream lines(trace);
  std::string line;
  int requests = 0;
  while (std::getline(lines, line)) {
    if (line == "SignatureDoesNotMatch") continue;  // the event log's copy
    const std::string start = "GET / 403 SignatureDoesNotMatch ";
    EXPECT_EQ(line.rfind(start, 0), 0u) << line;
    EXPECT_GT(line.size(), start.size() + 3) << line;
    EXPECT_EQ(line.substr(line.size() - 3), " ms") << line;
    ++requests;
  }
  EXPECT_GE(requests, 1);

  home_.WriteFile("victim", "precious");
  std::filesystem::create_symlink(home_.PathOf("victim"), home_.PathOf("link.log"));
  extra_env_["KELTOS3_TRACE"] = home_.PathOf("link.log");
  EXPECT_EQ(Run({"check"}).exit_code, 1);
  EXPECT_EQ(home_.ReadFile("victim"), "precious");

  ASSERT_EQ(::mkfifo(home_.PathOf("fifo").c_str(), 0600), 0);
  extra_env_["KELTOS3_TRACE"] = home_.PathOf("fifo");
  BackgroundProcess check(testsupport::Keltos3Argv({"check"}), Env());
  EXPECT_EQ(check.Wait(60).exit_code, 1);
}

// The first Ctrl-C stops put and get cleanly: put removes the chunks it
// stored, get its work file; exit status 130.
TEST_F(Keltos3StoreCliTest, CtrlCStopsPutAndGetCleanly) {
  ASSERT_TRUE(store_.UseServer("cli-sigint", 4096));
  const std::string stored = Put(testsupport::RandomBytes(2 << 20, 2), "/kept.bin");
  const unsigned long long kept = GetUsedSpace();
  ASSERT_EQ(kept, 2u << 20);

  home_.WriteFile("big", testsupport::RandomBytes(8 << 20, 3));
  BackgroundProcess put(testsupport::Keltos3Argv({"put", home_.PathOf("big"), "/big.bin"}), Env());
  ASSERT_TRUE(Await([&] { return GetUsedSpace() > kept; }));
  put.Signal(SIGINT);
  ProcessResult r = put.Wait(120);
  EXPECT_EQ(r.exit_code, 130) << r.err;
  EXPECT_NE(r.err.find("interrupted; the chunks stored so far were removed"), std::string::npos)
      << r.err;
  EXPECT_EQ(GetUsedSpace(), kept);
  EXPECT_EQ(Run({"ls"}).out.find("big.bin"), std::string::npos);

  home_.WriteFile("into/.keep", "");
  BackgroundProcess get(testsupport::Keltos3Argv({"get", stored, home_.PathOf("into")}), Env());
  const auto work_files = [&]() {
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(home_.PathOf("into"))) {
      n += entry.path().filename().string().find(".keltos3-") != std::string::npos;
    }
    return n;
  };
  ASSERT_TRUE(Await([&] { return work_files() > 0; }));
  get.Signal(SIGINT);
  r = get.Wait(120);
  EXPECT_EQ(r.exit_code, 130) << r.err;
  EXPECT_EQ(work_files(), 0);
  EXPECT_FALSE(home_.Exists("into/kept.bin"));
}

// ls: path, stored time and size in columns, --long adds the stored name;
// ls --json and du --json print one document.
TEST_F(Keltos3StoreCliTest, LsAndDuShowColumnsAndJson) {
  ASSERT_TRUE(store_.UseServer("cli-ls", 0));
  const std::string a = Put("six b.", "/docs/a.txt");
  const std::string b = Put(std::string(3000, 'x'), "/b.bin");
  ProcessResult r = Run({"ls", "--long"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // "\docs\a.txt  2024-05-01 10:00:00             6  <stored name>"
  std::map<std::string, std::vector<std::string>> columns;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::vector<std::string> split;
    for (std::string word; words >> word && split.size() < 4;) split.push_back(word);
    columns[split.at(0)] = split;
  }
  ASSERT_EQ(columns.count("\\docs\\a.txt"), 1u) << r.out;
  const std::vector<std::string>& row = columns.at("\\docs\\a.txt");
  EXPECT_EQ(row.at(1).size(), 10u);  // 2024-05-01
  EXPECT_EQ(row.at(2).size(), 8u);   // 10:00:00
  EXPECT_EQ(row.at(3), "6");
  EXPECT_NE(r.out.find("  " + a + "\n"), std::string::npos) << r.out;
  EXPECT_EQ(columns.at("\\docs\\"), (std::vector<std::string>{"\\docs\\", "-", "-"}));
  if (!::testsupport::IsSnapshotRun()) {
    EXPECT_EQ(Run({"ls"}).out.find(b), std::string::npos);  // stored names only with --long
  }

  r = Run({"ls", "--json"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const nlohmann::json listing = nlohmann::json::parse(r.out);
  int files = 0;
  for (const auto& entry : listing.at("entries")) {
    if (entry.at("type") != "file") continue;
    ++files;
    EXPECT_EQ(entry.at("size"), entry.at("stored_name") == a ? 6 : 3000);
  }
  EXPECT_EQ(files, 2);
  r = Run({"du", "--json"});
  EXPECT_EQ(nlohmann::json::parse(r.out).at("bytes"), 3006);
}

// put refuses names that would store an empty name or unremovable folder
// markers before storing anything; get writes into a directory and replaces
// a file only with --force, never through a planted work-file link.
TEST_F(Keltos3StoreCliTest, PutAndGetPoliceTheirPaths) {
  ASSERT_TRUE(store_.UseServer("cli-paths", 0));
  home_.WriteFile("f.txt", "content");
  for (const char* path : {"/", "", "/a/../b", "a//b", "/a/./b", "/dir/"}) {
    const ProcessResult r = Run({"put", home_.PathOf("f.txt"), path});
    EXPECT_EQ(r.exit_code, 2) << path;
  }
  EXPECT_EQ(Run({"ls"}).out, "");

  const std::string name = Put("content", "/docs/f.txt");
  home_.WriteFile("out/.keep", "");
  ProcessResult r = Run({"get", name, home_.PathOf("out")});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(home_.ReadFile("out/f.txt"), "content");

  home_.WriteFile("out/f.txt", "mine");
  r = Run({"get", name, home_.PathOf("out/f.txt")});
  EXPECT_EQ(r.exit_code, 4);
  EXPECT_EQ(home_.ReadFile("out/f.txt"), "mine");

  home_.WriteFile("victim", "precious");
  std::filesystem::create_symlink(home_.PathOf("victim"), home_.PathOf("out/f.txt.keltos3-part"));
  r = Run({"get", name, home_.PathOf("out/f.txt"), "--force"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("replaced"), std::string::npos);
  EXPECT_EQ(home_.ReadFile("out/f.txt"), "content");
  EXPECT_EQ(home_.ReadFile("victim"), "precious");
  struct stat st;
  ASSERT_EQ(::stat(home_.PathOf("out/f.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

}  // namespace
