// SPDX-License-Identifier: GPL-3.0-or-later
// The small runtime layer: initialisation that Linux does not need, and task memory on the C heap.

#include "platform/com.h"

#include <atomic>
#include <cstdlib>

namespace {
std::atomic<HRESULT> g_co_initialize_result{S_OK};
}  // namespace

HRESULT CoInitializeEx(void* /*reserved*/, std::uint32_t /*model*/) {
  return g_co_initialize_result.load();
}

void CoUninitialize() {}

void SetCoInitializeResultForTesting(HRESULT hr) { g_co_initialize_result.store(hr); }

void* CoTaskMemAlloc(std::size_t bytes) { return std::malloc(bytes == 0 ? 1 : bytes); }

void CoTaskMemFree(void* block) { std::free(block); }
