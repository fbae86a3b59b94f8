// SPDX-License-Identifier: GPL-3.0-or-later
// Runs a program (normally the built vgrid) as a child process with chosen arguments,
// environment and working directory, and collects its output and exit status.
#pragma once

#include <string>
#include <vector>

/// How the child is started.
struct RunOptions {
  /// Variables set in the child, "NAME=value"; they replace inherited ones of the same name.
  std::vector<std::string> set_env;
  /// Names removed from the inherited environment.
  std::vector<std::string> unset_env;
  /// Start from an empty environment instead of the test's own (set_env still applies).
  bool clear_env = false;
  /// Working directory of the child; empty keeps the test's own.
  std::string cwd;
  /// argv[0] of the child; empty means the program path.
  std::string argv0;
  /// Bytes written to the child's standard input, which is then closed (/dev/null if empty).
  std::string input;
  /// The child is killed with SIGKILL after this many seconds.
  int timeout_seconds = 120;
};

/// What the child did.
struct RunResult {
  std::string out;  ///< everything written to standard output
  std::string err;  ///< everything written to standard error
  /// The exit status when the child exited normally, else -1.
  int exit_code = -1;
  /// The signal that ended the child, else 0.
  int term_signal = 0;
  bool timed_out = false;
  /// Empty when the child was started; else why it could not be (bad path, fork failure).
  std::string start_error;
};

/// Runs `program` with `args` (argv[1] onwards) and waits for it. Reads both output streams
/// as they come, so a child writing a lot cannot block.
RunResult RunBinary(const std::string& program, const std::vector<std::string>& args,
                    const RunOptions& options = {});

/// The built vgrid (environment VGRID_BINARY, set by CTest), or empty when unset.
std::string VgridBinaryPath();
/// True when VGRID_BINARY names an executable file.
bool VgridBinaryAvailable();

/// Compiles the locale `name` (such as "ja_JP.WINDOWS-31J") with localedef from the system's
/// locale source `input` (such as "ja_JP") and character map `charmap` (such as "WINDOWS-31J")
/// into `dir`, which needs no root. Returns the variables that make a child use it
/// ({"LOCPATH=dir", "LC_ALL=name", and an LSAN_OPTIONS that silences glibc's own allocation
/// for LOCPATH in sanitizer builds}, for RunOptions::set_env), or an empty list with `why`
/// telling what failed (no localedef, no such source or character map).
std::vector<std::string> CompileLocale(const std::string& dir, const std::string& input,
                                       const std::string& charmap, const std::string& name,
                                       std::string* why);
