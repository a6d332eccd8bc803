// The platform seam.  Every operating-system service the library needs (the
// clock, the host executable's path, environment variables, the event log,
// the debug-trace channel, files and HTTP) is reached through an Env, so
// that tests can replace any one of them: a virtual clock that records
// sleeps instead of sleeping, sinks that capture event records and trace
// lines, a file or HTTP call that fails on demand.
//
// The library never holds an Env of its own: every operation asks
// CurrentEnv() at the moment it needs a service.  Env::Default() is the POSIX
// implementation; a test installs another with ScopedEnvOverride and wraps
// the default with EnvWrapper so that it only overrides what it breaks.
//
// Thread safety: the default Env is safe to use from any thread.  Installing
// an override is not synchronised with running operations; tests install it
// before they start work.
//
// Paths handed to an Env are in the library's own form: UTF-16 with "\"
// separators (see platform/path.h for the mapping to POSIX paths).

#ifndef KELTOS3_SRC_PLATFORM_ENV_H_
#define KELTOS3_SRC_PLATFORM_ENV_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/file_time.h"

namespace platform {

class DirectoryIterator;
class File;
class HttpSession;
struct HttpSessionOptions;

// Opaque handle of a registered event source; 0 means "not registered".
using EventSourceHandle = std::intptr_t;

// Event types of an event record.
constexpr std::uint16_t kEventTypeError = 1;

// How OpenFile opens a file.
enum class FileOpenMode {
  // Open an existing file for reading and writing, shared with other
  // readers and writers.  Fails when the file does not exist.
  kExistingReadWrite,
  // Open an existing file for reading only, shared with other readers and
  // writers.  Fails when the file does not exist or is not a regular file
  // (a FIFO without a writer must not hold the caller).
  kExistingReadOnly,
  // Create the file for writing, truncating an existing one.
  kCreateAlways,
  // Create a new file for writing, readable and writable by its owner only
  // (POSIX mode 0600; on Windows the folder's inherited rights).  Fails when
  // the name exists in any form: an existing file is never reused and a
  // symbolic link there is never followed.  For work files that others
  // must not read or plant before they are complete.
  kCreateNew,
};

// Who may read, write and execute a file, where the platform records it:
// the read, write and execute bits for owner, group and others (POSIX
// 0777; special bits such as set-user-ID are not carried), the owner and
// the group.  -1 where the platform records nothing of the kind.
struct FileAccess {
  std::int64_t permissions = -1;
  std::int64_t owner = -1;
  std::int64_t group = -1;
};

// Attributes reported by GetFileAttributes and GetEntryAttributes.
struct FileAttributes {
  bool is_directory = false;
  // GetEntryAttributes only: the entry is a symbolic link, a junction or
  // another name that redirects to another place; the other fields then
  // describe the link itself.
  bool is_symbolic_link = false;
  FileTime last_write_time = 0;  // full precision
  std::uint64_t size = 0;        // bytes of a file's content
  FileAccess access;
};

class Env {
 public:
  Env() = default;
  Env(const Env&) = delete;
  Env& operator=(const Env&) = delete;
  virtual ~Env();

  // The POSIX environment.  Never null; lives for the whole process.
  static Env* Default();

  // ---- Clock ----------------------------------------------------------

  // Milliseconds since an arbitrary start; wraps around like a 32-bit tick
  // counter.
  virtual std::uint32_t GetTickCount() = 0;

  // Blocks the calling thread for the given number of milliseconds.
  virtual void Sleep(std::uint32_t milliseconds) = 0;

  // Wall-clock time in whole seconds since 1970-01-01 00:00:00 UTC.
  virtual std::int64_t NowUnixSeconds() = 0;

  // ---- Process ---------------------------------------------------------

  // Full path of the host executable in library form (backslash
  // separators), e.g. "\usr\bin\keltos3".  Empty when it cannot be found.
  virtual std::u16string GetModuleFileName() = 0;

  // Stores the value of the environment variable `name` in *value and
  // returns true; returns false (leaving *value alone) when it is not set.
  virtual bool GetEnvironmentVariable(const char* name, std::string* value) = 0;

  // ---- Diagnostics -------------------------------------------------------

  // Registers the named event source.  Returns 0 when registration fails;
  // reporting through a 0 handle does nothing.  Registration changes no
  // process-wide logging state (the host's own log identity stays as the
  // host set it).  The POSIX implementation writes to the system log
  // (platform/system_log.h); the handle only holds the source name.
  virtual EventSourceHandle RegisterEventSource(const std::u16string& source) = 0;

  // Writes one event record with one insertion string; the record names the
  // source it was written under.  Never waits for a congested log.  Returns
  // false when the record could not be written.
  virtual bool ReportEvent(EventSourceHandle source, std::uint16_t type,
                           std::uint16_t category, std::uint32_t event_id,
                           const std::u16string& text) = 0;

  virtual void DeregisterEventSource(EventSourceHandle source) = 0;

  // Writes text, unchanged, to the debug-trace channel.
  virtual void OutputDebugString(const std::u16string& text) = 0;

  // ---- Files -------------------------------------------------------------
  //
  // A path holding a NUL names no file: every call below fails for it
  // (IsFileInUse reports it in use).

  // Opens a regular file; anything else (a directory, a FIFO, a device)
  // fails.  Never blocks on the open.  Returns null on failure.
  virtual std::unique_ptr<File> OpenFile(const std::u16string& path,
                                         FileOpenMode mode) = 0;

