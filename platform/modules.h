// SPDX-License-Identifier: GPL-3.0-or-later
// The program's own shared modules: each image library's encoder, and the frame filter with
// libavfilter, in a private library folder, loaded the first time a run needs them so that a
// run loads only the libraries it uses.
#pragma once

#include <string>

/// Exports a module's entry point under its plain name.
#define VGRID_MODULE_EXPORT extern "C" __attribute__((visibility("default")))

/// The folder the modules are loaded from: the program's private library folder, found from
/// the program's own place (bin/../lib/<multiarch>/vgrid installed, and the same layout in
/// the build tree), or the installed folder when the program cannot see where it is.
std::string ModuleDirectory();

/// The address of `symbol` in the module `name` (the file `name`.so in ModuleDirectory()),
/// loading the module and the libraries it needs on first use; it then stays loaded. Null when
/// they cannot be loaded or the module lacks the symbol, with the cause in *why. Thread-safe.
void* ModuleSymbol(const std::string& name, const char* symbol, std::string* why);

/// Test hook: modules come from `directory` from now on (empty: the usual folder again).
/// Modules already loaded from elsewhere stay loaded.
void SetModuleDirectoryForTesting(const std::string& directory);
