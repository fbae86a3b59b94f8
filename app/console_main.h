// The program's entry: parse, start the runtime and the imaging layer, run one sheet, stop.
#pragma once

/// Keeps argv so that GetCommandLineA can rebuild the whole command line from it.
void RememberProcessArguments(int argc, char** argv);
/// The whole command line as one string, program name first, in a quoting that
/// SplitCommandLine undoes exactly.
const char* GetCommandLineA();
/// Runs the program once and returns the process exit code.
int ConsoleMain();
