// A mutex known by name to every process of one user, the stand-in for a
// named system mutex.  Every NamedMutex opened with the same name by the
// same user refers to the same lock, whether it lives in this process or
// another one; a holder that dies releases the lock with its death.  Other
// users cannot open it, so no other user can hold it and stall this one.
//
// The lock is an flock on a file of mode 0600 whose name is derived from the
// user id and the mutex name (hex-encoded, so any name maps to a distinct
// file) in /dev/shm, or in /tmp where /dev/shm is missing.  A symbolic link
// or a file of another owner in its place makes the instance not valid.
// Each instance holds its own open file, so two instances exclude each
// other also between threads of one process.
//
// On Windows the lock is the system's named mutex of that name
// (CreateMutexW, WaitForSingleObject, ReleaseMutex) in the session's
// namespace, owned by the calling user, who alone may use it; a mutex of
// that name that another user made is refused.  Such a
// mutex belongs to a thread: there, a second instance of the same name in
// the thread that holds it takes it at once.
//
// The lock is not recursive: Lock on an instance that already holds it
// returns at once (it is held), and one Unlock releases it; a second
// instance of the same name in the same thread blocks.
//
// Thread safety: one instance is used by one thread at a time.

#ifndef KELTOS3_SRC_PLATFORM_NAMED_MUTEX_H_
#define KELTOS3_SRC_PLATFORM_NAMED_MUTEX_H_

#include <string>

namespace platform {

class NamedMutex {
 public:
  // Opens the mutex `name` (any bytes, at most kMaxNameLength of them)
  // without taking it.  When the lock file cannot be opened, or what lies
  // at its path is not this user's private regular file, the instance is
  // not valid() and Lock fails.
  explicit NamedMutex(const std::string& name);
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;
  // Releases the lock if held and closes the file.
  ~NamedMutex();

  static constexpr size_t kMaxNameLength = 100;

#if defined(_WIN32)
  bool valid() const { return handle_ != nullptr; }
#else
  bool valid() const { return fd_ >= 0; }
#endif

  // Waits without a time limit until the lock is held.  Returns false when
  // the instance is not valid or the wait failed.
  bool Lock();
  // Returns true when the lock was free and is now held, false at once when
  // another holder has it.
  bool TryLock();
  void Unlock();

#if !defined(_WIN32)
  // Path of the calling user's lock file that stands for `name` ("" for a
  // name that is too long).
  static std::string LockFilePath(const std::string& name);
#endif

 private:
#if defined(_WIN32)
  void* handle_ = nullptr;  // the mutex object's HANDLE; null when not open
  bool held_ = false;
#else
  int fd_ = -1;
#endif
};

// Holds a NamedMutex for its lifetime.  locked() tells whether the lock was
// taken (false only when the mutex is not valid).
class NamedMutexLock {
 public:
  explicit NamedMutexLock(NamedMutex* mutex) : mutex_(mutex), locked_(mutex->Lock()) {}
  NamedMutexLock(const NamedMutexLock&) = delete;
  NamedMutexLock& operator=(const NamedMutexLock&) = delete;
  ~NamedMutexLock() {
    if (locked_) mutex_->Unlock();
  }
  bool locked() const { return locked_; }

 private:
  NamedMutex* const mutex_;
  const bool locked_;
};

}  // namespace platform

#endif  // KELTOS3_SRC_PLATFORM_NAMED_MUTEX_H_
