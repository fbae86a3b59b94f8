// The program's entry: parse, start the runtime and the imaging layer, run one sheet, stop.
#pragma once

#include "app/run_settings.h"

/// Keeps argv so that GetCommandLineA can rebuild the whole command line from it.
void RememberProcessArguments(int argc, char** argv);
/// The whole command line as one string, program name first, in a quoting that
/// SplitCommandLine undoes exactly.
const char* GetCommandLineA();
/// True when an argument after the program name was empty: the command line cannot carry it,
/// so the run is refused like any other malformed command line.
bool CommandLineHasEmptyArgument();

/// Runs the sheet for the parsed settings and returns the process exit code: 0 when an image
/// was written, 1 otherwise.
using SheetRunner = int (*)(RunSettings& settings);
/// Starts or stops the imaging layer around the sheet.
using ImagingStep = void (*)();

/// Placeholder runner until the sheet is linked into the program: writes nothing, returns 0.
int RunSheetNotYetBuilt(RunSettings& settings);
/// Placeholder imaging start-up and shut-down: do nothing.
void ImagingNotYetBuilt();

/// What the driver calls between its echo and the shut-down. main() may replace the
/// placeholders before calling ConsoleMain.
struct DriverHooks {
  SheetRunner run_sheet = RunSheetNotYetBuilt;
  ImagingStep start_imaging = ImagingNotYetBuilt;
  ImagingStep stop_imaging = ImagingNotYetBuilt;
};
/// The process-wide hooks that ConsoleMain() uses.
DriverHooks& TheDriverHooks();

/// `ConsoleMain`: runs the program once and returns the process exit code:
/// 2 when the command line is refused (the usage text was printed), 0 when the destination
/// already exists (its message was printed), 1 when the runtime cannot be initialised, else
/// what the sheet runner returns.
int ConsoleMain();
