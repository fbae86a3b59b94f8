// SPDX-License-Identifier: GPL-3.0-or-later
// The bytes of one grabbed frame (a FrameRecord: a 40-byte BITMAPINFOHEADER and 24-bit rows),
// with a count of the records alive so that a test can see how many frames a sheet holds.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

class FrameRecord {
 public:
  FrameRecord() = default;
  /// `bytes` zeroed bytes; throws std::bad_alloc.
  explicit FrameRecord(std::size_t bytes);
  ~FrameRecord();
  FrameRecord(FrameRecord&& other) noexcept;
  FrameRecord& operator=(FrameRecord&& other) noexcept;
  FrameRecord(const FrameRecord&) = delete;
  FrameRecord& operator=(const FrameRecord&) = delete;

  std::uint8_t* data() { return bytes_.data(); }
  const std::uint8_t* data() const { return bytes_.data(); }
  std::size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }
  /// Frees the bytes.
  void Reset();

  /// Records holding bytes right now, and the most there were since ResetPeak.
  static int Live();
  static int Peak();
  static void ResetPeak();

 private:
  static void Count(int delta);
  std::vector<std::uint8_t> bytes_;
};
