#include "platform/com.h"

namespace platform {

HResult CoInitializeEx(void*, std::uint32_t) { return kComOk; }

HResult CoInitializeSecurity(void*, std::int32_t, void*, void*, std::uint32_t,
                             std::uint32_t, void*, std::uint32_t, void*) {
  return kComOk;
}

void CoUninitialize() {}

}  // namespace platform