  // Starts an enumeration of the entries of the directory `path` ("." and
  // ".." included, like the platform's find-first/find-next).  Returns null
  // when the directory cannot be read.
  virtual std::unique_ptr<DirectoryIterator> OpenDirectory(
      const std::u16string& path) = 0;

  // Fills *attributes and returns true when `path` exists.  A symbolic
  // link is followed.
  virtual bool GetFileAttributes(const std::u16string& path,
                                 FileAttributes* attributes) = 0;

  // The same for the entry `path` names itself: when it is a symbolic link
  // (or junction, or other redirecting name), the link is not followed and
  // is reported with is_symbolic_link.  Earlier components of the path are
  // resolved as usual.
  virtual bool GetEntryAttributes(const std::u16string& path,
                                  FileAttributes* attributes) = 0;

  // Each returns true on success.
  virtual bool CreateDirectory(const std::u16string& path) = 0;
  virtual bool RemoveDirectory(const std::u16string& path) = 0;
  virtual bool DeleteFile(const std::u16string& path) = 0;
  // Atomically replaces `to` with `from` (both in the same directory).
  virtual bool RenameFile(const std::u16string& from,
                          const std::u16string& to) = 0;

  // Sets only the last-write time of an existing file; the last-access time
  // stays.  Returns true on success.
  virtual bool SetLastWriteTime(const std::u16string& path, FileTime time) = 0;

  // The exclusive-open test: true when the file cannot be opened by this
  // caller alone, that is when it does not exist, is not a regular file,
  // cannot be opened for reading, or another open file holds a flock or
  // fcntl lock on it (on Windows: another handle has it open).  No write
  // access is needed: a read-only file, or a file on a read-only mount, that
  // nobody else holds is not in use.
  virtual bool IsFileInUse(const std::u16string& path) = 0;

  // ---- HTTP --------------------------------------------------------------

  // Opens an HTTP session (the first of the session/connection/request
  // handles an exchange goes through).  Returns null on failure.
  virtual std::unique_ptr<HttpSession> OpenHttpSession(
      const HttpSessionOptions& options) = 0;
};

// The Env the library uses now: Env::Default() unless a test installed
// another one.
Env* CurrentEnv();

// Installs `env` as the current Env for its lifetime, then restores the
// previous one.  `env` must outlive the override.
class ScopedEnvOverride {
 public:
  explicit ScopedEnvOverride(Env* env);
  ScopedEnvOverride(const ScopedEnvOverride&) = delete;
  ScopedEnvOverride& operator=(const ScopedEnvOverride&) = delete;
  ~ScopedEnvOverride();

 private:
  Env* previous_;
};

// An Env that forwards every call to a target; tests derive from it and
// override only the calls they want to change.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env* target) : target_(target) {}
  Env* target() const { return target_; }

  std::uint32_t GetTickCount() override { return target_->GetTickCount(); }
  void Sleep(std::uint32_t ms) override { target_->Sleep(ms); }
  std::int64_t NowUnixSeconds() override { return target_->NowUnixSeconds(); }
  std::u16string GetModuleFileName() override {
    return target_->GetModuleFileName();
  }
  bool GetEnvironmentVariable(const char* name, std::string* value) override {
    return target_->GetEnvironmentVariable(name, value);
  }
  EventSourceHandle RegisterEventSource(const std::u16string& source) override {
    return target_->RegisterEventSource(source);
  }
  bool ReportEvent(EventSourceHandle source, std::uint16_t type,
                   std::uint16_t category, std::uint32_t event_id,
                   const std::u16string& text) override {
    return target_->ReportEvent(source, type, category, event_id, text);
  }
  void DeregisterEventSource(EventSourceHandle source) override {
    target_->DeregisterEventSource(source);
  }
  void OutputDebugString(const std::u16string& text) override {
    target_->OutputDebugString(text);
  }
  std::unique_ptr<File> OpenFile(const std::u16string& path,
                                 FileOpenMode mode) override;
  std::unique_ptr<DirectoryIterator> OpenDirectory(
      const std::u16string& path) override;
  bool GetFileAttributes(const std::u16string& path,
                         FileAttributes* attributes) override {
    return target_->GetFileAttributes(path, attributes);
  }
  bool GetEntryAttributes(const std::u16string& path,
                          FileAttributes* attributes) override {
    return target_->GetEntryAttributes(path, attributes);
  }
  bool CreateDirectory(const std::u16string& path) override {
    return target_->CreateDirectory(path);
  }
  bool RemoveDirectory(const std::u16string& path) override {
    return target_->RemoveDirectory(path);
  }
  bool DeleteFile(const std::u16string& path) override {
    return target_->DeleteFile(path);
  }
  bool RenameFile(const std::u16string& from,
                  const std::u16string& to) override {
    return target_->RenameFile(from, to);
  }
  bool SetLastWriteTime(const std::u16string& path, FileTime time) override {
    return target_->SetLastWriteTime(path, time);
  }
  bool IsFileInUse(const std::u16string& path) override {
    return target_->IsFileInUse(path);
  }
  std::unique_ptr<HttpSession> OpenHttpSession(
      const HttpSessionOptions& options) override;

 private:
  Env* const target_;
};

}  // namespace platform

#endif  // KELTOS3_SRC_PLATFORM_ENV_H_
