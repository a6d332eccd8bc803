// The COM calls on ole32.

#include "platform/win32_api.h"

#include <objbase.h>

#include "platform/com.h"

namespace platform {

HResult CoInitializeEx(void* reserved, std::uint32_t concurrency_model) {
  return ::CoInitializeEx(reserved, concurrency_model);
}

HResult CoInitializeSecurity(void* security_descriptor,
                             std::int32_t authentication_services,
                             void* service_list, void* reserved1,
                             std::uint32_t authentication_level,
                             std::uint32_t impersonation_level,
                             void* authentication_list,
                             std::uint32_t capabilities, void* reserved3) {
  return ::CoInitializeSecurity(
      static_cast<PSECURITY_DESCRIPTOR>(security_descriptor),
      authentication_services,
      static_cast<SOLE_AUTHENTICATION_SERVICE*>(service_list), reserved1,
      authentication_level, impersonation_level, authentication_list,
      capabilities, reserved3);
}

void CoUninitialize() { ::CoUninitialize(); }

}  // namespace platform
