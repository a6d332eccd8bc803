// TestEnv: an Env for tests.  It forwards to a target Env (the POSIX one by
// default) except for what a test needs to see or steer:
//
// - Clock: a virtual clock.  Sleep records the request and advances the
//   virtual time instead of waiting; GetTickCount reads the virtual time.
//   NowUnixSeconds is the target's until SetNowUnixSeconds fixes it, after
//   which sleeps advance it too.
// - Process: the executable path can be replaced; environment variables are
//   hermetic: only those set with SetEnvironmentVariable are visible, unless
//   PassThroughEnvironment(true) shows the real ones beneath them.
// - Diagnostics: event registrations, event records and trace lines are
//   captured, never written to the system.  Registration can be made to
//   fail.
// - Files: an OpenFile hook can replace or break any open; OpenFile calls
//   are counted.
//
// Install it with platform::ScopedEnvOverride.  All members are safe to
// call from several threads.

#ifndef KELTOS3_TESTS_SUPPORT_TEST_ENV_H_
#define KELTOS3_TESTS_SUPPORT_TEST_ENV_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/file.h"

namespace testsupport {

struct EventRecord {
  platform::EventSourceHandle source = 0;
  std::uint16_t type = 0;
  std::uint16_t category = 0;
  std::uint32_t event_id = 0;
  std::u16string text;
};

class TestEnv : public platform::EnvWrapper {
 public:
  // Replaces or breaks an open: return a File (or null for a failed open).
  // `target` is the wrapped Env, for hooks that only sometimes interfere.
  using OpenFileHook = std::function<std::unique_ptr<platform::File>(
      const std::u16string& path, platform::FileOpenMode mode,
      platform::Env* target)>;

  TestEnv();
  explicit TestEnv(platform::Env* target);

  // ---- Clock ----
  std::uint32_t GetTickCount() override;
  void Sleep(std::uint32_t milliseconds) override;
  std::int64_t NowUnixSeconds() override;

  void SetTickCount(std::uint32_t tick);
  void AdvanceClock(std::uint32_t milliseconds);  // not recorded as a sleep
  void SetNowUnixSeconds(std::int64_t seconds);
  std::vector<std::uint32_t> sleeps() const;
  std::uint64_t total_slept_ms() const;

  // ---- Process ----
  std::u16string GetModuleFileName() override;
  bool GetEnvironmentVariable(const char* name, std::string* value) override;

  // Library form, e.g. u"\\tmp\\x\\host.exe"; an empty text makes the path
  // unknown, as a failed lookup does.
  void SetModuleFileName(const std::u16string& path);
  void SetEnvironmentVariable(const std::string& name, const std::string& value);
  // Hides the variable, also from a pass-through environment.
  void UnsetEnvironmentVariable(const std::string& name);
  void PassThroughEnvironment(bool on);

  // ---- Diagnostics ----
  platform::EventSourceHandle RegisterEventSource(const std::u16string& source) override;
  bool ReportEvent(platform::EventSourceHandle source, std::uint16_t type,
                   std::uint16_t category, std::uint32_t event_id,
                   const std::u16string& text) override;
  void DeregisterEventSource(platform::EventSourceHandle source) override;
  void OutputDebugString(const std::u16string& text) override;

  void FailEventRegistration(bool fail);
  std::vector<EventRecord> events() const;
  std::vector<std::u16string> traces() const;
  // Names passed to RegisterEventSource, failed registrations included.
  std::vector<std::u16string> registered_names() const;
  // Registrations not yet deregistered.
  int open_event_sources() const;
  void ClearCaptures();

  // ---- Files ----
  std::unique_ptr<platform::File> OpenFile(const std::u16string& path,
                                           platform::FileOpenMode mode) override;
  void SetOpenFileHook(OpenFileHook hook);
  int open_file_calls() const;

 private:
  mutable std::mutex mu_;
  std::uint32_t tick_start_ = 1000000;
  std::uint64_t virtual_ms_ = 0;
  std::optional<std::int64_t> now_base_;
  std::uint64_t now_base_ms_ = 0;
  std::vector<std::uint32_t> sleeps_;
  std::optional<std::u16string> module_file_name_;
  std::map<std::string, std::optional<std::string>> variables_;
  bool pass_through_environment_ = false;
  bool fail_registration_ = false;
  platform::EventSourceHandle next_handle_ = 1;
  std::set<platform::EventSourceHandle> open_sources_;
  std::vector<std::u16string> registered_names_;
  std::vector<EventRecord> events_;
  std::vector<std::u16string> traces_;
  OpenFileHook open_file_hook_;
  int open_file_calls_ = 0;
};

}  // namespace testsupport

#endif  // KELTOS3_TESTS_SUPPORT_TEST_ENV_H_
