#include "support/test_servers.h"

#include <cryptopp/base64.h>
#include <cryptopp/filters.h>
#include <cryptopp/hmac.h>
#include <cryptopp/sha.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "support/test_layout.h"
#include "support/test_paths.h"
#include "support/test_platform.h"

namespace testsupport {

namespace {

std::string HttpDateNow() {
  using namespace std::chrono;
  const auto now = floor<seconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date(day);
  const hh_mm_ss time(now - day);
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed",
                                      "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr",
                                        "May", "Jun", "Jul", "Aug",
                                        "Sep", "Oct", "Nov", "Dec"};
  char text[64];
  snprintf(text, sizeof(text), "%s, %02u %s %04d %02ld:%02ld:%02ld GMT",
           kDays[weekday(day).c_encoding()], static_cast<unsigned>(date.day()),
           kMonths[static_cast<unsigned>(date.month()) - 1],
           static_cast<int>(date.year()), static_cast<long>(time.hours().count()),
           static_cast<long>(time.minutes().count()),
           static_cast<long>(time.seconds().count()));
  return text;
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string Trim(const std::string& text) {
  size_t start = text.find_first_not_of(" \t");
  if (start == std::string::npos) return "";
  return text.substr(start, text.find_last_not_of(" \t") - start + 1);
}

std::string DecodeBase64(const std::string& text) {
  std::string out;
  CryptoPP::StringSource source(
      text, true, new CryptoPP::Base64Decoder(new CryptoPP::StringSink(out)));
  return out;
}

// Decodes the five predefined XML entities and numeric character references
// (code points below 0x80 only; others are left as written).
std::string DecodeXml(const std::string& text) {
  static const std::pair<const char*, char> kNamed[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'},
      {"&quot;", '"'}, {"&apos;", '\''}};
  std::string out;
  for (size_t i = 0; i < text.size();) {
    bool replaced = false;
    if (text[i] == '&') {
      for (const auto& [name, c] : kNamed) {
        if (text.compare(i, strlen(name), name) == 0) {
          out += c;
          i += strlen(name);
          replaced = true;
          break;
        }
      }
      size_t end = text.find(';', i);
      if (!replaced && end != std::string::npos && i + 2 < end &&
          text[i + 1] == '#') {
        bool hex = text[i + 2] == 'x';
        long code = strtol(text.substr(i + (hex ? 3 : 2)).c_str(), nullptr,
                           hex ? 16 : 10);
        if (code > 0 && code < 0x80) {
          out += static_cast<char>(code);
          i = end + 1;
          replaced = true;
        }
      }
    }
    if (!replaced) out += text[i++];
  }
  return out;
}

// Text between the next |open| and |close| tags at or after |*pos|; advances
// |*pos| past the closing tag. False when there is none.
bool NextElement(const std::string& xml, const std::string& open,
                 const std::string& close, size_t* pos, std::string* value) {
  size_t start = xml.find(open, *pos);
  if (start == std::string::npos) return false;
  start += open.size();
  size_t end = xml.find(close, start);
  if (end == std::string::npos) return false;
  *value = xml.substr(start, end - start);
  *pos = end + close.size();
  return true;
}

std::string ElementText(const std::string& xml, const std::string& tag) {
  size_t pos = 0;
  std::string value;
  NextElement(xml, "<" + tag + ">", "</" + tag + ">", &pos, &value);
  return value;
}

}  // namespace

std::string FindHeader(const HeaderList& headers, const std::string& name) {
  const std::string wanted = Lower(name);
  for (const auto& [n, v] : headers) {
    if (Lower(n) == wanted) return v;
  }
  return "";
}

// ---------------------------------------------------------------------------
// TestServers

TestServers TestServers::Load(const std::string& path) {
  TestServers s;
  std::ifstream in(FsPath(path));
  if (!in) {
    s.error = "cannot read " + path + " (are the test servers started?)";
    return s;
  }
  std::map<std::string, std::string> env;
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) env[line.substr(0, eq)] = line.substr(eq + 1);
  }
  const char* const kRequired[] = {
      "KELTOS3_TEST_CA",         "KELTOS3_TEST_S3_HOST",
      "KELTOS3_TEST_S3_PORT",    "KELTOS3_TEST_ACCESS_KEY",
      "KELTOS3_TEST_SECRET_KEY"};
  for (const char* name : kRequired) {
    if (env.count(name) == 0) {
      s.error = path + " lacks " + name;
      return s;
    }
  }
  s.state_dir = env["KELTOS3_TEST_STATE_DIR"];
  s.servers_sh = env["KELTOS3_TEST_SERVERS_SH"];
  // The CA file is read by the process under test (curl, the library's
  // CACertFile); the state directory and servers.sh by the shell.
  s.ca_file = HostPath(env["KELTOS3_TEST_CA"]);
  s.s3_host = env["KELTOS3_TEST_S3_HOST"];
  s.s3_port = atoi(env["KELTOS3_TEST_S3_PORT"].c_str());
  s.access_key = env["KELTOS3_TEST_ACCESS_KEY"];
  s.secret_key = env["KELTOS3_TEST_SECRET_KEY"];
  s.stub_port = atoi(env["KELTOS3_TEST_STUB_PORT"].c_str());
  s.proxy = env["KELTOS3_TEST_PROXY"];
  s.proxy_user = env["KELTOS3_TEST_PROXY_USER"];
  s.proxy_password = env["KELTOS3_TEST_PROXY_PASSWORD"];
  s.s3_data = env["KELTOS3_TEST_S3_DATA"].empty() ? "" : HostPath(env["KELTOS3_TEST_S3_DATA"]);
  std::stringstream buckets(env["KELTOS3_TEST_PROXY_BUCKETS"]);
  for (std::string b; std::getline(buckets, b, ',');) {
    if (!b.empty()) s.proxy_buckets.push_back(b);
  }
  s.ok = true;
  return s;
}

