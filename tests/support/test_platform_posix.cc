#include <stdlib.h>
#include <unistd.h>

#include "support/test_platform.h"

namespace testsupport {

long CurrentProcessId() { return static_cast<long>(::getpid()); }

void SetEnv(const std::string& name, const std::string& value) {
  ::setenv(name.c_str(), value.c_str(), 1);
}

void UnsetEnv(const std::string& name) { ::unsetenv(name.c_str()); }

std::string HostPath(const std::string& posix_path) { return posix_path; }

bool IniReadsAreSeen() { return true; }

}  // namespace testsupport
