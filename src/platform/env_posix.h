// The POSIX Env with the settings that Env::Default() fixes, for tests that
// need the real implementation pointed somewhere private.

#ifndef KELTOS3_SRC_PLATFORM_ENV_POSIX_H_
#define KELTOS3_SRC_PLATFORM_ENV_POSIX_H_

#include <memory>
#include <string>

#include "platform/env.h"

namespace platform {

struct PosixEnvOptions {
  // Socket of the system log that event records go to (platform/system_log.h).
  std::string log_socket = "/dev/log";
};

// A POSIX Env of its own; Env::Default() is one with the default options.
std::unique_ptr<Env> NewPosixEnv(const PosixEnvOptions& options);

}  // namespace platform

#endif  // KELTOS3_SRC_PLATFORM_ENV_POSIX_H_
