// The WinINet implementation of the HTTP handles of platform/http.h, the
// default of the Win32 Env.
//
// What the server sees: the caller's header lines, plus what WinINet itself
// adds to every request: Host, "User-Agent: User-Agent" (the agent name the
// session is opened with), Content-Length for a body and for every method
// but GET, and "Cache-Control: no-cache" on a request other than GET (which
// WinINet adds because nothing is written to its cache).  Cookies, automatic
// redirects and, without a proxy, automatic authentication are turned off,
// so no Cookie or Authorization line of WinINet's own goes out and no
// request is repeated elsewhere.
//
// Differences from the libcurl backend, all facts of the platform:
// - Trust: certificates are always verified, against the Windows
//   certificate store (under Wine: the prefix's store, which includes the
//   host's CA bundle).  HttpSessionOptions::ca_cert_file is not used: WinINet
//   takes no certificate file, so a private CA is trusted by importing it
//   into the store.
// - Header lines and the request target must be ASCII: WinINet sends them in
//   the ANSI code page, which would change other bytes after they were
//   signed, so such a line or target is refused.
// - Timeouts: connecting is given 30 seconds; a send or a receive that moves
//   no byte for 60 seconds fails.  The exchange's deadline counts the time
//   the WinINet calls of a request spend waiting; a call under way is not
//   cut short, so an exchange ends at most one such timeout after its
//   deadline.
// - A streamed send gives its status and answer only after its last byte:
//   the answer is awaited (HttpEndRequestW) by the first query or read after
//   the last WriteData.  An error answer that arrives before the whole body
//   went out is read when writing fails; the rest of the body is then
//   dropped, as WriteData promises.
// - Through a proxy, a streamed body is collected and goes out in one call
//   when its last byte is written: a proxy that asks for authentication
//   makes WinINet send the request a second time, which it can do only with
//   a body it was handed whole.  The server sees the same request; the
//   body is held in memory once more while it is collected.
// - Connections are kept alive in WinINet's process-wide pool and reused by
//   later exchanges with the same server.

#ifndef KELTOS3_SRC_PLATFORM_HTTP_WIN32_H_
#define KELTOS3_SRC_PLATFORM_HTTP_WIN32_H_

#include <memory>

#include "platform/http.h"

namespace platform {

// Opens a WinINet session (InternetOpenW) with the given options.  Returns
// null when the session cannot be opened, or when a proxy is asked for but
// not named.
std::unique_ptr<HttpSession> OpenWinInetHttpSession(
    const HttpSessionOptions& options);

}  // namespace platform

#endif  // KELTOS3_SRC_PLATFORM_HTTP_WIN32_H_
