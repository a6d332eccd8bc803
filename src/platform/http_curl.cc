#include "platform/http_curl.h"

namespace platform {

// Placeholder until the libcurl exchange lands: no session can be opened.
std::unique_ptr<HttpSession> OpenCurlHttpSession(const HttpSessionOptions&) {
  return nullptr;
}

}  // namespace platform
