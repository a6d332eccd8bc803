// Runs a program to its end and collects what it wrote.

#ifndef KELTOS3_TESTS_SUPPORT_SUBPROCESS_H_
#define KELTOS3_TESTS_SUPPORT_SUBPROCESS_H_

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct ProcessResult {
  // The exit status, or 128 + the signal number when a signal ended it; -1
  // when the program could not be started.
  int exit_code = -1;
  std::string out;
  std::string err;
};

// Runs argv[0] (a path) with the arguments argv[1..] in the directory `cwd`
// (empty: the current one).  Standard input is `input` (at most 64 KiB),
// or /dev/null without it.  The environment is this process's, with each
// entry of `env` set (a value) or removed (nullopt).
ProcessResult RunProcess(
    const std::vector<std::string>& argv,
    const std::map<std::string, std::optional<std::string>>& env = {},
    const std::string& cwd = "", const std::optional<std::string>& input = std::nullopt);

// A program started in the background, for tests that act on it while it
// runs (send it a signal once it printed something).  Standard input is
// /dev/null; the environment is set as for RunProcess.
class BackgroundProcess {
 public:
  BackgroundProcess(const std::vector<std::string>& argv,
                    const std::map<std::string, std::optional<std::string>>& env = {});
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;
  // Kills the program when it still runs.
  ~BackgroundProcess();

  bool started() const { return pid_ > 0; }

  // Collects output until standard output (WaitForError: standard error)
  // holds `text` (true) or the program ended or `timeout_ms` passed (false).
  bool WaitForOutput(const std::string& text, int timeout_ms) {
    return WaitFor(result_.out, text, timeout_ms);
  }
  bool WaitForError(const std::string& text, int timeout_ms) {
    return WaitFor(result_.err, text, timeout_ms);
  }

  void Signal(int signal);

  // Collects the rest of the output and the exit code (as RunProcess).
  ProcessResult Wait();

 private:
  // Reads what is ready within `timeout_ms`; false once both pipes closed.
  bool Collect(int timeout_ms);
  bool WaitFor(const std::string& collected, const std::string& text, int timeout_ms);

  int pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  ProcessResult result_;
};

}  // namespace testsupport

#endif  // KELTOS3_TESTS_SUPPORT_SUBPROCESS_H_
