// A test's view of the stored-file layer: a TestEnv installed for the
// test's lifetime, a Kelto.ini pointing the library at the S3 test server
// (or at the scripted stub), and fresh bucket names so that tests running
// at the same time never see each other's objects.

#ifndef KELTOS3_TESTS_SUPPORT_STORE_FIXTURE_H_
#define KELTOS3_TESTS_SUPPORT_STORE_FIXTURE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/env.h"
#include "support/ini_fixture.h"
#include "support/test_env.h"
#include "support/test_servers.h"

namespace testsupport {

// How the library signs its requests and addresses buckets.
enum class Protocol {
  kDefaults,    // signature version 2, virtual-hosted buckets
  kV4PathStyle  // "SignatureVersion=4", "PathStyle=1"
};

// Both, for suites that run a representative set of cases under each:
//   INSTANTIATE_TEST_SUITE_P(Protocols, SomeTest,
//                            ::testing::ValuesIn(kAllProtocols), ProtocolName);
constexpr Protocol kAllProtocols[] = {Protocol::kDefaults, Protocol::kV4PathStyle};
std::string ProtocolName(const ::testing::TestParamInfo<Protocol>& info);

// The INI lines of `protocol` ("" for the defaults).
std::string ProtocolLines(Protocol protocol);

// A fixture whose virtual `Protocol protocol() const` says how it sets up,
// made into one whose cases run under each protocol:
//   using SomeProtocolTest = ProtocolSuite<SomeTest>;
//   INSTANTIATE_TEST_SUITE_P(Protocols, SomeProtocolTest, ...);
//   TEST_P(SomeProtocolTest, Case) { ... }
template <typename Fixture>
class ProtocolSuite : public Fixture, public ::testing::WithParamInterface<Protocol> {
 protected:
  Protocol protocol() const override { return this->GetParam(); }
};

// What goes into the INI.
struct StoreSettings {
  std::string bucket;       // "QuexBucket"
  std::string data_bucket;  // "QuexDataBucket"
  int32_t buffer_size = 0;  // "QuexS3BufferSize"; 0 leaves the key out
  bool use_stub = false;    // the stub server's port instead of the S3 server's
  Protocol protocol = Protocol::kDefaults;
  int32_t request_pause = 0;  // "RequestPause"
  std::string extra;        // further "KEY=value\n" lines
};

class StoreFixture {
 public:
  StoreFixture();
  StoreFixture(const StoreFixture&) = delete;
  StoreFixture& operator=(const StoreFixture&) = delete;
  ~StoreFixture();

  // A bucket name no other test uses: `hint` (lower case) plus this
  // process's id and a counter.
  static std::string UniqueBucket(const std::string& hint);

  // Creates two fresh buckets on the S3 server and writes an INI naming
  // them, with the given chunk size and protocol.  Returns false when a
  // bucket could not be created.
  bool UseServer(const std::string& hint, int32_t buffer_size,
                 Protocol protocol = Protocol::kDefaults);

  // Writes the INI.
  void WriteSettings(const StoreSettings& settings);

  const StoreSettings& settings() const { return settings_; }
  const std::string& bucket() const { return settings_.bucket; }
  const std::string& data_bucket() const { return settings_.data_bucket; }
  TestEnv& env() { return *env_; }
  IniFixture& ini() { return *ini_; }

 private:
  std::unique_ptr<TestEnv> env_;
  std::unique_ptr<platform::ScopedEnvOverride> override_;
  std::unique_ptr<IniFixture> ini_;
  StoreSettings settings_;
};

// Bytes that differ from one call to the next (a fixed seed per call number).
std::string RandomBytes(size_t length, uint32_t seed);

// `text` with every chunk token ("20261208T011523Z-" and 16 hexadecimal
// digits, which differ from one version to the next) replaced by "<t>", so
// that chunk keys of new versions can be compared:
// "$chunk$/a.txt_<t>_00000".
std::string WithoutTokens(const std::string& text);
std::vector<std::string> WithoutTokens(const std::vector<std::string>& texts);

// Wide text for the exported functions.
std::wstring Wide(const std::u16string& text);

// The ";"-terminated entries of a GetDirList text.
std::vector<std::u16string> SplitDirList(const wchar_t* text);

// A listing document for the stub: `keys` with their sizes.
std::string StubListing(const std::vector<std::pair<std::string, uint64_t>>& keys,
                        bool truncated);

// JSON string literal of `text` (quotes included).
std::string JsonString(const std::string& text);

}  // namespace testsupport

#endif  // KELTOS3_TESTS_SUPPORT_STORE_FIXTURE_H_
