#include "platform/curl_pool.h"

#include <pthread.h>
#include <unistd.h>

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
    : key_(std::move(key)), sessions_(std::move(sessions)), owner_(::getpid()) {
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

bool CurlChannel::WatchSockets() {
  return curl_easy_setopt(easy_, CURLOPT_SOCKOPTFUNCTION, &CurlChannel::OnSocketOpened) ==
             CURLE_OK &&
         curl_easy_setopt(easy_, CURLOPT_SOCKOPTDATA, this) == CURLE_OK &&
         curl_easy_setopt(easy_, CURLOPT_CLOSESOCKETFUNCTION, &CurlChannel::OnSocketClose) ==
             CURLE_OK &&
         curl_easy_setopt(easy_, CURLOPT_CLOSESOCKETDATA, this) == CURLE_OK;
}

int CurlChannel::OnSocketOpened(void* channel, curl_socket_t socket, curlsocktype) {
  static_cast<CurlChannel*>(channel)->sockets_.push_back(socket);
  return CURL_SOCKOPT_OK;
}

int CurlChannel::OnSocketClose(void* channel, curl_socket_t socket) {
  std::vector<curl_socket_t>& sockets = static_cast<CurlChannel*>(channel)->sockets_;
  sockets.erase(std::remove(sockets.begin(), sockets.end(), socket), sockets.end());
  return ::close(socket);
}

void CurlChannel::Abandon() {
  // Closing a descriptor the parent also holds ends nothing on the wire.
  for (const curl_socket_t socket : sockets_) ::close(socket);
  sockets_.clear();
}

class CurlPool {
 public:
  CurlPool() : pid_(::getpid()) {
    pthread_atfork(&CurlPool::BeforeFork, &CurlPool::AfterFork, &CurlPool::AfterFork);
  }

  std::unique_ptr<CurlChannel> Take(const std::string& key) {
    std::unique_ptr<CurlChannel> found;
    std::list<std::unique_ptr<CurlChannel>> expired;  // closed outside the lock
    std::shared_ptr<CurlSessionCache> sessions;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      ForgetInherited();
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
    std::list<std::unique_ptr<CurlChannel>> closed;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      ForgetInherited();
      if (channel->owner_ != pid_) {
        Abandon(std::move(channel));
        return;
      }
      curl_easy_reset(channel->easy());
      channel->idle_since_ = std::chrono::steady_clock::now();
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
      ForgetInherited();
      closed.swap(idle_);
    }
  }

  static void BeforeFork();
  static void AfterFork();

 private:
  // In a child made by fork(): every idle channel and every TLS session
  // cache is the parent's.  REQUIRES: mutex_ held.
  void ForgetInherited() {
    const pid_t pid = ::getpid();
    if (pid == pid_) return;
    pid_ = pid;
    while (!idle_.empty()) {
      Abandon(std::move(idle_.front()));
      idle_.pop_front();
    }
    sessions_.clear();
  }

  // Keeps the inherited channel's memory for good: destroying it would
  // clean up its TLS state, which sends an alert on the parent's session.
  // REQUIRES: mutex_ held.
  void Abandon(std::unique_ptr<CurlChannel> channel) {
    channel->Abandon();
    abandoned_.push_back(std::move(channel));
  }

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
  pid_t pid_;  // the process the channels in idle_ belong to
  std::list<std::unique_ptr<CurlChannel>> idle_;  // longest idle first
  std::list<std::unique_ptr<CurlChannel>> abandoned_;  // inherited, never used
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

void CurlPool::BeforeFork() { Pool().mutex_.lock(); }
void CurlPool::AfterFork() { Pool().mutex_.unlock(); }

std::unique_ptr<CurlChannel> TakeCurlChannel(const std::string& key) {
  return Pool().Take(key);
}

void ReturnCurlChannel(std::unique_ptr<CurlChannel> channel) {
  if (channel != nullptr) Pool().Return(std::move(channel));
}


void CloseIdleCurlChannels() { Pool().CloseIdle(); }

}  // namespace platform
