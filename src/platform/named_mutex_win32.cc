// NamedMutex on the system's named mutex objects.

#include "platform/win32_api.h"

#include "common/wide_string.h"
#include "platform/named_mutex.h"

namespace platform {

NamedMutex::NamedMutex(const std::string& name) {
  if (name.size() > kMaxNameLength) return;
  // Opened without taking it; an existing mutex of the name is shared.
  const std::wstring wide = ToWide(Utf8ToU16(name));
  handle_ = ::CreateMutexW(nullptr, FALSE, wide.c_str());
}

NamedMutex::~NamedMutex() {
  if (handle_ == nullptr) return;
  if (held_) ::ReleaseMutex(handle_);
  ::CloseHandle(handle_);
}

bool NamedMutex::Lock() {
  if (handle_ == nullptr) return false;
  if (held_) return true;
  // WAIT_ABANDONED: the last holder ended without releasing it; the mutex
  // is ours all the same.
  const DWORD result = ::WaitForSingleObject(handle_, INFINITE);
  held_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
  return held_;
}

bool NamedMutex::TryLock() {
  if (handle_ == nullptr) return false;
  if (held_) return true;
  const DWORD result = ::WaitForSingleObject(handle_, 0);
  held_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
  return held_;
}

void NamedMutex::Unlock() {
  if (handle_ == nullptr || !held_) return;
  ::ReleaseMutex(handle_);
  held_ = false;
}

}  // namespace platform
