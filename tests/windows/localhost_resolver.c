/* Preloaded into the Wine processes of the Windows test run: a host name
 * ending in ".localhost" resolves to the loopback address, as libcurl and
 * browsers resolve it themselves.  The test servers address buckets by
 * name (BUCKET.s3.localhost), each test makes its own bucket names, and a
 * hosts file has no wildcards; every other name goes to the system
 * resolver unchanged.  Only this run's processes load it; the machine's
 * name resolution stays as it is. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netdb.h>
#include <stddef.h>
#include <string.h>
#include <strings.h>

typedef int (*getaddrinfo_fn)(const char*, const char*, const struct addrinfo*,
                              struct addrinfo**);

static int is_localhost_name(const char* node) {
  static const char suffix[] = ".localhost";
  const size_t k = sizeof suffix - 1;
  size_t n = strlen(node);
  if (n > 0 && node[n - 1] == '.') --n; /* a fully qualified name */
  return n > k && strncasecmp(node + n - k, suffix, k) == 0;
}

int getaddrinfo(const char* node, const char* service,
                const struct addrinfo* hints, struct addrinfo** res) {
  getaddrinfo_fn next = (getaddrinfo_fn)dlsym(RTLD_NEXT, "getaddrinfo");
  if (next == NULL) return EAI_SYSTEM;
  if (node != NULL && is_localhost_name(node)) {
    struct addrinfo numeric;
    if (hints != NULL) {
      numeric = *hints;
    } else {
      memset(&numeric, 0, sizeof numeric);
      numeric.ai_family = AF_UNSPEC;
    }
    if (numeric.ai_family == AF_INET6) return EAI_NONAME;
    numeric.ai_flags = (numeric.ai_flags | AI_NUMERICHOST) & ~AI_CANONNAME;
    return next("127.0.0.1", service, &numeric, res);
  }
  return next(node, service, hints, res);
}
