#include "support/store_fixture.h"

#include <atomic>
#include <cstdio>
#include <random>

#include "common/wide_string.h"
#include "support/test_platform.h"

namespace testsupport {

std::string ProtocolName(const ::testing::TestParamInfo<Protocol>& info) {
  return info.param == Protocol::kV4PathStyle ? "V4PathStyle" : "Defaults";
}

std::string ProtocolLines(Protocol protocol) {
  return protocol == Protocol::kV4PathStyle ? "SignatureVersion=4\nPathStyle=1\n" : "";
}

StoreFixture::StoreFixture()
    : env_(std::make_unique<TestEnv>()),
      override_(std::make_unique<platform::ScopedEnvOverride>(env_.get())),
      ini_(std::make_unique<IniFixture>(env_.get())) {}

StoreFixture::~StoreFixture() {
  ini_.reset();
  override_.reset();
  env_.reset();
}

std::string StoreFixture::UniqueBucket(const std::string& hint) {
  static std::atomic<int> counter{0};
  char suffix[48];
  std::snprintf(suffix, sizeof(suffix), "-%ld-%d", CurrentProcessId(),
                counter.fetch_add(1));
  return hint.substr(0, 40) + suffix;
}

bool StoreFixture::UseServer(const std::string& hint, int32_t buffer_size,
                             Protocol protocol) {
  StoreSettings settings;
  settings.protocol = protocol;
  settings.bucket = UniqueBucket(hint + "-b");
  settings.data_bucket = UniqueBucket(hint + "-d");
  settings.buffer_size = buffer_size;
  if (!RawS3::CreateBucket(settings.bucket) ||
      !RawS3::CreateBucket(settings.data_bucket)) {
    return false;
  }
  WriteSettings(settings);
  return true;
}

void StoreFixture::WriteSettings(const StoreSettings& settings) {
  settings_ = settings;
  const TestServers& servers = TestServers::Get();
  std::string lines;
  lines += "ACCOUNT=" + ScrambledHex(Utf8ToU16(servers.access_key)) + "\n";
  lines += "PASSWORD=" + ScrambledHex(Utf8ToU16(servers.secret_key)) + "\n";
  lines += "S3Host=" + servers.s3_host + "\n";
  lines += "S3Port=" +
           std::to_string(settings.use_stub ? servers.stub_port : servers.s3_port) + "\n";
  lines += "CACertFile=" + servers.ca_file + "\n";
  lines += "RequestPause=" + std::to_string(settings.request_pause) + "\n";
  lines += "QuexBucket=" + settings.bucket + "\n";
  lines += "QuexDataBucket=" + settings.data_bucket + "\n";
  if (settings.buffer_size != 0) {
    lines += "QuexS3BufferSize=" + std::to_string(settings.buffer_size) + "\n";
  }
  lines += ProtocolLines(settings.protocol);
  lines += settings.extra;
  ini_->WriteOnline(lines);
}

std::string RandomBytes(size_t length, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(length, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

std::string WithoutTokens(const std::string& text) {
  // '0' a digit, 'x' a lower-case hexadecimal digit, anything else itself.
  static const std::string kShape = "00000000T000000Z-xxxxxxxxxxxxxxxx";
  const auto fits = [&text](size_t at) {
    if (at + kShape.size() > text.size()) return false;
    for (size_t i = 0; i < kShape.size(); ++i) {
      const char c = text[at + i];
      const bool digit = c >= '0' && c <= '9';
      const bool ok = kShape[i] == '0'   ? digit
                      : kShape[i] == 'x' ? digit || (c >= 'a' && c <= 'f')
                                         : c == kShape[i];
      if (!ok) return false;
    }
    return true;
  };
  std::string out;
  for (size_t at = 0; at < text.size();) {
    if (fits(at)) {
      out += "<t>";
      at += kShape.size();
    } else {
      out += text[at++];
    }
  }
  return out;
}

std::vector<std::string> WithoutTokens(const std::vector<std::string>& texts) {
  std::vector<std::string> out;
  for (const std::string& text : texts) out.push_back(WithoutTokens(text));
  return out;
}

std::wstring Wide(const std::u16string& text) { return U16ToWide(text); }

std::vector<std::u16string> SplitDirList(const wchar_t* text) {
  std::vector<std::u16string> entries;
  const std::u16string all = WideToU16(text);
  size_t begin = 0;
  for (size_t at = all.find(u';'); at != std::u16string::npos;
       at = all.find(u';', begin)) {
    entries.push_back(all.substr(begin, at - begin));
    begin = at + 1;
  }
  return entries;
}

std::string StubListing(const std::vector<std::pair<std::string, uint64_t>>& keys,
                        bool truncated) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><ListBucketResult "
      "xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"><Name>b</Name>"
      "<Prefix></Prefix><Marker></Marker><MaxKeys>1000</MaxKeys>";
  xml += truncated ? "<IsTruncated>true</IsTruncated>"
                   : "<IsTruncated>false</IsTruncated>";
  for (const auto& [key, size] : keys) {
    xml += "<Contents><Key>" + key + "</Key><LastModified>2010-01-01T00:00:00.000Z"
           "</LastModified><Size>" + std::to_string(size) + "</Size></Contents>";
  }
  return xml + "</ListBucketResult>";
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

}  // namespace testsupport