const TestServers& TestServers::Get() {
  static const TestServers servers = [] {
    // The environment names other servers (for example a gateway of a real
    // object store); without it the binary uses the servers of its build.
    std::string path;
    const char* from_env = getenv("KELTOS3_TEST_SERVERS_FILE");
    if (from_env != nullptr) path = from_env;
    if (path.empty()) path = TestServersFile();
    path = HostPath(path);
    if (path.empty()) {
      TestServers none;
      none.error = "KELTOS3_TEST_SERVERS_FILE is not set";
      return none;
    }
    return Load(path);
  }();
  return servers;
}

// ---------------------------------------------------------------------------
// StubServer

std::string StubServer::BaseUrl(const std::string& bucket) {
  const TestServers& s = TestServers::Get();
  return "https://" + bucket + "." + s.s3_host + ":" +
         std::to_string(s.stub_port);
}

bool StubServer::SetScript(const std::string& bucket, const std::string& json,
                           std::string* error) {
  HttpResult r = HttpsRequest("PUT", BaseUrl("control") + "/__stub/script/" +
                                         bucket, {}, json);
  if (r.status == 200) return true;
  if (error != nullptr) *error = r.status == 0 ? r.error : r.body;
  return false;
}

std::vector<StubRequest> StubServer::Requests(const std::string& bucket) {
  std::vector<StubRequest> requests;
  HttpResult r = HttpsRequest(
      "GET", BaseUrl("control") + "/__stub/requests/" + bucket + "?format=lines");
  if (r.status != 200) return requests;
  std::stringstream lines(r.body);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    std::stringstream parts(line);
    for (std::string f; std::getline(parts, f, '\t');) fields.push_back(f);
    fields.resize(6);
    StubRequest req;
    req.method = fields[0];
    req.path = DecodeBase64(fields[1]);
    req.body = DecodeBase64(fields[3]);
    req.connection = fields[4];
    req.resumed = fields[5] == "1";
    std::stringstream header_text(DecodeBase64(fields[2]));
    for (std::string h; std::getline(header_text, h);) {
      if (!h.empty() && h.back() == '\r') h.pop_back();
      size_t colon = h.find(':');
      if (colon == std::string::npos) continue;
      req.headers.emplace_back(h.substr(0, colon), Trim(h.substr(colon + 1)));
    }
    requests.push_back(std::move(req));
  }
  return requests;
}

bool StubServer::Reset(const std::string& bucket) {
  return HttpsRequest("POST", BaseUrl("control") + "/__stub/reset/" + bucket)
             .status == 200;
}

// ---------------------------------------------------------------------------
// RawS3

