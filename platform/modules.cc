// SPDX-License-Identifier: GPL-3.0-or-later
// Loading the program's modules. A module is loaded once and never unloaded: the image
// libraries and libavfilter start threads and keep state that must not outlive their code.

#include "platform/modules.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <mutex>

namespace {

std::mutex module_mutex;
std::string directory_for_testing;  // guarded by module_mutex

// What came of loading each module file, by path: its handle, or why it could not be loaded.
struct Loaded {
  void* handle = nullptr;
  std::string error;
};
std::map<std::string, Loaded>& LoadedModules() {
  static auto* modules = new std::map<std::string, Loaded>;
  return *modules;
}

std::string UsualDirectory() {
  char exe[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return VGRID_MODULE_DIR;
  std::string path(exe, static_cast<std::size_t>(n));
  const std::string joined = path.substr(0, path.rfind('/') + 1) + VGRID_MODULE_DIR_FROM_BIN;
  // /usr/bin/../lib/... as /usr/lib/..., in the loader's messages and the program's.
  char resolved[PATH_MAX];
  return realpath(joined.c_str(), resolved) != nullptr ? std::string(resolved) : joined;
}

std::string DirectoryLocked() {
  return directory_for_testing.empty() ? UsualDirectory() : directory_for_testing;
}

}  // namespace

std::string ModuleDirectory() {
  std::lock_guard lock(module_mutex);
  return DirectoryLocked();
}

void* ModuleSymbol(const std::string& name, const char* symbol, std::string* why) {
  std::lock_guard lock(module_mutex);
  const std::string path = DirectoryLocked() + "/" + name + ".so";
  auto [it, first] = LoadedModules().try_emplace(path);
  Loaded& module = it->second;
  if (first) {
    // Every symbol now, so that a library that is missing a symbol fails here, with its
    // name, rather than in the middle of a save; nothing of the module's is seen by
    // modules loaded after it.
    module.handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module.handle == nullptr) {
      const char* error = dlerror();
      module.error = error != nullptr ? error : "cannot load " + path;
    }
  }
  if (module.handle == nullptr) {
    *why = module.error;
    return nullptr;
  }
  dlerror();
  void* address = dlsym(module.handle, symbol);
  if (address == nullptr) {
    *why = path + ": no " + symbol;
    return nullptr;
  }
  return address;
}

void SetModuleDirectoryForTesting(const std::string& directory) {
  std::lock_guard lock(module_mutex);
  directory_for_testing = directory;
}
