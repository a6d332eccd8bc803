// Settings for a test: a temporary folder holding a pretend host
// executable "<dir>/bin/host" (the TestEnv reports it as the executable) and
// its Kelto.ini "<dir>/bin/Kelto.ini", which the test writes.

#ifndef KELTOS3_TESTS_SUPPORT_INI_FIXTURE_H_
#define KELTOS3_TESTS_SUPPORT_INI_FIXTURE_H_

#include <string>

#include "support/temp_dir.h"
#include "support/test_env.h"

namespace testsupport {

class IniFixture {
 public:
  // Points env's executable path into a fresh temporary folder.
  explicit IniFixture(TestEnv* env);

  TempDir& dir() { return dir_; }

  // POSIX and library paths of the Kelto.ini beside the executable.
  std::string ini_posix_path() const;
  std::u16string ini_path() const;

  // Writes "[ONLINE]\n" followed by `lines` as the Kelto.ini, and then the
  // lines of the environment variable KELTOS3_TEST_INI_EXTRA when it is set
  // (tests/interop/interop.sh chooses the signature version and addressing
  // style that way; a key `lines` names already keeps its value there).
  void WriteOnline(const std::string& lines) const;
  // Writes `bytes` as the Kelto.ini.
  void WriteRaw(const std::string& bytes) const;

 private:
  TempDir dir_;
};

// The INI form of a credential: the text scrambled, then written as hex,
// four digits per character, low byte first (upper-case digits).
std::string ScrambledHex(const std::u16string& plain);

}  // namespace testsupport

#endif  // KELTOS3_TESTS_SUPPORT_INI_FIXTURE_H_
