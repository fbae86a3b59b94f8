// SPDX-License-Identifier: GPL-3.0-or-later
#include "sheet/cell_time.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "platform/text_draw.h"

namespace {

// The time's size against the picture's height: readable on the smallest default cells (48
// rows of a 640 x 480 movie) and no more than a corner of a large one.
constexpr double kTimeHeightShare = 0.08;
constexpr double kMinTimePixels = 9;
constexpr double kMaxTimePixels = 24;
// White on black at 5/8 opacity: the picture still shows through, the digits read on any.
constexpr ARGB kTimeColour = 0xFFFFFFFFu;
constexpr ARGB kBoxColour = 0xA0000000u;

}  // namespace

std::string TimeText(double seconds, double length, bool tenths) {
  // A frame's time computed in floating point may fall a hair short of the tenth it starts on.
  // (Some ten thousand years is more than any movie; the cut keeps the count in 64 bits.)
  seconds = std::isnan(seconds) ? 0 : std::clamp(seconds, 0.0, 1e12);
  const double units = std::floor(seconds * (tenths ? 10 : 1) + 1e-6);
  const std::int64_t whole = static_cast<std::int64_t>(units) / (tenths ? 10 : 1);
  char text[48];
  if (length >= 3600) {
    std::snprintf(text, sizeof text, "%" PRId64 ":%02d:%02d", whole / 3600,
                  static_cast<int>(whole / 60 % 60), static_cast<int>(whole % 60));
  } else {
    std::snprintf(text, sizeof text, "%" PRId64 ":%02d", whole / 60, static_cast<int>(whole % 60));
  }
  std::string out = text;
  if (tenths) {
    out += '.';
    out += std::to_string(static_cast<std::int64_t>(units) % 10);
  }
  return out;
}

bool StampTime(GpBitmap* canvas, const PixelRect& picture, const std::string& text) {
  const double pixels =
      std::clamp(std::round(picture.height * kTimeHeightShare), kMinTimePixels, kMaxTimePixels);
  const TextLine line(text, TextStyle{pixels, true});
  const int padding = std::max(1, static_cast<int>(pixels / 6));
  const int margin = padding;
  const int box_width = line.width() + 2 * padding;
  const int box_height = line.height() + 2 * padding;
  if (box_width > picture.width - 2 * margin || box_height > picture.height / 2) return false;
  const int x = picture.x + picture.width - margin - padding - line.width();
  const int y = picture.y + picture.height - margin - padding - line.height();
  return line.Draw(canvas, x, y, kTimeColour, kBoxColour, padding) == Ok;
}
