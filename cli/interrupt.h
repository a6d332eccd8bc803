// Ctrl-C for commands that must stop cleanly.  The first SIGINT only marks
// the command as interrupted (and says so on stderr); the command notices
// at its next step, undoes what it left half-done and ends with exit status
// 130.  A second SIGINT ends the process at once.

#ifndef KELTOS3_CLI_INTERRUPT_H_
#define KELTOS3_CLI_INTERRUPT_H_

#include <csignal>

namespace cli {

// Installs the handler for the rest of the process.
void CatchInterrupt();

// True once a SIGINT arrived.
bool Interrupted();

// The flag the handler sets (0 until a SIGINT arrived), for a library call
// that watches it itself (KeltoS3SyncParams::stop).
volatile sig_atomic_t* InterruptFlag();

}  // namespace cli

#endif  // KELTOS3_CLI_INTERRUPT_H_