std::string RawS3::EncodeKey(const std::string& key) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : key) {
    if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string RawS3::Sign(const std::string& secret,
                        const std::string& string_to_sign) {
  CryptoPP::HMAC<CryptoPP::SHA1> hmac(
      reinterpret_cast<const CryptoPP::byte*>(secret.data()), secret.size());
  std::string signature;
  CryptoPP::StringSource source(
      string_to_sign, true,
      new CryptoPP::HashFilter(
          hmac, new CryptoPP::Base64Encoder(new CryptoPP::StringSink(signature),
                                            /*insertLineBreaks=*/false)));
  return signature;
}

HttpResult RawS3::Send(const std::string& verb, const std::string& bucket,
                       const std::string& key, const std::string& query,
                       const std::string& body, const HeaderList& headers) {
  const TestServers& s = TestServers::Get();
  HeaderList all = headers;
  all.emplace_back("x-amz-date", HttpDateNow());

  // Signature version 2: the standard headers' values, the x-amz- headers
  // (lower-case names, sorted), then the resource with its sub-resources.
  std::map<std::string, std::vector<std::string>> amz;
  for (const auto& [name, value] : all) {
    std::string lower = Lower(name);
    if (lower.compare(0, 6, "x-amz-") == 0) amz[lower].push_back(Trim(value));
  }
  std::string to_sign = verb + "\n" + FindHeader(all, "Content-MD5") + "\n" +
                        FindHeader(all, "Content-Type") + "\n\n";
  for (const auto& [name, values] : amz) {
    to_sign += name + ":";
    for (size_t i = 0; i < values.size(); ++i) {
      if (i > 0) to_sign += ",";
      to_sign += values[i];
    }
    to_sign += "\n";
  }
  std::string path = "/" + EncodeKey(key);
  to_sign += (bucket.empty() ? "" : "/" + bucket) + path;
  std::vector<std::string> subresources;
  std::stringstream params(query);
  for (std::string p; std::getline(params, p, '&');) {
    std::string name = p.substr(0, p.find('='));
    if (name == "acl" || name == "location" || name == "logging" ||
        name == "torrent") {
      subresources.push_back(p);
    }
  }
  std::sort(subresources.begin(), subresources.end());
  for (size_t i = 0; i < subresources.size(); ++i) {
    to_sign += (i == 0 ? "?" : "&") + subresources[i];
  }
  all.emplace_back("Authorization",
                   "AWS " + s.access_key + ":" + Sign(s.secret_key, to_sign));

  std::string host = bucket.empty() ? s.s3_host : bucket + "." + s.s3_host;
  std::string url = "https://" + host + ":" + std::to_string(s.s3_port) + path +
                    (query.empty() ? "" : "?" + query);
  return HttpsRequest(verb, url, all, body);
}

bool RawS3::CreateBucket(const std::string& bucket) {
  HttpResult r = Send("PUT", bucket, "");
  // s3rver answers 409 BucketAlreadyExists for a bucket that is there.
  return r.status == 200 || r.status == 409;
}

bool RawS3::PutObject(const std::string& bucket, const std::string& key,
                      const std::string& data, const std::string& content_type) {
  HeaderList headers;
  if (!content_type.empty()) headers.emplace_back("Content-Type", content_type);
  return Send("PUT", bucket, key, "", data, headers).status == 200;
}

bool RawS3::GetObject(const std::string& bucket, const std::string& key,
                      std::string* data) {
  HttpResult r = Send("GET", bucket, key);
  if (r.status != 200) return false;
  *data = std::move(r.body);
  return true;
}

bool RawS3::DeleteObject(const std::string& bucket, const std::string& key) {
  long status = Send("DELETE", bucket, key).status;
  return status == 204 || status == 200;
}

bool RawS3::ListObjects(const std::string& bucket, const std::string& prefix,
                        std::vector<ListedObject>* out) {
  out->clear();
  std::string marker;
  for (int page = 0; page < 100000; ++page) {
    std::string query = "prefix=" + EncodeKey(prefix);
    if (!marker.empty()) query = "marker=" + EncodeKey(marker) + "&" + query;
    HttpResult r = Send("GET", bucket, "", query);
    if (r.status != 200) return false;
    size_t pos = 0;
    std::string contents;
    while (NextElement(r.body, "<Contents>", "</Contents>", &pos, &contents)) {
      ListedObject object;
      object.key = DecodeXml(ElementText(contents, "Key"));
      object.size = strtoull(ElementText(contents, "Size").c_str(), nullptr, 10);
      object.last_modified = ElementText(contents, "LastModified");
      out->push_back(std::move(object));
    }
    if (ElementText(r.body, "IsTruncated") != "true") return true;
    if (out->empty() || out->back().key == marker) return false;  // no progress
    marker = out->back().key;
  }
  return false;
}

std::vector<std::string> RawS3::ListKeys(const std::string& bucket,
                                         const std::string& prefix) {
  std::vector<ListedObject> objects;
  std::vector<std::string> keys;
  if (!ListObjects(bucket, prefix, &objects)) return keys;
  for (const ListedObject& o : objects) keys.push_back(o.key);
  return keys;
}

}  // namespace testsupport
