#include <windows.h>

#include <cstdlib>

#include "support/test_platform.h"

namespace testsupport {

long CurrentProcessId() { return static_cast<long>(GetCurrentProcessId()); }

// _putenv_s updates the C runtime's copy and the process environment.
void SetEnv(const std::string& name, const std::string& value) {
  _putenv_s(name.c_str(), value.c_str());
}

void UnsetEnv(const std::string& name) { _putenv_s(name.c_str(), ""); }

std::string HostPath(const std::string& posix_path) {
  if (posix_path.empty() || posix_path[0] != '/') return posix_path;
  std::string out = "Z:" + posix_path;
  for (char& c : out) {
    if (c == '/') c = '\\';
  }
  return out;
}

bool IniReadsAreSeen() { return false; }

}  // namespace testsupport
