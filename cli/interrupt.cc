#include "interrupt.h"

#include <signal.h>
#include <unistd.h>

namespace cli {
namespace {

volatile sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) {
  g_interrupted = 1;
  // The next one takes the default action: the process ends at once.
  struct sigaction fallback{};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(SIGINT, &fallback, nullptr);
  static const char kNote[] =
      "\nkeltos3: stopping after the current step (Ctrl-C again ends at once)\n";
  const ssize_t ignored = ::write(STDERR_FILENO, kNote, sizeof(kNote) - 1);
  (void)ignored;
}

}  // namespace

void CatchInterrupt() {
  struct sigaction action{};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
}

bool Interrupted() { return g_interrupted != 0; }

volatile sig_atomic_t* InterruptFlag() { return &g_interrupted; }

}  // namespace cli
