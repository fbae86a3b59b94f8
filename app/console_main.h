// SPDX-License-Identifier: GPL-3.0-or-later
// The program's entry: parse, start the runtime and the imaging layer, run one sheet, stop.
#pragma once

#include "settings/run_settings.h"

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

/// Runs the contact sheet: 0 when the image was written, 1 when not (the sheet has said why).
int RunSheet(RunSettings& settings);
/// Starts and stops the imaging layer.
void StartImaging();
void StopImaging();

/// What the driver calls around and after its echo; tests of the driver replace them.
struct DriverHooks {
  SheetRunner run_sheet = RunSheet;
  ImagingStep start_imaging = StartImaging;
  ImagingStep stop_imaging = StopImaging;
};
/// The process-wide hooks that ConsoleMain() uses.
DriverHooks& TheDriverHooks();

/// `ConsoleMain`: runs the program once and returns the process exit code:
/// 2 when the command line is refused (the usage text was printed), 0 when the destination
/// already exists (its message was printed), 1 when the runtime cannot be initialised, else
/// what the sheet runner returns.
int ConsoleMain();
