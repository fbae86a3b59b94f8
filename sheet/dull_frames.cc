// SPDX-License-Identifier: GPL-3.0-or-later
#include "sheet/dull_frames.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

#include "platform/imaging.h"

namespace {

// The spread of luma (0-255) at or under which a frame is dull, and the share of pixels at
// either end left out of it: a small logo or a few noisy pixels do not make a card lively.
constexpr std::size_t kDullLumaSpread = 25;
constexpr std::int64_t kTailShare = 50;

// Luma of a pixel, BT.709 weights in 256ths.
int Luma(const std::uint8_t* bgr) { return (19 * bgr[0] + 183 * bgr[1] + 54 * bgr[2]) >> 8; }

}  // namespace

bool IsDullFrame(const std::uint8_t* record) {
  BITMAPINFOHEADER header;
  std::memcpy(&header, record, sizeof header);
  const std::int64_t width = header.biWidth;
  const std::int64_t height =
      header.biHeight < 0 ? -std::int64_t{header.biHeight} : header.biHeight;
  if (width <= 0 || height <= 0) return false;
  const std::int64_t stride = DibRowBytes(width, 24);
  std::array<std::int64_t, 256> counts = {};
  for (std::int64_t y = 0; y < height; ++y) {
    const std::uint8_t* row = record + sizeof header + y * stride;
    for (std::int64_t x = 0; x < width; ++x) ++counts[static_cast<std::size_t>(Luma(row + 3 * x))];
  }
  // The darkest and the brightest luma once the tails are left out.
  const std::int64_t tail = width * height / kTailShare;
  std::size_t darkest = 0;
  for (std::int64_t below = counts[0]; below <= tail && darkest < 255;) below += counts[++darkest];
  std::size_t brightest = 255;
  for (std::int64_t above = counts[255]; above <= tail && brightest > 0;)
    above += counts[--brightest];
  return brightest <= darkest + kDullLumaSpread;
}

void PassOverDullFrame(FrameSource& source, double seconds, double tolerance, std::uint8_t* record,
                       std::size_t record_bytes, double* frame_time) {
  if (!IsDullFrame(record)) return;
  const std::vector<std::uint8_t> dull(record, record + record_bytes);
  const double dull_time = *frame_time;
  const double first = seconds - tolerance;
  const double last = std::min(seconds + tolerance, first + kDullSearchSeconds);
  // A frame's time in seconds may fall a rounding error short of the window's start.
  const double slack = 1e-6;
  double at = std::max(first, 0.0);
  for (double previous = -INFINITY;;) {
    if (Failed(source.GrabNear(at, 0.0, record))) break;
    const FrameTimes frame = source.LastFrameTimes();
    // A frame no later than the one before: the stream ends, or the times are unknown.
    if (!(frame.start > previous) || frame.start > last) break;
    if (frame.start >= first - slack && !IsDullFrame(record)) {
      *frame_time = frame.start;
      return;
    }
    if (!(frame.next > frame.start)) break;
    previous = frame.start;
    at = frame.next;
  }
  std::copy(dull.begin(), dull.end(), record);
  *frame_time = dull_time;
}
