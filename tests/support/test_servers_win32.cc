// The Windows side of test_servers.h: HTTPS through WinINet, verified
// against the system's trust store (to which the Windows test run adds the
// test CA), and servers.sh run as a program of the Unix host under Wine.

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/wide_string.h"
#include "support/test_platform.h"
#include "support/test_servers.h"

namespace testsupport {
namespace {

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

struct InternetHandleCloser {
  void operator()(void* handle) const { InternetCloseHandle(handle); }
};
using InternetHandle = std::unique_ptr<void, InternetHandleCloser>;

std::wstring W(const std::string& utf8) { return U16ToWide(Utf8ToU16(utf8)); }

std::string ErrorText(const char* call) {
  return std::string(call) + " failed (error " + std::to_string(GetLastError()) + ")";
}

// Header lines of the answer (the status line and blank lines left out).
HeaderList ParseHeaders(const std::string& raw) {
  HeaderList headers;
  size_t start = 0;
  while (start < raw.size()) {
    size_t end = raw.find("\r\n", start);
    if (end == std::string::npos) end = raw.size();
    const std::string line = raw.substr(start, end - start);
    start = end + 2;
    const size_t colon = line.find(':');
    if (line.compare(0, 5, "HTTP/") == 0 || colon == std::string::npos) continue;
    const size_t value = line.find_first_not_of(" \t", colon + 1);
    headers.emplace_back(line.substr(0, colon),
                         value == std::string::npos ? "" : line.substr(value));
  }
  return headers;
}

}  // namespace

// Wine starts a Unix program but cannot wait for it or see its exit
// status, so the shell writes the status of servers.sh to a file that is
// polled here.
bool TestServers::Control(const std::string& verb) const {
  if (!ok || servers_sh.empty()) return false;
  static int calls = 0;
  const std::string result = state_dir + "/control-" + std::to_string(CurrentProcessId()) +
                             "-" + std::to_string(++calls) + ".status";
  std::error_code ignored;
  std::filesystem::remove(FsPath(HostPath(result)), ignored);
  std::wstring command = L"Z:\\bin\\sh -c \"'" + W(servers_sh) + L"' '" + W(verb) + L"' '" +
                         W(state_dir) + L"' >> '" + W(state_dir) +
                         L"/control.log' 2>&1; echo $? > '" + W(result) + L".tmp' && mv '" +
                         W(result) + L".tmp' '" + W(result) + L"'\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream in(FsPath(HostPath(result)));
    int status = -1;
    if (in >> status) {
      in.close();
      std::filesystem::remove(FsPath(HostPath(result)), ignored);
      return status == 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

HttpResult HttpsRequest(const std::string& method, const std::string& url,
                        const HeaderList& headers, const std::string& body) {
  HttpResult result;
  const std::string scheme = "https://";
  if (url.compare(0, scheme.size(), scheme) != 0) {
    result.error = "not an https URL: " + url;
    return result;
  }
  const size_t path_at = url.find('/', scheme.size());
  const std::string authority =
      url.substr(scheme.size(), path_at == std::string::npos ? std::string::npos
                                                              : path_at - scheme.size());
  const std::string path = path_at == std::string::npos ? "/" : url.substr(path_at);
  const size_t colon = authority.rfind(':');
  const std::string host = colon == std::string::npos ? authority : authority.substr(0, colon);
  const int port = colon == std::string::npos ? 443 : std::stoi(authority.substr(colon + 1));

  // Never through a proxy the machine may have configured.
  InternetHandle session(
      InternetOpenW(L"keltos3-tests", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  if (!session) {
    result.error = ErrorText("InternetOpenW");
    return result;
  }
  DWORD timeout = 60000;
  for (DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                       INTERNET_OPTION_RECEIVE_TIMEOUT}) {
    InternetSetOptionW(session.get(), option, &timeout, sizeof timeout);
  }
  InternetHandle connection(InternetConnectW(session.get(), W(host).c_str(),
                                             static_cast<INTERNET_PORT>(port), nullptr,
                                             nullptr, INTERNET_SERVICE_HTTP, 0, 0));
  if (!connection) {
    result.error = ErrorText("InternetConnectW");
    return result;
  }
  const DWORD flags = INTERNET_FLAG_SECURE | INTERNET_FLAG_RELOAD |
                      INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES |
                      INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_UI;
  InternetHandle request(HttpOpenRequestW(connection.get(), W(method).c_str(),
                                          W(path).c_str(), nullptr, nullptr, nullptr,
                                          flags, 0));
  if (!request) {
    result.error = ErrorText("HttpOpenRequestW");
    return result;
  }
  // WinINet keeps one line per header name, so the values of a name given
  // more than once go out as one line, joined as the signature joins them.
  std::vector<std::pair<std::string, std::string>> merged;
  for (const auto& [name, value] : headers) {
    const std::string trimmed = Trimmed(value);
    auto same = std::find_if(merged.begin(), merged.end(), [&name](const auto& line) {
      return EqualsIgnoringCase(line.first, name);
    });
    if (same == merged.end()) {
      merged.emplace_back(name, trimmed);
    } else {
      same->second += "," + trimmed;
    }
  }
  std::wstring lines;
  for (const auto& [name, value] : merged) lines += W(name + ": " + value + "\r\n");
  if (!lines.empty() &&
      !HttpAddRequestHeadersW(request.get(), lines.c_str(), static_cast<DWORD>(lines.size()),
                              HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE)) {
    result.error = ErrorText("HttpAddRequestHeadersW");
    return result;
  }
  if (!HttpSendRequestW(request.get(), nullptr, 0,
                        body.empty() ? nullptr : const_cast<char*>(body.data()),
                        static_cast<DWORD>(body.size()))) {
    result.error = ErrorText("HttpSendRequestW");
    return result;
  }
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER,
                      &status, &size, nullptr)) {
    result.error = ErrorText("HttpQueryInfoW");
    return result;
  }
  result.status = static_cast<long>(status);
  size = 0;
  HttpQueryInfoW(request.get(), HTTP_QUERY_RAW_HEADERS_CRLF, nullptr, &size, nullptr);
  std::wstring raw(size / sizeof(wchar_t) + 1, L'\0');
  if (HttpQueryInfoW(request.get(), HTTP_QUERY_RAW_HEADERS_CRLF, raw.data(), &size,
                     nullptr)) {
    raw.resize(size / sizeof(wchar_t));
    result.headers = ParseHeaders(U16ToUtf8(WideToU16(raw)));
  }
  char buffer[16384];
  for (;;) {
    DWORD read = 0;
    if (!InternetReadFile(request.get(), buffer, sizeof buffer, &read)) {
      result.error = ErrorText("InternetReadFile");
      break;
    }
    if (read == 0) break;
    result.body.append(buffer, read);
  }
  return result;
}

}  // namespace testsupport
