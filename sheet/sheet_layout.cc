// SPDX-License-Identifier: GPL-3.0-or-later
#include "sheet/sheet_layout.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "frames/display_geometry.h"
#include "platform/com.h"

namespace {

std::int32_t CellPixels(std::int32_t cell_spec, std::int32_t source) {
  if (cell_spec >= 0) return cell_spec;
  double pixels = -static_cast<double>(cell_spec) / 100.0 * source;
  if (!(pixels < 2147483647.0)) return std::numeric_limits<std::int32_t>::max();
  if (!(pixels > -2147483648.0)) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(pixels);
}

}  // namespace

SheetLayout LayOutSheet(const RunSettings& settings, std::int32_t source_width,
                        std::int32_t source_height) {
  SheetLayout layout;
  layout.cols = settings.cols;
  layout.rows = settings.rows;
  layout.cell_width = CellPixels(settings.width, source_width);
  layout.cell_height = CellPixels(settings.height, source_height);
  layout.source_width = source_width;
  layout.source_height = source_height;
  return layout;
}

std::optional<std::string> CanvasProblem(const SheetLayout& layout) {
  const std::int64_t width = layout.canvas_width();
  const std::int64_t height = layout.canvas_height();
  const std::string size = "size " + std::to_string(width) + "x" + std::to_string(height);
  if (width <= 0 || height <= 0) return size;
  if (width > kMaxCanvasSide || height > kMaxCanvasSide || width * height * 4 > kMaxCanvasBytes)
    return size + " too large";
  return std::nullopt;
}

PixelRect FrameRect(const SheetLayout& layout, std::int32_t col, std::int32_t row,
                    std::int32_t frame_width, std::int32_t frame_height) {
  if (frame_width == 0 || frame_height == 0) throw ComError(E_FAIL, "zero source size");
  // The fitted size is at most the cell's, so it and the position fit 32 bits.
  const FittedSize fit = FitInto(frame_width, frame_height, layout.cell_width, layout.cell_height);
  PixelRect rect;
  rect.width = static_cast<std::int32_t>(fit.width);
  rect.height = static_cast<std::int32_t>(fit.height);
  rect.x = col * layout.cell_width + (layout.cell_width - rect.width) / 2;
  rect.y = layout.header_height + row * layout.cell_height + (layout.cell_height - rect.height) / 2;
  return rect;
}

PixelSize GrabSize(const SheetLayout& layout) {
  const PixelRect fit = FrameRect(layout, 0, 0, layout.source_width, layout.source_height);
  return {std::max(fit.width, 1), std::max(fit.height, 1)};
}

ColorMatrix SheetColorMatrix() {
  ColorMatrix cm = {};
  for (int i = 0; i < 5; ++i) cm.m[i][i] = 1.0f;
  for (int i = 0; i < 3; ++i) {
    cm.m[i][i] = 1.15f;
    cm.m[4][i] = -0.075f;
  }
  return cm;
}

std::uint32_t ColourDrawnAs(std::uint32_t rgb) {
  const ColorMatrix cm = SheetColorMatrix();
  std::uint32_t colour = 0;
  for (int c = 0; c < 3; ++c) {
    const int shift = 16 - 8 * c;
    const double want = (rgb >> shift) & 0xFF;
    // Nearest before clamping, so that a half-transparent pixel, drawn as the blend of its
    // colour and this one, comes out as the blend of its colour and the background.
    int best = 0;
    double best_miss = std::numeric_limits<double>::infinity();
    for (int v = 0; v < 256; ++v) {
      const double miss = std::abs((v / 255.0 * cm.m[c][c] + cm.m[4][c]) * 255.0 - want);
      if (miss < best_miss) {
        best = v;
        best_miss = miss;
      }
    }
    colour |= static_cast<std::uint32_t>(best) << shift;
  }
  return colour;
}
