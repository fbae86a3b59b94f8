// SPDX-License-Identifier: GPL-3.0-or-later
// Reading an image back (its size and pixels, and setting one pixel of a canvas), for tests
// and checks, and the statuses in words for diagnostics.

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
