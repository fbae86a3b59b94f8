// SPDX-License-Identifier: GPL-3.0-or-later
// Replays a fuzz target's seed corpus as a regression test: every file of the directories
// (or the files) named on the command line goes once through LLVMFuzzerTestOneInput. A
// target reports a broken property by aborting, so any finding ends this run with a signal.
//
//   replay [--cp932] PATH...
//
// --cp932 first compiles a CP932 locale into a scratch directory and runs the replay again
// under it (skipped, with exit code 0 and a note, where the system has no such locale).
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "testutil/run_binary.h"
#include "testutil/temp_dir.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

int ReplayUnderCp932(int argc, char** argv) {
  TempDir dir;
  std::string why;
  std::vector<std::string> env =
      CompileLocale(dir.path(), "ja_JP", "WINDOWS-31J", "ja_JP.WINDOWS-31J", &why);
  if (env.empty()) {
    std::printf("no CP932 locale here, replay skipped: %s\n", why.c_str());
    return 0;
  }
  RunOptions options;
  options.set_env = env;
  options.timeout_seconds = 240;
  std::vector<std::string> args(argv + 2, argv + argc);
  RunResult run = RunBinary("/proc/self/exe", args, options);
  std::fwrite(run.out.data(), 1, run.out.size(), stdout);
  std::fwrite(run.err.data(), 1, run.err.size(), stderr);
  if (!run.start_error.empty() || run.term_signal != 0 || run.timed_out) {
    std::fprintf(stderr, "replay under CP932 failed: %s signal %d%s\n", run.start_error.c_str(),
                 run.term_signal, run.timed_out ? " (timed out)" : "");
    return 1;
  }
  return run.exit_code;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--cp932") == 0) return ReplayUnderCp932(argc, argv);
  std::vector<std::filesystem::path> inputs;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path path(argv[i]);
    if (std::filesystem::is_directory(path)) {
      for (const auto& entry : std::filesystem::directory_iterator(path)) {
        if (entry.is_regular_file()) inputs.push_back(entry.path());
      }
    } else {
      inputs.push_back(path);
    }
  }
  std::sort(inputs.begin(), inputs.end());
  // An empty corpus would pass without testing anything.
  if (inputs.empty()) {
    std::fprintf(stderr, "no corpus files given\n");
    return 1;
  }
  for (const auto& input : inputs) {
    std::string bytes = ReadFileBytes(input.string());
    // Announced first, so that an abort leaves the name of the input that caused it.
    std::fprintf(stderr, "%s\n", input.c_str());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  std::fprintf(stderr, "replayed %zu inputs\n", inputs.size());
  return 0;
}
