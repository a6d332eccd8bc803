#include "support/test_env.h"

namespace testsupport {

TestEnv::TestEnv() : TestEnv(platform::Env::Default()) {}

TestEnv::TestEnv(platform::Env* target) : EnvWrapper(target) {}

std::uint32_t TestEnv::GetTickCount() {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<std::uint32_t>(tick_start_ + virtual_ms_);
}

void TestEnv::Sleep(std::uint32_t milliseconds) {
  std::lock_guard<std::mutex> lock(mu_);
  sleeps_.push_back(milliseconds);
  virtual_ms_ += milliseconds;
}

std::int64_t TestEnv::NowUnixSeconds() {
  std::unique_lock<std::mutex> lock(mu_);
  if (!now_base_.has_value()) {
    lock.unlock();
    return target()->NowUnixSeconds();
  }
  return *now_base_ + static_cast<std::int64_t>((virtual_ms_ - now_base_ms_) / 1000);
}

void TestEnv::SetTickCount(std::uint32_t tick) {
  std::lock_guard<std::mutex> lock(mu_);
  tick_start_ = static_cast<std::uint32_t>(tick - virtual_ms_);
}

void TestEnv::AdvanceClock(std::uint32_t milliseconds) {
  std::lock_guard<std::mutex> lock(mu_);
  virtual_ms_ += milliseconds;
}

void TestEnv::SetNowUnixSeconds(std::int64_t seconds) {
  std::lock_guard<std::mutex> lock(mu_);
  now_base_ = seconds;
  now_base_ms_ = virtual_ms_;
}

std::vector<std::uint32_t> TestEnv::sleeps() const {
  std::lock_guard<std::mutex> lock(mu_);
  return sleeps_;
}

std::uint64_t TestEnv::total_slept_ms() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::uint64_t total = 0;
  for (const std::uint32_t ms : sleeps_) total += ms;
  return total;
}

std::u16string TestEnv::GetModuleFileName() {
  std::unique_lock<std::mutex> lock(mu_);
  if (module_file_name_.has_value()) return *module_file_name_;
  lock.unlock();
  return target()->GetModuleFileName();
}

bool TestEnv::GetEnvironmentVariable(const char* name, std::string* value) {
  std::unique_lock<std::mutex> lock(mu_);
  const auto it = variables_.find(name);
  if (it != variables_.end()) {
    if (!it->second.has_value()) return false;
    *value = *it->second;
    return true;
  }
  if (!pass_through_environment_) return false;
  lock.unlock();
  return target()->GetEnvironmentVariable(name, value);
}

void TestEnv::SetModuleFileName(const std::u16string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  module_file_name_ = path;
}

void TestEnv::SetEnvironmentVariable(const std::string& name, const std::string& value) {
  std::lock_guard<std::mutex> lock(mu_);
  variables_[name] = value;
}

void TestEnv::UnsetEnvironmentVariable(const std::string& name) {
  std::lock_guard<std::mutex> lock(mu_);
  variables_[name] = std::nullopt;
}

void TestEnv::PassThroughEnvironment(bool on) {
  std::lock_guard<std::mutex> lock(mu_);
  pass_through_environment_ = on;
}

platform::EventSourceHandle TestEnv::RegisterEventSource(const std::u16string& source) {
  std::lock_guard<std::mutex> lock(mu_);
  registered_names_.push_back(source);
  if (fail_registration_) return 0;
  const platform::EventSourceHandle handle = next_handle_++;
  open_sources_.insert(handle);
  return handle;
}

bool TestEnv::ReportEvent(platform::EventSourceHandle source, std::uint16_t type,
                          std::uint16_t category, std::uint32_t event_id,
                          const std::u16string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  if (source == 0 || open_sources_.count(source) == 0) return false;
  events_.push_back(EventRecord{source, type, category, event_id, text});
  return true;
}

void TestEnv::DeregisterEventSource(platform::EventSourceHandle source) {
  std::lock_guard<std::mutex> lock(mu_);
  open_sources_.erase(source);
}

void TestEnv::OutputDebugString(const std::u16string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  traces_.push_back(text);
}

void TestEnv::FailEventRegistration(bool fail) {
  std::lock_guard<std::mutex> lock(mu_);
  fail_registration_ = fail;
}

std::vector<EventRecord> TestEnv::events() const {
  std::lock_guard<std::mutex> lock(mu_);
  return events_;
}

std::vector<std::u16string> TestEnv::traces() const {
  std::lock_guard<std::mutex> lock(mu_);
  return traces_;
}

std::vector<std::u16string> TestEnv::registered_names() const {
  std::lock_guard<std::mutex> lock(mu_);
  return registered_names_;
}

int TestEnv::open_event_sources() const {
  std::lock_guard<std::mutex> lock(mu_);
  return static_cast<int>(open_sources_.size());
}

void TestEnv::ClearCaptures() {
  std::lock_guard<std::mutex> lock(mu_);
  events_.clear();
  traces_.clear();
  registered_names_.clear();
}

std::unique_ptr<platform::File> TestEnv::OpenFile(const std::u16string& path,
                                                  platform::FileOpenMode mode) {
  OpenFileHook hook;
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++open_file_calls_;
    hook = open_file_hook_;
  }
  if (hook) return hook(path, mode, target());
  return target()->OpenFile(path, mode);
}

void TestEnv::SetOpenFileHook(OpenFileHook hook) {
  std::lock_guard<std::mutex> lock(mu_);
  open_file_hook_ = std::move(hook);
}

int TestEnv::open_file_calls() const {
  std::lock_guard<std::mutex> lock(mu_);
  return open_file_calls_;
}

}  // namespace testsupport
