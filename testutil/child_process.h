// SPDX-License-Identifier: GPL-3.0-or-later
// A child process whose standard output a test reads while it runs, to act at a chosen
// moment of the run (RunBinary only returns once the child has ended).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "testutil/run_binary.h"

class ChildProcess {
 public:
  /// Starts `program` with `args` (argv[1] onwards), standard input from /dev/null, the
  /// inherited environment plus `set_env` ("NAME=value"). start_error() tells a failure.
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& set_env = {});
  /// Kills the child (SIGKILL) if it still runs, and reaps it.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  const std::string& start_error() const { return start_error_; }
  /// The child's process id (to send it a signal), or -1 when it did not start.
  pid_t pid() const { return pid_; }

  /// Reads the child's output until standard output holds `text`; false when the child
  /// closed its output first or `timeout_ms` passed.
  bool WaitForOutput(const std::string& text, int timeout_ms);

  /// Reads the rest of the output and waits for the child's end (killing it after
  /// `timeout_seconds`); everything it wrote is in the result.
  RunResult Finish(int timeout_seconds);

 private:
  // Reads whatever is ready within `timeout_ms`; false once both streams are closed.
  bool Pump(int timeout_ms);

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string out_;
  std::string err_;
  std::string start_error_;
};
