// SPDX-License-Identifier: GPL-3.0-or-later
#include <cstdlib>
#include <exception>

#include "app/console_main.h"
#include "settings/run_settings.h"
#include "sheet/diagnostics.h"

namespace {

// Every stage catches what it throws; should an exception still escape one, on any thread,
// the run ends as any failed run does, with the catch-all line and exit status 1, never with
// an abort.
[[noreturn]] void EndWithCatchAllLine() {
  DiagnoseCurrentException(TheRunSettings().src);
  std::_Exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  std::set_terminate(&EndWithCatchAllLine);
  // The command line is taken as one string, as the program splits it itself.
  RememberProcessArguments(argc, argv);
  return ConsoleMain();
}
