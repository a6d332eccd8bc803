// The libcurl implementation of the HTTP handles of platform/http.h.

#ifndef KELTOS3_SRC_PLATFORM_HTTP_CURL_H_
#define KELTOS3_SRC_PLATFORM_HTTP_CURL_H_

#include <memory>

#include "platform/http.h"

namespace platform {

// Opens a session whose exchanges run on libcurl.  Returns null when libcurl
// cannot be initialised.
std::unique_ptr<HttpSession> OpenCurlHttpSession(const HttpSessionOptions& options);

}  // namespace platform

#endif  // KELTOS3_SRC_PLATFORM_HTTP_CURL_H_
