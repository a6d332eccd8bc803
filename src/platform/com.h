// The COM runtime calls the snapshot-assisted engine makes around its
// lifetime.  On Windows they are ole32's own calls.  POSIX has no COM
// runtime: there, initialising and uninitialising do nothing and report
// success, and the calls keep their place so that the engine's sequence
// stays the same on every platform.
//
// Thread safety: every function may be called from any thread.

#ifndef KELTOS3_SRC_PLATFORM_COM_H_
#define KELTOS3_SRC_PLATFORM_COM_H_

#include <cstdint>

namespace platform {

// Result of a COM call; 0 is success (S_OK).
using HResult = std::int32_t;
constexpr HResult kComOk = 0;

// Concurrency model of CoInitializeEx: 0, the multithreaded model.
constexpr std::uint32_t kComMultithreaded = 0;
// Levels of CoInitializeSecurity.
constexpr std::uint32_t kComAuthnLevelPacketPrivacy = 6;
constexpr std::uint32_t kComImpLevelIdentify = 2;
constexpr std::uint32_t kComCapabilitiesNone = 0;

// Initialises COM on the calling thread.
HResult CoInitializeEx(void* reserved, std::uint32_t concurrency_model);

// Sets the process's default security levels.
HResult CoInitializeSecurity(void* security_descriptor,
                             std::int32_t authentication_services,
                             void* service_list, void* reserved1,
                             std::uint32_t authentication_level,
                             std::uint32_t impersonation_level,
                             void* authentication_list,
                             std::uint32_t capabilities, void* reserved3);

// Ends the calling thread's use of COM.
void CoUninitialize();

}  // namespace platform

#endif  // KELTOS3_SRC_PLATFORM_COM_H_
