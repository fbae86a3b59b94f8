// SPDX-License-Identifier: GPL-3.0-or-later
// The draw stage: the sheet's canvas, cleared to the background colour, and each grabbed frame
// drawn into its cell through the sheet's colour adjustment.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/imaging.h"
#include "sheet/sheet_layout.h"

class SheetCanvas {
 public:
  /// A canvas of the layout's size (CanvasProblem(layout) must have found none), cleared to
  /// `bgcolor` (0xRRGGBB) made opaque; null when there is no memory for it.
  static std::unique_ptr<SheetCanvas> Make(const SheetLayout& layout, std::uint32_t bgcolor);
  SheetCanvas(const SheetCanvas&) = delete;
  SheetCanvas& operator=(const SheetCanvas&) = delete;

  /// Draws the frame of `record` (a FrameRecord grabbed at GrabSize(layout)) into cell
  /// (col, row). A frame of the grab size is the source's frame and is fitted like it; a
  /// smaller one changed shape mid-stream and is fitted with its own aspect. False, and
  /// nothing drawn, for a record that holds no frame of the grab size or smaller. *drawn,
  /// when given, receives the rectangle the frame covers.
  bool DrawFrame(std::int32_t col, std::int32_t row, std::uint8_t* record,
                 PixelRect* drawn = nullptr);

  /// The canvas, to be saved.
  GpBitmap* bitmap() const { return canvas_.get(); }

 private:
  explicit SheetCanvas(const SheetLayout& layout);

  const SheetLayout layout_;
  const ColorMatrix colour_matrix_;
  Bitmap canvas_;
  Graphics graphics_;
};
