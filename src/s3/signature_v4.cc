#include "s3/signature_v4.h"

#include <cryptopp/hmac.h>
#include <cryptopp/sha.h>

#include <algorithm>
#include <map>

namespace sigv4 {

const char kAlgorithm[] = "AWS4-HMAC-SHA256";

namespace {

constexpr char kHexUpper[] = "0123456789ABCDEF";
constexpr char kHexLower[] = "0123456789abcdef";

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '-' || c == '.' || c == '_' || c == '~';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string LowerHex(const unsigned char* bytes, size_t length) {
  std::string hex;
  hex.reserve(2 * length);
  for (size_t i = 0; i < length; ++i) {
    hex += kHexLower[bytes[i] >> 4];
    hex += kHexLower[bytes[i] & 0x0f];
  }
  return hex;
}

std::string Hmac(const std::string& key, const std::string& message) {
  CryptoPP::HMAC<CryptoPP::SHA256> hmac(reinterpret_cast<const CryptoPP::byte*>(key.data()),
                                        key.size());
  hmac.Update(reinterpret_cast<const CryptoPP::byte*>(message.data()), message.size());
  std::string digest(CryptoPP::SHA256::DIGESTSIZE, '\0');
  hmac.Final(reinterpret_cast<CryptoPP::byte*>(digest.data()));
  return digest;
}

// Trimmed of blanks and tabs, and every inner run of blanks made one blank.
std::string CanonicalValue(const std::string& value) {
  size_t begin = 0;
  size_t end = value.size();
  while (begin < end && IsBlank(value[begin])) ++begin;
  while (end > begin && IsBlank(value[end - 1])) --end;
  std::string out;
  for (size_t i = begin; i < end; ++i) {
    if (value[i] == ' ' && !out.empty() && out.back() == ' ') continue;
    out += value[i];
  }
  return out;
}

// The query as sent: "&"-separated name=value pairs (a bare name stands for
// name=), sorted.
std::string CanonicalQuery(std::string_view query) {
  std::vector<std::string> pairs;
  size_t begin = 0;
  while (begin <= query.size()) {
    size_t end = query.find('&', begin);
    if (end == std::string_view::npos) end = query.size();
    std::string pair(query.substr(begin, end - begin));
    if (!pair.empty()) {
      if (pair.find('=') == std::string::npos) pair += '=';
      pairs.push_back(std::move(pair));
    }
    begin = end + 1;
  }
  // Sorting "name=value" texts orders by name first only when no name is a
  // prefix of another; sort the pairs as pairs.
  std::sort(pairs.begin(), pairs.end(), [](const std::string& a, const std::string& b) {
    const size_t ea = a.find('=');
    const size_t eb = b.find('=');
    const int by_name = a.compare(0, ea, b, 0, eb);
    if (by_name != 0) return by_name < 0;
    return a.compare(ea + 1, std::string::npos, b, eb + 1, std::string::npos) < 0;
  });
  std::string out;
  for (const std::string& pair : pairs) {
    if (!out.empty()) out += '&';
    out += pair;
  }
  return out;
}

}  // namespace

std::string EncodeForSignatureV4(std::string_view text, bool keep_slash) {
  std::string out;
  out.reserve(text.size());
  const auto put = [&](unsigned char c) {
    if (IsUnreserved(c) || (keep_slash && c == '/')) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHexUpper[c >> 4];
      out += kHexUpper[c & 0x0f];
    }
  };
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      put(static_cast<unsigned char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
      i += 2;
    } else {
      put(static_cast<unsigned char>(text[i]));
    }
  }
  return out;
}

bool IsAmzDate(std::string_view text) {
  if (text.size() != 16 || text[8] != 'T' || text[15] != 'Z') return false;
  for (size_t i = 0; i < 15; ++i) {
    if (i != 8 && (text[i] < '0' || text[i] > '9')) return false;
  }
  return true;
}

std::string Sha256Hex(const std::uint8_t* data, std::size_t length) {
  static const std::uint8_t kNothing = 0;
  unsigned char digest[CryptoPP::SHA256::DIGESTSIZE];
  CryptoPP::SHA256().CalculateDigest(digest, length > 0 ? data : &kNothing, length);
  return LowerHex(digest, sizeof digest);
}

std::string CanonicalRequest(const Request& request, std::string* signed_headers) {
  // The headers as the transport leaves them: later lines replace earlier
  // ones of the same name, blank values remove them.
  std::map<std::string, std::string> headers;
  for (const auto& [name, value] : request.headers) {
    std::string lower;
    for (const char c : name) lower += Lower(c);
    if (lower == "content-length") continue;
    std::string canonical = CanonicalValue(value);
    if (canonical.empty()) {
      headers.erase(lower);
    } else {
      headers[lower] = std::move(canonical);
    }
  }

  const size_t question = request.path.find('?');
  std::string uri = request.path.substr(0, question);
  if (uri.empty()) uri = "/";
  const std::string query = question == std::string::npos
                                ? std::string()
                                : CanonicalQuery(std::string_view(request.path).substr(question + 1));

  std::string text = request.method + "\n" + uri + "\n" + query + "\n";
  std::string names;
  for (const auto& [name, value] : headers) {
    text += name + ":" + value + "\n";
    if (!names.empty()) names += ';';
    names += name;
  }
  text += "\n" + names + "\n" + request.payload_hash;
  if (signed_headers != nullptr) *signed_headers = names;
  return text;
}

std::string CredentialScope(const std::string& date, const std::string& region) {
  return date + "/" + region + "/s3/aws4_request";
}

std::string StringToSign(const std::string& amz_date, const std::string& scope,
                         const std::string& canonical_request) {
  return std::string(kAlgorithm) + "\n" + amz_date + "\n" + scope + "\n" +
         Sha256Hex(reinterpret_cast<const std::uint8_t*>(canonical_request.data()),
                   canonical_request.size());
}

std::string Signature(const std::string& secret, const std::string& date,
                      const std::string& region, const std::string& string_to_sign) {
  const std::string key =
      Hmac(Hmac(Hmac(Hmac("AWS4" + secret, date), region), "s3"), "aws4_request");
  const std::string mac = Hmac(key, string_to_sign);
  return LowerHex(reinterpret_cast<const unsigned char*>(mac.data()), mac.size());
}

std::string Authorization(const Request& request, const std::string& access_key_id,
                          const std::string& secret, const std::string& region,
                          const std::string& amz_date) {
  const std::string date = amz_date.substr(0, 8);
  const std::string scope = CredentialScope(date, region);
  std::string signed_headers;
  const std::string canonical = CanonicalRequest(request, &signed_headers);
  return std::string(kAlgorithm) + " Credential=" + access_key_id + "/" + scope +
         ", SignedHeaders=" + signed_headers +
         ", Signature=" + Signature(secret, date, region, StringToSign(amz_date, scope, canonical));
}

}  // namespace sigv4
