// Access to the servers that tests/fixtures/servers.sh starts for the suite:
// where they listen, the scripted stub's control API, and plain signed S3
// requests for checking what really landed on the server without going
// through the library under test.
//
// Link: libcurl (CURL::libcurl) and Crypto++ (pkg-config libcrypto++).

#ifndef KELTOS3_TESTS_SUPPORT_TEST_SERVERS_H_
#define KELTOS3_TESTS_SUPPORT_TEST_SERVERS_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// Header name/value pairs in the order sent or received.
using HeaderList = std::vector<std::pair<std::string, std::string>>;

// First value of the header |name| (compared case-insensitively), or "".
std::string FindHeader(const HeaderList& headers, const std::string& name);

// The fields of servers.env.
struct TestServers {
  bool ok = false;    // false when the file could not be read or lacks a field
  std::string error;  // why, when !ok

  std::string state_dir;
  std::string servers_sh;  // absolute path of servers.sh
  std::string ca_file;     // CA certificate (PEM) that signed every server's
  std::string s3_host;     // endpoint host: "s3.localhost"
  int s3_port = 0;
  std::string access_key;
  std::string secret_key;
  // Stub server and proxy: 0 and "" when the file names none (a real S3
  // service started by tests/interop/ceph.sh has neither).
  int stub_port = 0;  // stub server, same host names as the S3 server
  std::string proxy;  // "127.0.0.1:port"
  std::string proxy_user;
  std::string proxy_password;
  // Buckets whose host names (bucket + "." + s3_host) the proxy can resolve.
  std::vector<std::string> proxy_buckets;
  // Where the S3 test server keeps its objects as files (a bucket's object
  // "a/b" is BUCKET/a/b._S3rver_object, its ETag in ._S3rver_object.md5
  // beside it), for tests that damage a stored object behind the server's
  // back; "" for a server whose storage cannot be reached (Ceph).
  std::string s3_data;

  // The servers of this test run, read once from the file named by the
  // environment variable KELTOS3_TEST_SERVERS_FILE or, when it is unset or
  // empty, from the servers.env of the binary's own build
  // (support/test_paths.h).
  static const TestServers& Get();

  // Reads one servers.env file.
  static TestServers Load(const std::string& path);

  // Runs "servers.sh |verb| state_dir" (stop-s3, start-s3, restart-s3) and
  // returns true when it exits with 0. The S3 server keeps its port.
  bool Control(const std::string& verb) const;
};

// One HTTP exchange's outcome.
struct HttpResult {
  long status = 0;     // 0 when no HTTP answer arrived
  std::string error;   // libcurl's message when the transfer failed
  HeaderList headers;  // of the final answer, in order
  std::string body;
};

// One HTTPS exchange, verified against the test CA. Hosts under
// "localhost" resolve to loopback by libcurl itself.
HttpResult HttpsRequest(const std::string& method, const std::string& url,
                        const HeaderList& headers = {},
                        const std::string& body = "");

// A request as the stub server received it.
struct StubRequest {
  std::string method;
  std::string path;  // raw path with query, as sent
  HeaderList headers;
  std::string body;
  std::string connection;  // the client's "address:port": one per connection
  bool resumed = false;    // the connection resumed an earlier TLS session
};

// The stub server's control API. Scripts and logs are kept per bucket (the
// first label of the Host header); see tests/fixtures/stub_server.py for the
// script format.
class StubServer {
 public:
  // Replaces the bucket's script. On failure returns false and, when
  // |error| is given, stores the stub's reason there.
  static bool SetScript(const std::string& bucket, const std::string& json,
                        std::string* error = nullptr);
  // Every request the bucket received since its last reset, in order.
  static std::vector<StubRequest> Requests(const std::string& bucket);
  // Forgets the bucket's script and log.
  static bool Reset(const std::string& bucket);
  // "https://" + bucket + "." + s3_host + ":" + stub port.
  static std::string BaseUrl(const std::string& bucket);
};

struct ListedObject {
  std::string key;  // XML entities decoded
  uint64_t size = 0;
  std::string last_modified;  // as listed, e.g. 2026-01-02T03:04:05.000Z
};

// Signed S3 requests to the test S3 server, built independently of the
// library: keys are sent with only RFC 3986 unreserved characters left
// unencoded, and the date goes in x-amz-date.
class RawS3 {
 public:
  // Sends one signed request for |key| (unencoded; "" for the bucket itself,
  // and |bucket| "" for the service). |query| is the raw query without "?".
  static HttpResult Send(const std::string& verb, const std::string& bucket,
                         const std::string& key, const std::string& query = "",
                         const std::string& body = "",
                         const HeaderList& headers = {});

  // True when the bucket was created or already exists.
  static bool CreateBucket(const std::string& bucket);
  static bool PutObject(const std::string& bucket, const std::string& key,
                        const std::string& data,
                        const std::string& content_type = "");
  // On success stores the object's bytes in |*data|.
  static bool GetObject(const std::string& bucket, const std::string& key,
                        std::string* data);
  static bool DeleteObject(const std::string& bucket, const std::string& key);
  // All objects under |prefix|, following every page. On failure returns
  // false; |*out| then holds what was listed before.
  static bool ListObjects(const std::string& bucket, const std::string& prefix,
                          std::vector<ListedObject>* out);
  // Keys only; empty when the listing fails.
  static std::vector<std::string> ListKeys(const std::string& bucket,
                                           const std::string& prefix = "");

  // Helpers, public for the few tests that build requests themselves.
  static std::string EncodeKey(const std::string& key);
  static std::string Sign(const std::string& secret,
                          const std::string& string_to_sign);
};

}  // namespace testsupport

#endif  // KELTOS3_TESTS_SUPPORT_TEST_SERVERS_H_
