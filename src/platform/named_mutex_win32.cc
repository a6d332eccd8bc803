// NamedMutex on the system's named mutex objects.

#include "platform/win32_api.h"

#include <aclapi.h>

#include <vector>

#include "common/wide_string.h"
#include "platform/named_mutex.h"

namespace platform {
namespace {

// The owner this process gives the objects it creates (its token's default
// owner), copied into `sid`.
bool DefaultOwner(std::vector<unsigned char>* sid) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  const ScopedHandle scoped(token);
  DWORD size = 0;
  ::GetTokenInformation(token, TokenOwner, nullptr, 0, &size);
  if (size == 0) return false;
  std::vector<unsigned char> buffer(size);
  if (!::GetTokenInformation(token, TokenOwner, buffer.data(), size, &size)) {
    return false;
  }
  const PSID owner = reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner;
  if (!::IsValidSid(owner)) return false;
  sid->resize(::GetLengthSid(owner));
  return ::CopySid(static_cast<DWORD>(sid->size()), sid->data(), owner) != 0;
}

// Whether the mutex behind `handle` was made by this user: a mutex of the
// name that someone else made first could be held by them for ever.
bool OwnedByThisUser(HANDLE handle) {
  std::vector<unsigned char> mine;
  if (!DefaultOwner(&mine)) return false;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetSecurityInfo(handle, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                        nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const bool same = owner != nullptr && ::EqualSid(owner, mine.data());
  ::LocalFree(descriptor);
  return same;
}

}  // namespace

NamedMutex::NamedMutex(const std::string& name) {
  if (name.size() > kMaxNameLength) return;
  // Opened without taking it; an existing mutex of the name is shared.  A
  // new one gets the token's default rights: its user's, not other users'.
  // One that already exists must be this user's own.
  const std::wstring wide = ToWide(Utf8ToU16(name));
  const HANDLE handle = ::CreateMutexW(nullptr, FALSE, wide.c_str());
  if (handle == nullptr) return;
  if (::GetLastError() == ERROR_ALREADY_EXISTS && !OwnedByThisUser(handle)) {
    ::CloseHandle(handle);
    return;
  }
  handle_ = handle;
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
