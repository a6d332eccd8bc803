// The snapshot-assisted engine's COM calls leave the calling thread's COM as
// they found it.

#if defined(_WIN32)

#include "platform/win32_api.h"

#include <objbase.h>

#include <gtest/gtest.h>

#include <thread>

#include "sync/sync_engine.h"
#include "support/test_layout.h"

TEST(EngineComWin32Test, TheCallingThreadsComIsLeftAsItWas) {
  SKIP_IN_STANDARD_LAYOUT("the snapshot-assisted library's own cases");
  std::thread([] {
    // No COM before: none after.
    { CSyncEngine engine; }
    EXPECT_EQ(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    // A host thread in the single-threaded model: the engine cannot join it
    // in the multithreaded one and must not end the host's initialisation.
    { CSyncEngine engine; }
    EXPECT_EQ(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
    ::CoUninitialize();
    ::CoUninitialize();
  }).join();
}

#endif  // defined(_WIN32)
