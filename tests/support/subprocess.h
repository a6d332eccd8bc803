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

// A program started in the background, for tests that signal it while it
// runs.  Standard input is /dev/null; what it writes is collected in files
// and returned by Wait.
class BackgroundProcess {
 public:
  BackgroundProcess(const std::vector<std::string>& argv,
                    const std::map<std::string, std::optional<std::string>>& env = {});
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;
  // Kills the program when it still runs.
  ~BackgroundProcess();

  // Sends `signal_number` to the program.
  void Signal(int signal_number);

  // Waits until what the program wrote to standard output (WaitForError:
  // standard error) holds `text` (true), or the program ended or
  // `timeout_seconds` passed (false).
  bool WaitForOutput(const std::string& text, int timeout_seconds);
  bool WaitForError(const std::string& text, int timeout_seconds);

  // Waits until the program ends, at most `timeout_seconds` (then it is
  // killed and exit_code is -2).  Returns its status and output.
  ProcessResult Wait(int timeout_seconds);

 private:
  bool WaitForText(const std::string& path, const std::string& text, int timeout_seconds);

  int pid_ = -1;
  std::string out_path_;
  std::string err_path_;
};

}  // namespace testsupport

#endif  // KELTOS3_TESTS_SUPPORT_SUBPROCESS_H_
