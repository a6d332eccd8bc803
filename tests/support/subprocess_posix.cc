#include "support/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace testsupport {
namespace {

std::vector<std::string> MergedEnvironment(
    const std::map<std::string, std::optional<std::string>>& changes) {
  std::map<std::string, std::string> merged;
  for (char** e = environ; *e != nullptr; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (eq == nullptr) continue;
    merged[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
  }
  for (const auto& [name, value] : changes) {
    if (value.has_value()) {
      merged[name] = *value;
    } else {
      merged.erase(name);
    }
  }
  std::vector<std::string> out;
  for (const auto& [name, value] : merged) out.push_back(name + "=" + value);
  return out;
}

}  // namespace

ProcessResult RunProcess(
    const std::vector<std::string>& argv,
    const std::map<std::string, std::optional<std::string>>& env,
    const std::string& cwd, const std::optional<std::string>& input) {
  ProcessResult result;
  if (argv.empty()) return result;
  const std::vector<std::string> environment = MergedEnvironment(env);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  int out_pipe[2], err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) return result;
  if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    return result;
  }
  int in_pipe[2] = {-1, -1};
  if (input.has_value()) {
    // The whole input fits the pipe's buffer, so it is written up front.
    if (input->size() > 65536 || ::pipe2(in_pipe, O_CLOEXEC) != 0) {
      for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) ::close(fd);
      return result;
    }
    size_t done = 0;
    while (done < input->size()) {
      const ssize_t w = ::write(in_pipe[1], input->data() + done, input->size() - done);
      if (w <= 0) break;
      done += static_cast<size_t>(w);
    }
    ::close(in_pipe[1]);
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int in_fd = input.has_value() ? in_pipe[0] : ::open("/dev/null", O_RDONLY);
    if (in_fd >= 0) ::dup2(in_fd, 0);
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) ::_exit(126);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  if (in_pipe[0] >= 0) ::close(in_pipe[0]);
  if (pid < 0) {
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    return result;
  }
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  while (open_count > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  for (pollfd& p : fds) {
    if (p.fd >= 0) ::close(p.fd);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.exit_code = 128 + WTERMSIG(status);
  }
  return result;
}

namespace {

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string OutputFile() {
  char path[] = "/tmp/keltos3-process-XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd >= 0) ::close(fd);
  return path;
}

}  // namespace

BackgroundProcess::BackgroundProcess(
    const std::vector<std::string>& argv,
    const std::map<std::string, std::optional<std::string>>& env)
    : out_path_(OutputFile()), err_path_(OutputFile()) {
  const std::vector<std::string> environment = MergedEnvironment(env);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    const int in_fd = ::open("/dev/null", O_RDONLY);
    const int out_fd = ::open(out_path_.c_str(), O_WRONLY | O_TRUNC);
    const int err_fd = ::open(err_path_.c_str(), O_WRONLY | O_TRUNC);
    if (in_fd < 0 || out_fd < 0 || err_fd < 0) ::_exit(126);
    ::dup2(in_fd, 0);
    ::dup2(out_fd, 1);
    ::dup2(err_fd, 2);
    // A test runner may ignore SIGINT; the program gets the default.
    ::signal(SIGINT, SIG_DFL);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
}

BackgroundProcess::~BackgroundProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  ::unlink(out_path_.c_str());
  ::unlink(err_path_.c_str());
}

void BackgroundProcess::Signal(int signal_number) {
  if (pid_ > 0) ::kill(pid_, signal_number);
}

bool BackgroundProcess::WaitForOutput(const std::string& text, int timeout_seconds) {
  return WaitForText(out_path_, text, timeout_seconds);
}

bool BackgroundProcess::WaitForError(const std::string& text, int timeout_seconds) {
  return WaitForText(err_path_, text, timeout_seconds);
}

bool BackgroundProcess::WaitForText(const std::string& path, const std::string& text,
                                    int timeout_seconds) {
  for (int waited = 0; waited < timeout_seconds * 100; ++waited) {
    if (ReadWhole(path).find(text) != std::string::npos) return true;
    // Ended?  Asked without reaping it, so that Wait still sees its status.
    siginfo_t info{};
    if (pid_ <= 0 ||
        ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
        info.si_pid != 0) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return ReadWhole(path).find(text) != std::string::npos;
}

ProcessResult BackgroundProcess::Wait(int timeout_seconds) {
  ProcessResult result;
  if (pid_ <= 0) return result;
  int status = 0;
  pid_t done = 0;
  for (int waited = 0; waited < timeout_seconds * 100; ++waited) {
    done = ::waitpid(pid_, &status, WNOHANG);
    if (done != 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (done == 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    result.exit_code = -2;
  } else if (WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.exit_code = 128 + WTERMSIG(status);
  }
  pid_ = -1;
  result.out = ReadWhole(out_path_);
  result.err = ReadWhole(err_path_);
  return result;
}

}  // namespace testsupport
