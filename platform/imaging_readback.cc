// SPDX-License-Identifier: GPL-3.0-or-later
// Reading an image back (its size and pixels) and writing pixels of a canvas: one at a time,
// for tests and checks, or a rectangle at a time, for drawing done by another library; and
// the statuses in words for diagnostics.

#include <algorithm>
#include <string>

#include "platform/imaging.h"
#include "platform/imaging_handles.h"

GpStatus GdipGetImageWidth(GpImage* image, std::uint32_t* width) {
  if (!LiveImage(image) || width == nullptr) return InvalidParameter;
  *width = static_cast<std::uint32_t>(image->width);
  return Ok;
}

GpStatus GdipGetImageHeight(GpImage* image, std::uint32_t* height) {
  if (!LiveImage(image) || height == nullptr) return InvalidParameter;
  *height = static_cast<std::uint32_t>(image->height);
  return Ok;
}

GpStatus GdipBitmapGetPixel(GpBitmap* bitmap, int x, int y, ARGB* color) {
  if (!LiveImage(bitmap) || color == nullptr) return InvalidParameter;
  if (x < 0 || y < 0 || x >= bitmap->width || y >= bitmap->height) return InvalidParameter;
  *color = bitmap->kind == GpImage::Kind::kCanvas
               ? bitmap->argb[static_cast<std::size_t>(y) * bitmap->width + x]
               : DibPixel(*bitmap, x, y);
  return Ok;
}

GpStatus GdipBitmapSetPixel(GpBitmap* bitmap, int x, int y, ARGB color) {
  if (!LiveImage(bitmap) || bitmap->kind != GpImage::Kind::kCanvas) return InvalidParameter;
  if (x < 0 || y < 0 || x >= bitmap->width || y >= bitmap->height) return InvalidParameter;
  bitmap->argb[static_cast<std::size_t>(y) * bitmap->width + x] = color;
  return Ok;
}

namespace {

// A rectangle of a live canvas, wholly inside it, and a row stride that holds its width.
bool CanvasRectangle(const GpImage* bitmap, const GpRect& rect, int stride) {
  if (!LiveImage(bitmap) || bitmap->kind != GpImage::Kind::kCanvas) return false;
  return rect.X >= 0 && rect.Y >= 0 && rect.Width > 0 && rect.Height > 0 &&
         rect.Width <= bitmap->width - rect.X && rect.Height <= bitmap->height - rect.Y &&
         stride >= rect.Width;
}

}  // namespace

GpStatus GdipBitmapReadPixels(GpBitmap* bitmap, const GpRect& rect, ARGB* pixels, int stride) {
  if (pixels == nullptr || !CanvasRectangle(bitmap, rect, stride)) return InvalidParameter;
  for (int y = 0; y < rect.Height; ++y) {
    const ARGB* row =
        bitmap->argb.data() + static_cast<std::size_t>(rect.Y + y) * bitmap->width + rect.X;
    std::copy(row, row + rect.Width, pixels + static_cast<std::size_t>(y) * stride);
  }
  return Ok;
}

GpStatus GdipBitmapWritePixels(GpBitmap* bitmap, const GpRect& rect, const ARGB* pixels,
                               int stride) {
  if (pixels == nullptr || !CanvasRectangle(bitmap, rect, stride)) return InvalidParameter;
  for (int y = 0; y < rect.Height; ++y) {
    const ARGB* row = pixels + static_cast<std::size_t>(y) * stride;
    std::copy(row, row + rect.Width,
              bitmap->argb.data() + static_cast<std::size_t>(rect.Y + y) * bitmap->width + rect.X);
  }
  return Ok;
}

std::string GpStatusText(GpStatus status) {
  switch (status) {
    case Ok:
      return "ok";
    case GenericError:
      return "generic error";
    case InvalidParameter:
      return "invalid parameter";
    case OutOfMemory:
      return "out of memory";
    case ObjectBusy:
      return "object busy";
    case InsufficientBuffer:
      return "insufficient buffer";
    case NotImplemented:
      return "not implemented";
    case Win32Error:
      return "system error";
    case WrongState:
      return "wrong state";
    case Aborted:
      return "aborted";
    case FileNotFound:
      return "file not found";
    case ValueOverflow:
      return "value overflow";
    case AccessDenied:
      return "access denied";
    case UnknownImageFormat:
      return "unknown image format";
    case GdiplusNotInitialized:
      return "imaging library not initialised";
  }
  return "status " + std::to_string(static_cast<int>(status));
}
