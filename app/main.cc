// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/console_main.h"

int main(int argc, char** argv) {
  // The command line is taken as one string, as the program splits it itself.
  RememberProcessArguments(argc, argv);
  return ConsoleMain();
}
