// SPDX-License-Identifier: GPL-3.0-or-later
// The arithmetic of a picture's displayed shape: how a picture of one size is fitted into a
// box with its aspect kept. Pure functions, shared by the detector (which scales each frame to
// the size it is drawn at) and the sheet (which places it in its cell), so that both agree.
#pragma once

#include <cstdint>

struct FittedSize {
  std::int64_t width = 0;
  std::int64_t height = 0;
};

/// A picture of width x height scaled into a box_width x box_height box with its aspect kept:
/// the whole width of the box, or its whole height when the picture is taller. The results are
/// truncated and may be 0 for a picture far wider or taller than the box; the products are
/// taken in 64 bits. width and height must be positive.
constexpr FittedSize FitInto(std::int64_t width, std::int64_t height, std::int64_t box_width,
                             std::int64_t box_height) {
  FittedSize fit{box_width, height * box_width / width};
  if (fit.height > box_height) fit = {width * box_height / height, box_height};
  return fit;
}
