#include "platform/curl_pool.h"

#include <algorithm>
#include <iterator>
#include <list>
#include <map>
#include <mutex>
#include <utility>

namespace platform {

namespace {

// Idle channels kept in all; beyond that the longest idle one is closed.
constexpr size_t kMaxIdleChannels = 8;
// A channel idle longer than this is closed rather than reused: servers
// drop idle connections after some seconds anyway, and a host that pauses
// for long should not hold sockets open.
constexpr std::chrono::seconds kMaxIdleTime{60};
// Keys whose TLS session cache is kept while no channel of theirs is open.
constexpr size_t kMaxRememberedKeys = 16;

}  // namespace

// A curl share object holding the TLS sessions of one key, with the locks
// libcurl asks for when several threads use it.
class CurlSessionCache {
 public:
  CurlSessionCache() : share_(curl_share_init()) {
    if (share_ == nullptr) return;
    bool ok = curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &CurlSessionCache::Lock) == CURLSHE_OK;
    ok = ok && curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &CurlSessionCache::Unlock) == CURLSHE_OK;
    ok = ok && curl_share_setopt(share_, CURLSHOPT_USERDATA, this) == CURLSHE_OK;
    ok = ok && curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) == CURLSHE_OK;
    if (!ok) {
      curl_share_cleanup(share_);
      share_ = nullptr;
    }
  }
  CurlSessionCache(const CurlSessionCache&) = delete;
  CurlSessionCache& operator=(const CurlSessionCache&) = delete;
  ~CurlSessionCache() {
    if (share_ != nullptr) curl_share_cleanup(share_);
  }

  // Null when the share object could not be made; the channels then work
  // without session reuse.
  CURLSH* share() const { return share_; }

 private:
  static std::mutex* LockOf(curl_lock_data data, void* user) {
    auto* self = static_cast<CurlSessionCache*>(user);
    const size_t index = static_cast<size_t>(data) < std::size(self->locks_)
                             ? static_cast<size_t>(data)
                             : 0;
    return &self->locks_[index];
  }
  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    LockOf(data, user)->lock();
  }
  static void Unlock(CURL*, curl_lock_data data, void* user) {
    LockOf(data, user)->unlock();
  }

  CURLSH* share_ = nullptr;
  std::mutex locks_[CURL_LOCK_DATA_LAST];
};

CurlChannel::CurlChannel(std::string key, std::shared_ptr<CurlSessionCache> sessions)
    : key_(std::move(key)), sessions_(std::move(sessions)) {
  easy_ = curl_easy_init();
  multi_ = curl_multi_init();
  // One connection per channel: the one its requests go out on.
  if (multi_ != nullptr) curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, 1L);
}

CurlChannel::~CurlChannel() {
  if (easy_ != nullptr) curl_easy_cleanup(easy_);
  if (multi_ != nullptr) curl_multi_cleanup(multi_);
}

CURLSH* CurlChannel::share() const { return sessions_ ? sessions_->share() : nullptr; }

class CurlPool {
 public:
  std::unique_ptr<CurlChannel> Take(const std::string& key) {
    std::unique_ptr<CurlChannel> found;
    std::list<std::unique_ptr<CurlChannel>> expired;  // closed outside the lock
    std::shared_ptr<CurlSessionCache> sessions;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      Expire(&expired);
      // The most recently returned channel of the key: its connection is
      // the least likely to have been dropped by the server.
      for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
        if ((*it)->key() == key) {
          found = std::move(*it);
          idle_.erase(std::next(it).base());
          break;
        }
      }
      if (found == nullptr) sessions = SessionsOf(key);
    }
    if (found != nullptr) return found;
    std::unique_ptr<CurlChannel> made(new CurlChannel(key, std::move(sessions)));
    if (made->easy() == nullptr || made->multi() == nullptr) return nullptr;
    return made;
  }

  void Return(std::unique_ptr<CurlChannel> channel) {
    curl_easy_reset(channel->easy());
    channel->idle_since_ = std::chrono::steady_clock::now();
    std::list<std::unique_ptr<CurlChannel>> closed;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      idle_.push_back(std::move(channel));
      Expire(&closed);
      while (idle_.size() > kMaxIdleChannels) {
        closed.push_back(std::move(idle_.front()));
        idle_.pop_front();
      }
    }
  }

  void CloseIdle() {
    std::list<std::unique_ptr<CurlChannel>> closed;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      closed.swap(idle_);
    }
  }

 private:
  // Moves the channels idle for too long to `out`.  REQUIRES: mutex_ held.
  void Expire(std::list<std::unique_ptr<CurlChannel>>* out) {
    const auto now = std::chrono::steady_clock::now();
    while (!idle_.empty() && now - idle_.front()->idle_since_ > kMaxIdleTime) {
      out->push_back(std::move(idle_.front()));
      idle_.pop_front();
    }
  }

  // The session cache of `key`, made when there is none.  The caches of
  // the keys used last are kept; a channel keeps its own alive.
  // REQUIRES: mutex_ held.
  std::shared_ptr<CurlSessionCache> SessionsOf(const std::string& key) {
    KnownSessions& known = sessions_[key];
    if (known.cache == nullptr) known.cache = std::make_shared<CurlSessionCache>();
    known.used = ++clock_;
    std::shared_ptr<CurlSessionCache> cache = known.cache;
    while (sessions_.size() > kMaxRememberedKeys) {
      sessions_.erase(std::min_element(
          sessions_.begin(), sessions_.end(),
          [](const auto& a, const auto& b) { return a.second.used < b.second.used; }));
    }
    return cache;
  }

  struct KnownSessions {
    std::shared_ptr<CurlSessionCache> cache;
    unsigned long long used = 0;
  };

  std::mutex mutex_;
  std::list<std::unique_ptr<CurlChannel>> idle_;  // longest idle first
  std::map<std::string, KnownSessions> sessions_;
  unsigned long long clock_ = 0;
};

namespace {

// Never destroyed: connections still open at exit are closed by the
// system, and no libcurl call runs after the TLS library was torn down.
CurlPool& Pool() {
  static CurlPool* const pool = new CurlPool();
  return *pool;
}

}  // namespace

std::unique_ptr<CurlChannel> TakeCurlChannel(const std::string& key) {
  return Pool().Take(key);
}

void ReturnCurlChannel(std::unique_ptr<CurlChannel> channel) {
  if (channel != nullptr) Pool().Return(std::move(channel));
}

void CloseIdleCurlChannels() { Pool().CloseIdle(); }

}  // namespace platform
