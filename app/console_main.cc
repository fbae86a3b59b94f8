// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/console_main.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "platform/com.h"
#include "platform/imaging.h"
#include "platform/text_conv.h"
#include "sheet/sheet_generator.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitRuntimeFailed = 1;
constexpr int kExitNoImage = 1;

struct ProcessCommandLine {
  std::string line;
  bool has_empty_argument = false;
};

ProcessCommandLine& TheProcessCommandLine() {
  static ProcessCommandLine command_line;
  return command_line;
}

}  // namespace

void RememberProcessArguments(int argc, char** argv) {
  std::vector<std::string> args;
  bool has_empty = false;
  for (int i = 0; i < argc && argv[i] != nullptr; ++i) {
    args.emplace_back(argv[i]);
    if (i > 0 && args.back().empty()) has_empty = true;
  }
  // An empty program name needs nothing special: the line then starts with the separating
  // space, which makes an empty token 0.
  TheProcessCommandLine() = {JoinCommandLine(args), has_empty};
}

const char* GetCommandLineA() { return TheProcessCommandLine().line.c_str(); }

bool CommandLineHasEmptyArgument() { return TheProcessCommandLine().has_empty_argument; }

int RunSheet(RunSettings& settings) {
  bool written = false;
  // The result code says which stage ended the run; whether an image exists is what the
  // exit status tells.
  SheetGenerator(settings, &written);
  return written ? 0 : kExitNoImage;
}

namespace {
std::uintptr_t g_imaging_token = 0;
}  // namespace

void StartImaging() {
  // The result is not examined: a failed start-up shows up as a canvas that cannot be made.
  GdiplusStartupInput input;
  GdiplusStartup(&g_imaging_token, &input, nullptr);
}

void StopImaging() { GdiplusShutdown(g_imaging_token); }

DriverHooks& TheDriverHooks() {
  static DriverHooks hooks;
  return hooks;
}

int ConsoleMain() {
  // The sheet is the product, the console only watches: a reader of the progress that goes
  // away (`vgrid ... | head -c 10`) must not end the run. Writes to it then fail, unseen.
  std::signal(SIGPIPE, SIG_IGN);
  // Choose the code page, and with it the locale, before anything is written, so that every
  // text and every perror message of the run is in the same one.
  ConversionCodePage();
  // Loading the locale leaves errno set by its file probes; the run starts from a clean
  // error number, so that the option diagnostics (perror) do not report a stale cause.
  errno = 0;
  RunSettings& settings = TheRunSettings();
  if (CommandLineHasEmptyArgument()) {
    PrintUsage();
    return kExitUsage;
  }
  switch (ParseCommandLine(GetCommandLineA(), settings)) {
    case ParseOutcome::kUsage:
      return kExitUsage;
    case ParseOutcome::kDestinationExists:
      // The tool never overwrites; a batch re-run skips what exists, so this is no failure.
      return 0;
    case ParseOutcome::kRun:
      break;
  }
  if (Failed(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
    std::perror("CoInitialize Failed!\r\n");
    return kExitRuntimeFailed;
  }
  const DriverHooks& hooks = TheDriverHooks();
  hooks.start_imaging();
  std::printf("src: %s\r\n", settings.src.c_str());
  std::printf("dst: %s\r\n", settings.dst.c_str());
  std::printf("column: %d\r\n", settings.cols);
  std::printf("rows: %d\r\n", settings.rows);
  int exit_code = hooks.run_sheet(settings);
  hooks.stop_imaging();
  CoUninitialize();
  return exit_code;
}
