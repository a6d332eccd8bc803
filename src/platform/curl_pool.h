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
// A connection belongs to the process that made it.  A child made by
// fork() inherits the parent's sockets and TLS state, and two processes
// writing records with the same keys on one socket would read each other's
// answers: the child's pool starts empty, and the channels it inherited are
// dropped without a word on their connections (their sockets are closed,
// no TLS alert is sent and no handle is cleaned up), so the parent's
// sessions go on undisturbed.
//
// Thread safety: TakeCurlChannel and ReturnCurlChannel may be called from
// any thread; a channel belongs to one thread between the two.  The pool's
// lock is held across fork(), so a child never finds it taken.

#ifndef KELTOS3_SRC_PLATFORM_CURL_POOL_H_
#define KELTOS3_SRC_PLATFORM_CURL_POOL_H_

#include <curl/curl.h>
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

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

  // Has the easy handle report the sockets it opens and closes to this
  // channel, so that a child process can close them unused.  Set again for
  // every transfer (the options are reset between transfers).
  bool WatchSockets();

 private:
  friend class CurlPool;
  CurlChannel(std::string key, std::shared_ptr<CurlSessionCache> sessions);

  // Closes the channel's sockets in a process that inherited them, without
  // a byte on them; the handles must never be used (nor cleaned up) again.
  void Abandon();

  static int OnSocketOpened(void* channel, curl_socket_t socket, curlsocktype purpose);
  static int OnSocketClose(void* channel, curl_socket_t socket);

  const std::string key_;
  // Declared first so that it outlives the handles that use it.
  const std::shared_ptr<CurlSessionCache> sessions_;
  CURL* easy_ = nullptr;
  CURLM* multi_ = nullptr;
  std::chrono::steady_clock::time_point idle_since_;
  const pid_t owner_;                  // the process that made the channel
  std::vector<curl_socket_t> sockets_;  // open sockets of its connections
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
