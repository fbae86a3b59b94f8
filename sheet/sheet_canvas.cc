// SPDX-License-Identifier: GPL-3.0-or-later
#include "sheet/sheet_canvas.h"

#include <cstring>

SheetCanvas::SheetCanvas(const SheetLayout& layout)
    : layout_(layout),
      colour_matrix_(SheetColorMatrix()),
      canvas_(static_cast<int>(layout.canvas_width()), static_cast<int>(layout.canvas_height()),
              PixelFormat32bppARGB),
      graphics_(canvas_) {}

std::unique_ptr<SheetCanvas> SheetCanvas::Make(const SheetLayout& layout, std::uint32_t bgcolor) {
  std::unique_ptr<SheetCanvas> sheet(new SheetCanvas(layout));
  // A canvas that could not be made leaves its surface without a handle too; both go at once.
  if (sheet->canvas_.get() == nullptr) return nullptr;
  sheet->graphics_.Clear(0xFF000000u | bgcolor);
  sheet->graphics_.SetCompositingMode(CompositingModeSourceOver);
  sheet->graphics_.SetInterpolationMode(InterpolationModeHighQuality);
  return sheet;
}

bool SheetCanvas::DrawFrame(std::int32_t col, std::int32_t row, std::uint8_t* record,
                            PixelRect* drawn) {
  BITMAPINFOHEADER got;
  std::memcpy(&got, record, sizeof got);
  const std::int32_t got_height = got.biHeight < 0 ? -got.biHeight : got.biHeight;
  const PixelSize box = GrabSize(layout_);
  if (got.biWidth <= 0 || got.biWidth > box.width || got_height <= 0 || got_height > box.height)
    return false;
  Bitmap frame(reinterpret_cast<const BITMAPINFO*>(record), record + sizeof(BITMAPINFOHEADER));
  ImageAttributes attributes;
  attributes.SetColorMatrix(colour_matrix_);
  const bool source_shape = got.biWidth == box.width && got_height == box.height;
  const PixelRect rect =
      source_shape ? FrameRect(layout_, col, row, layout_.source_width, layout_.source_height)
                   : FrameRect(layout_, col, row, got.biWidth, got_height);
  graphics_.DrawImage(frame, rect.x, rect.y, rect.width, rect.height, 0, 0, got.biWidth, got_height,
                      UnitPixel, &attributes);
  if (drawn != nullptr) *drawn = rect;
  return true;
}
