// SPDX-License-Identifier: GPL-3.0-or-later
// The bytes of a FrameRecord and the count of records alive.
#include "frames/frame_record.h"

#include <utility>

namespace {
std::atomic<int> live{0};
std::atomic<int> peak{0};
}  // namespace

FrameRecord::FrameRecord(std::size_t bytes) : bytes_(bytes, 0) {
  if (!bytes_.empty()) Count(1);
}

FrameRecord::~FrameRecord() { Reset(); }

FrameRecord::FrameRecord(FrameRecord&& other) noexcept : bytes_(std::move(other.bytes_)) {
  other.bytes_.clear();
}

FrameRecord& FrameRecord::operator=(FrameRecord&& other) noexcept {
  if (this != &other) {
    Reset();
    bytes_ = std::move(other.bytes_);
    other.bytes_.clear();
  }
  return *this;
}

void FrameRecord::Reset() {
  if (bytes_.empty()) return;
  std::vector<std::uint8_t>().swap(bytes_);
  Count(-1);
}

int FrameRecord::Live() { return live.load(); }
int FrameRecord::Peak() { return peak.load(); }
void FrameRecord::ResetPeak() { peak.store(live.load()); }

void FrameRecord::Count(int delta) {
  const int now = live.fetch_add(delta) + delta;
  int seen = peak.load();
  while (now > seen && !peak.compare_exchange_weak(seen, now)) {
  }
}
