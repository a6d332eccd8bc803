// Running the built keltos3 the way a user does: a home folder of its own,
// no settings or credentials from the test runner's environment, and the
// library under test (the standard one, or the snapshot-assisted one for
// the snapshot test binary).

#ifndef KELTOS3_TESTS_CLI_CLI_TEST_UTIL_H_
#define KELTOS3_TESTS_CLI_CLI_TEST_UTIL_H_

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/subprocess.h"
#include "support/test_layout.h"
#include "support/test_paths.h"

namespace testsupport {

inline const std::string& Keltos3Binary() {
  static const std::string path = std::string(kTestBinaryDir) + "/keltos3";
  return path;
}

// The environment of one user: HOME as given, KELTOS3_INI as given (nullopt:
// unset), nothing else that would steer keltos3.
inline std::map<std::string, std::optional<std::string>> Keltos3Env(
    const std::string& home, const std::optional<std::string>& ini) {
  return {{"HOME", home},
          {"KELTOS3_INI", ini},
          {"XDG_CONFIG_HOME", std::nullopt},
          {"KELTOS3_TRACE", std::nullopt},
          {"AWS_ACCESS_KEY_ID", std::nullopt},
          {"AWS_SECRET_ACCESS_KEY", std::nullopt},
          {"LD_LIBRARY_PATH", TestLibraryDir()}};
}

inline std::vector<std::string> Keltos3Argv(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {Keltos3Binary()};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

}  // namespace testsupport

#endif  // KELTOS3_TESTS_CLI_CLI_TEST_UTIL_H_
