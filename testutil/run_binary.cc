// SPDX-License-Identifier: GPL-3.0-or-later
#include "testutil/run_binary.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace {

std::string NameOf(const std::string& entry) { return entry.substr(0, entry.find('=')); }

std::vector<std::string> ChildEnvironment(const RunOptions& options) {
  std::vector<std::string> env;
  if (!options.clear_env) {
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) env.emplace_back(*e);
  }
  auto remove = [&env](const std::string& name) {
    std::erase_if(env, [&name](const std::string& entry) { return NameOf(entry) == name; });
  };
  for (const std::string& name : options.unset_env) remove(name);
  for (const std::string& entry : options.set_env) {
    remove(NameOf(entry));
    env.push_back(entry);
  }
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// A pipe whose ends are closed when the owner goes away.
struct Pipe {
  int fd[2] = {-1, -1};
  bool Open() { return pipe2(fd, O_CLOEXEC) == 0; }
  void Close(int end) {
    if (fd[end] >= 0) close(fd[end]);
    fd[end] = -1;
  }
  ~Pipe() {
    Close(0);
    Close(1);
  }
};

}  // namespace

RunResult RunBinary(const std::string& program, const std::vector<std::string>& args,
                    const RunOptions& options) {
  RunResult result;
  std::vector<std::string> argv_strings;
  argv_strings.push_back(options.argv0.empty() ? program : options.argv0);
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<std::string> env_strings = ChildEnvironment(options);
  std::vector<char*> argv = Pointers(argv_strings);
  std::vector<char*> envp = Pointers(env_strings);

  Pipe out, err, in, status;
  if (!out.Open() || !err.Open() || !in.Open() || !status.Open()) {
    result.start_error = std::string("pipe: ") + std::strerror(errno);
    return result;
  }
  pid_t pid = fork();
  if (pid < 0) {
    result.start_error = std::string("fork: ") + std::strerror(errno);
    return result;
  }
  if (pid == 0) {
    // Child: only async-signal-safe calls from here on.
    dup2(in.fd[0], STDIN_FILENO);
    dup2(out.fd[1], STDOUT_FILENO);
    dup2(err.fd[1], STDERR_FILENO);
    int error = 0;
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) {
      error = errno;
    } else {
      execve(program.c_str(), argv.data(), envp.data());
      error = errno;
    }
    // Tell the parent why the program did not start; the status pipe is close-on-exec, so a
    // successful exec leaves it empty.
    ssize_t ignored = write(status.fd[1], &error, sizeof error);
    (void)ignored;
    _exit(127);
  }

  out.Close(1);
  err.Close(1);
  in.Close(0);
  status.Close(1);
  // Feed standard input, then close it so the child sees its end.
  if (!options.input.empty()) {
    signal(SIGPIPE, SIG_IGN);
    std::size_t written = 0;
    while (written < options.input.size()) {
      ssize_t n = write(in.fd[1], options.input.data() + written, options.input.size() - written);
      if (n <= 0) break;
      written += static_cast<std::size_t>(n);
    }
  }
  in.Close(1);

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
  struct pollfd fds[2] = {{out.fd[0], POLLIN, 0}, {err.fd[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_streams = 2;
  while (open_streams > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      result.timed_out = true;
      break;
    }
    int ready = poll(fds, 2, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open_streams;
      }
    }
  }

  int wait_status = 0;
  while (waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(wait_status)) result.exit_code = WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) result.term_signal = WTERMSIG(wait_status);

  int exec_error = 0;
  if (read(status.fd[0], &exec_error, sizeof exec_error) == sizeof exec_error) {
    result.start_error = "cannot start " + program + ": " + std::strerror(exec_error);
    result.exit_code = -1;
  }
  return result;
}

std::string VgridBinaryPath() {
  const char* path = std::getenv("VGRID_BINARY");
  return path == nullptr ? std::string() : std::string(path);
}

bool VgridBinaryAvailable() {
  std::string path = VgridBinaryPath();
  struct stat st;
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         access(path.c_str(), X_OK) == 0;
}

std::vector<std::string> CompileLocale(const std::string& dir, const std::string& input,
                                       const std::string& charmap, const std::string& name,
                                       std::string* why) {
  const char* candidates[] = {"/usr/bin/localedef", "/bin/localedef", "/usr/sbin/localedef"};
  std::string localedef;
  for (const char* candidate : candidates) {
    if (access(candidate, X_OK) == 0) {
      localedef = candidate;
      break;
    }
  }
  if (localedef.empty()) {
    *why = "localedef is not installed";
    return {};
  }
  std::string target = dir + "/" + name;
  RunResult run = RunBinary(localedef, {"-f", charmap, "-i", input, target});
  struct stat st;
  // localedef exits with 1 for mere warnings and still writes the locale; what counts is that
  // the compiled locale is there.
  if (!run.start_error.empty() || stat((target + "/LC_CTYPE").c_str(), &st) != 0) {
    *why = "localedef -f " + charmap + " -i " + input + " failed: " + run.start_error + run.err;
    return {};
  }
  // glibc keeps the LOCPATH search list it builds in setlocale for the life of the process;
  // a sanitizer build of the child would report it as a leak that is not the child's own.
  std::string suppressions = dir + "/lsan-locale.supp";
  std::FILE* file = std::fopen(suppressions.c_str(), "w");
  if (file != nullptr) {
    std::fputs("leak:__argz_add_sep\nleak:_nl_find_locale\nleak:setlocale\n", file);
    std::fclose(file);
  }
  return {"LOCPATH=" + dir, "LC_ALL=" + name, "LSAN_OPTIONS=suppressions=" + suppressions};
}
