// The POSIX side of test_servers.h: HTTPS through libcurl, and servers.sh
// run through the shell.

#include <curl/curl.h>
#include <strings.h>

#include <cstdlib>
#include <memory>
#include <mutex>

#include "support/test_servers.h"

namespace testsupport {
namespace {

struct CurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

size_t AppendBody(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

// Collects the header lines of the final answer (a "100 Continue" or other
// interim answer starts a new list).
size_t AppendHeader(char* data, size_t size, size_t count, void* out) {
  auto* headers = static_cast<HeaderList*>(out);
  std::string line(data, size * count);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
    line.pop_back();
  }
  if (line.compare(0, 5, "HTTP/") == 0) {
    headers->clear();
  } else if (size_t colon = line.find(':'); colon != std::string::npos) {
    size_t start = line.find_first_not_of(" \t", colon + 1);
    headers->emplace_back(line.substr(0, colon),
                          start == std::string::npos ? "" : line.substr(start));
  }
  return size * count;
}

}  // namespace

bool TestServers::Control(const std::string& verb) const {
  if (!ok || servers_sh.empty()) return false;
  std::string command = "'" + servers_sh + "' '" + verb + "' '" + state_dir + "'";
  return system(command.c_str()) == 0;
}

// ---------------------------------------------------------------------------
// HTTPS

HttpResult HttpsRequest(const std::string& method, const std::string& url,
                        const HeaderList& headers, const std::string& body) {
  static std::once_flag curl_init;
  std::call_once(curl_init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

  HttpResult result;
  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!curl) {
    result.error = "curl_easy_init failed";
    return result;
  }
  CURL* h = curl.get();
  curl_slist* raw_list = nullptr;
  bool has_content_type = false;
  for (const auto& [name, value] : headers) {
    // "Name;" sends a header with an empty value; "Name:" would remove it.
    std::string line = value.empty() ? name + ";" : name + ": " + value;
    raw_list = curl_slist_append(raw_list, line.c_str());
    has_content_type |= strcasecmp(name.c_str(), "Content-Type") == 0;
  }
  if (!has_content_type) raw_list = curl_slist_append(raw_list, "Content-Type:");
  raw_list = curl_slist_append(raw_list, "Expect:");
  std::unique_ptr<curl_slist, SlistDeleter> list(raw_list);

  char error[CURL_ERROR_SIZE] = {0};
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_CAINFO, TestServers::Get().ca_file.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, list.get());
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_TIMEOUT, 60L);
  curl_easy_setopt(h, CURLOPT_PROXY, "");  // never through a proxy from the environment
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, AppendBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &result.body);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, AppendHeader);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &result.headers);
  if (method == "HEAD") {
    curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
  } else {
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str());
  }
  if (!body.empty() || method == "PUT" || method == "POST") {
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(body.size()));
  }
  CURLcode rc = curl_easy_perform(h);
  if (rc != CURLE_OK) {
    result.error = error[0] != '\0' ? error : curl_easy_strerror(rc);
  }
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &result.status);
  return result;
}

}  // namespace testsupport
