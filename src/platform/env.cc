#include "platform/env.h"

#include <atomic>

#include "platform/file.h"
#include "platform/http.h"

namespace platform {
namespace {
std::atomic<Env*> g_current_env{nullptr};
}  // namespace

Env::~Env() = default;
File::~File() = default;
DirectoryIterator::~DirectoryIterator() = default;
HttpSession::~HttpSession() = default;
HttpConnection::~HttpConnection() = default;
HttpRequestHandle::~HttpRequestHandle() = default;
bool HttpRequestHandle::QueryETag(std::string*) { return false; }

Env* CurrentEnv() {
  Env* env = g_current_env.load(std::memory_order_acquire);
  return env != nullptr ? env : Env::Default();
}

ScopedEnvOverride::ScopedEnvOverride(Env* env)
    : previous_(g_current_env.exchange(env, std::memory_order_acq_rel)) {}

ScopedEnvOverride::~ScopedEnvOverride() {
  g_current_env.store(previous_, std::memory_order_release);
}

std::unique_ptr<File> EnvWrapper::OpenFile(const std::u16string& path,
                                           FileOpenMode mode) {
  return target_->OpenFile(path, mode);
}

std::unique_ptr<DirectoryIterator> EnvWrapper::OpenDirectory(
    const std::u16string& path) {
  return target_->OpenDirectory(path);
}

std::unique_ptr<HttpSession> EnvWrapper::OpenHttpSession(
    const HttpSessionOptions& options) {
  return target_->OpenHttpSession(options);
}

}  // namespace platform
