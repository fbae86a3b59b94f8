// SPDX-License-Identifier: GPL-3.0-or-later
// The imaging layer's process-wide state: the registry of live handles, and the start and end
// calls that pair around the layer's use (nothing else needs setting up).

#include "platform/imaging_handles.h"

#include <mutex>
#include <unordered_map>

namespace {

// Every live handle is registered with a serial number, so that a null, released or mistyped
// handle is refused instead of being followed, and a surface notices when its canvas was
// released under it (even if a new object was later given the same address).
class Registry {
 public:
  std::uint64_t Add(const void* p, HandleKind kind) {
    std::lock_guard lock(mutex_);
    std::uint64_t serial = ++next_serial_;
    live_[p] = {kind, serial};
    return serial;
  }
  void Remove(const void* p) {
    std::lock_guard lock(mutex_);
    live_.erase(p);
  }
  bool IsLive(const void* p, HandleKind kind, std::uint64_t serial) const {
    if (p == nullptr) return false;
    std::lock_guard lock(mutex_);
    auto it = live_.find(p);
    return it != live_.end() && it->second.kind == kind &&
           (serial == 0 || it->second.serial == serial);
  }

 private:
  struct Entry {
    HandleKind kind;
    std::uint64_t serial;
  };
  mutable std::mutex mutex_;
  std::unordered_map<const void*, Entry> live_;
  std::uint64_t next_serial_ = 0;
};

Registry& Handles() {
  static Registry* registry = new Registry;  // never destroyed: owners may outlive statics
  return *registry;
}

}  // namespace

std::uint64_t RegisterHandle(const void* handle, HandleKind kind) {
  return Handles().Add(handle, kind);
}

void UnregisterHandle(const void* handle) { Handles().Remove(handle); }

bool IsLiveHandle(const void* handle, HandleKind kind, std::uint64_t serial) {
  return Handles().IsLive(handle, kind, serial);
}

GpStatus GdiplusStartup(std::uintptr_t* token, const GdiplusStartupInput* input, void* output) {
  // The layer keeps no process-wide state that needs setting up; the token only pairs the
  // calls.
  if (token == nullptr || input == nullptr || output != nullptr) return InvalidParameter;
  if (input->GdiplusVersion != 1) return InvalidParameter;
  *token = 1;
  return Ok;
}

void GdiplusShutdown(std::uintptr_t) {}
