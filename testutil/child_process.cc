// SPDX-License-Identifier: GPL-3.0-or-later
#include "testutil/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& set_env) {
  std::vector<std::string> argv_strings = {program};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<std::string> env_strings;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string entry(*e);
    bool replaced = false;
    for (const std::string& s : set_env)
      replaced |= s.substr(0, s.find('=')) == entry.substr(0, entry.find('='));
    if (!replaced) env_strings.push_back(entry);
  }
  env_strings.insert(env_strings.end(), set_env.begin(), set_env.end());
  std::vector<char*> argv, envp;
  for (std::string& s : argv_strings) argv.push_back(s.data());
  for (std::string& s : env_strings) envp.push_back(s.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    start_error_ = std::string("pipe: ") + std::strerror(errno);
    return;
  }
  if (pipe2(err, O_CLOEXEC) != 0) {
    start_error_ = std::string("pipe: ") + std::strerror(errno);
    close(out[0]);
    close(out[1]);
    return;
  }
  pid_ = fork();
  if (pid_ == 0) {
    // Child: only async-signal-safe calls from here on.
    const int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  if (pid_ < 0) {
    start_error_ = std::string("fork: ") + std::strerror(errno);
    close(out[0]);
    close(err[0]);
    return;
  }
  out_fd_ = out[0];
  err_fd_ = err[0];
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    int status;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (out_fd_ >= 0) close(out_fd_);
  if (err_fd_ >= 0) close(err_fd_);
}

bool ChildProcess::Pump(int timeout_ms) {
  struct pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  if (out_fd_ < 0 && err_fd_ < 0) return false;
  const int ready = poll(fds, 2, timeout_ms);
  if (ready <= 0) return true;
  int* fd[2] = {&out_fd_, &err_fd_};
  std::string* sink[2] = {&out_, &err_};
  for (int i = 0; i < 2; ++i) {
    if (*fd[i] < 0 || fds[i].revents == 0) continue;
    char buffer[4096];
    const ssize_t n = read(*fd[i], buffer, sizeof buffer);
    if (n > 0) {
      sink[i]->append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      close(*fd[i]);
      *fd[i] = -1;
    }
  }
  return out_fd_ >= 0 || err_fd_ >= 0;
}

bool ChildProcess::WaitForOutput(const std::string& text, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (out_.find(text) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || pid_ <= 0) return false;
    if (!Pump(static_cast<int>(left.count()))) return out_.find(text) != std::string::npos;
  }
  return true;
}

RunResult ChildProcess::Finish(int timeout_seconds) {
  RunResult result;
  result.start_error = start_error_;
  if (pid_ <= 0) return result;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid_, SIGKILL);
      result.timed_out = true;
      break;
    }
    if (!Pump(static_cast<int>(left.count()))) break;
  }
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.term_signal = WTERMSIG(status);
  result.out = out_;
  result.err = err_;
  return result;
}
