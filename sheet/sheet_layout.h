// SPDX-License-Identifier: GPL-3.0-or-later
// Where everything goes on a sheet: the cell size from the settings, the canvas the cells make
// and the imaging layer's limits on it, the rectangle each frame is drawn in, the size frames
// are grabbed at, and the colour adjustment every frame is drawn through.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/imaging.h"
#include "settings/run_settings.h"

struct PixelSize {
  std::int32_t width = 0;
  std::int32_t height = 0;
};

struct PixelRect {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

/// A grid of cols x rows cells of cell_width x cell_height pixels, in reading order, over the
/// frames of a video of source_width x source_height, under a header of header_height rows
/// that spans the grid's width.
struct SheetLayout {
  std::int32_t cols = 0;
  std::int32_t rows = 0;
  std::int32_t cell_width = 0;
  std::int32_t cell_height = 0;
  std::int32_t source_width = 0;
  std::int32_t source_height = 0;
  std::int32_t header_height = 0;

  std::int64_t cells() const { return std::int64_t{cols} * rows; }
  std::int64_t canvas_width() const { return std::int64_t{cell_width} * cols; }
  std::int64_t canvas_height() const { return std::int64_t{cell_height} * rows + header_height; }
};

/// The layout of the sheet `settings` ask for over a video of source_width x source_height,
/// without a header.
/// A cell dimension is the CellSpec's pixels, or -p percent of the source dimension: divided
/// first and multiplied after in double precision and truncated (29 % of 100 gives 28),
/// saturating at the 32-bit limits.
SheetLayout LayOutSheet(const RunSettings& settings, std::int32_t source_width,
                        std::int32_t source_height);

/// Why the canvas of `layout` cannot be made (no pixels, or more than the imaging layer's
/// kMaxCanvasSide a side or kMaxCanvasBytes); nothing when it can.
std::optional<std::string> CanvasProblem(const SheetLayout& layout);

/// Where on the canvas a frame of frame_width x frame_height goes in cell (col, row), below the
/// header: scaled into the cell with its aspect kept and centred along the free direction. Throws
/// ComError(E_FAIL) for a frame without pixels.
PixelRect FrameRect(const SheetLayout& layout, std::int32_t col, std::int32_t row,
                    std::int32_t frame_width, std::int32_t frame_height);

/// The size frames are grabbed at: a source frame fitted into its cell, at least one pixel a
/// side (a frame fitted to less draws nothing). Throws like FrameRect for a source without
/// pixels.
PixelSize GrabSize(const SheetLayout& layout);

/// 1.15 x v - 0.075 on every colour channel (on the 0..1 scale), alpha unchanged: a touch more
/// contrast than the decoded frame.
ColorMatrix SheetColorMatrix();

/// The colour (0xRRGGBB) that SheetColorMatrix draws as `rgb`, as near as whole levels come: a
/// frame's transparent parts are laid over it, so that they show the background colour.
std::uint32_t ColourDrawnAs(std::uint32_t rgb);
