// The process's pool of kept-alive libcurl connections.
//
// A channel is a curl multi handle with one easy handle: the multi handle
// keeps the channel's connection alive between transfers (at most one), the
// easy handle carries one transfer at a time.  A request takes a channel for
// its key, uses it alone, and hands it back when its transfer ended cleanly;
// the next request with the same key then goes out on the warm connection.
// A channel whose transfer failed, or that was given up half way, is never
// handed back: destroying it closes its connection.
//
// The key names everything a connection must not be shared across (host,
// port, trust file, proxy and its credentials, the proxies named in the
// environment): requests with different keys never see each other's
// channels, so a connection made under old settings is never reused under
// new ones.  The channels of one key share a TLS session cache (a curl share
// object), so that a new connection to a server resumes the TLS session of
// an earlier one instead of a full handshake.
//
// Thread safety: TakeCurlChannel and ReturnCurlChannel may be called from
// any thread; a channel belongs to one thread between the two.

#ifndef KELTOS3_SRC_PLATFORM_CURL_POOL_H_
#define KELTOS3_SRC_PLATFORM_CURL_POOL_H_

#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <string>

namespace platform {

class CurlSessionCache;

class CurlChannel {
 public:
  CurlChannel(const CurlChannel&) = delete;
  CurlChannel& operator=(const CurlChannel&) = delete;
  ~CurlChannel();

  CURL* easy() const { return easy_; }
  CURLM* multi() const { return multi_; }
  // The TLS session cache of the channel's key, for CURLOPT_SHARE.
  CURLSH* share() const;
  const std::string& key() const { return key_; }

 private:
  friend class CurlPool;
  CurlChannel(std::string key, std::shared_ptr<CurlSessionCache> sessions);

  const std::string key_;
  // Declared first so that it outlives the handles that use it.
  const std::shared_ptr<CurlSessionCache> sessions_;
  CURL* easy_ = nullptr;
  CURLM* multi_ = nullptr;
  std::chrono::steady_clock::time_point idle_since_;
};

// An idle channel of `key` (the most recently used one), or a new one.
// Returns null when libcurl cannot make the handles.
std::unique_ptr<CurlChannel> TakeCurlChannel(const std::string& key);

// Keeps `channel` for the next request of its key.  REQUIRES: the channel's
// easy handle is not in its multi handle and its last transfer, if any,
// ended cleanly.  The easy handle's options are reset here.
void ReturnCurlChannel(std::unique_ptr<CurlChannel> channel);

// Closes every idle channel (and so its connection).  For tests.
void CloseIdleCurlChannels();

}  // namespace platform

#endif  // KELTOS3_SRC_PLATFORM_CURL_POOL_H_
