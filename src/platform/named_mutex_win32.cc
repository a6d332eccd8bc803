// NamedMutex on the system's named mutex objects.

#include "platform/win32_api.h"

#include <aclapi.h>

#include <vector>

#include "common/wide_string.h"
#include "platform/named_mutex.h"

namespace platform {
namespace {

// The calling process's user, as a SID copied into `sid`.
bool CurrentUser(std::vector<unsigned char>* sid) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  const ScopedHandle scoped(token);
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  if (size == 0) return false;
  std::vector<unsigned char> buffer(size);
  if (!::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return false;
  const PSID user = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
  if (!::IsValidSid(user)) return false;
  sid->resize(::GetLengthSid(user));
  return ::CopySid(static_cast<DWORD>(sid->size()), sid->data(), user) != 0;
}

// Whether the mutex behind `handle` is owned by `user`.
bool OwnedBy(HANDLE handle, PSID user) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetSecurityInfo(handle, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                        nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  const bool same = owner != nullptr && ::EqualSid(owner, user);
  ::LocalFree(descriptor);
  return same;
}

}  // namespace

NamedMutex::NamedMutex(const std::string& name) {
  if (name.size() > kMaxNameLength) return;
  // A new mutex is owned by this user, who alone may use it.  A mutex of
  // the name that already exists is shared only when it is this user's own:
  // one that someone else made first could be held by them for ever.
  std::vector<unsigned char> user;
  if (!CurrentUser(&user)) return;
  const DWORD acl_size = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) +
                         static_cast<DWORD>(user.size());
  std::vector<unsigned char> acl_buffer(acl_size);
  ACL* const acl = reinterpret_cast<ACL*>(acl_buffer.data());
  SECURITY_DESCRIPTOR descriptor;
  if (!::InitializeAcl(acl, acl_size, ACL_REVISION) ||
      !::AddAccessAllowedAce(acl, ACL_REVISION, MUTEX_ALL_ACCESS, user.data()) ||
      !::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !::SetSecurityDescriptorOwner(&descriptor, user.data(), FALSE) ||
      !::SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE)) {
    return;
  }
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), &descriptor, FALSE};
  // Opened without taking it.
  const std::wstring wide = ToWide(Utf8ToU16(name));
  const HANDLE handle = ::CreateMutexW(&attributes, FALSE, wide.c_str());
  if (handle == nullptr) return;
  if (::GetLastError() == ERROR_ALREADY_EXISTS && !OwnedBy(handle, user.data())) {
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
