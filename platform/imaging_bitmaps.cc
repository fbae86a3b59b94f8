// SPDX-License-Identifier: GPL-3.0-or-later
// Bitmaps: canvases whose pixels the layer owns, frame bitmaps over the caller's
// device-independent rows, their release, and the pixel view of either that the encoders read
// (whose alpha test is the encoders' own, in platform/encoder_support.cc).

#include <new>

#include "platform/imaging.h"
#include "platform/imaging_handles.h"
#include "platform/imaging_internal.h"

namespace {

GpStatus NewImage(GpImage* image, GpImage** out) {
  image->serial = RegisterHandle(image, HandleKind::kImage);
  *out = image;
  return Ok;
}

}  // namespace

BITMAPINFOHEADER Dib24Header(std::int32_t width, std::int32_t height) {
  BITMAPINFOHEADER h = {};
  h.biSize = sizeof(BITMAPINFOHEADER);
  h.biWidth = width;
  h.biHeight = height;
  h.biPlanes = 1;
  h.biBitCount = 24;
  h.biCompression = BI_RGB;
  const std::int64_t rows = height < 0 ? -std::int64_t{height} : height;
  h.biSizeImage = static_cast<std::uint32_t>(DibRowBytes(width, 24) * rows);
  return h;
}

GpStatus GdipCreateBitmapFromScan0(int width, int height, int stride, PixelFormat format,
                                   std::uint8_t* scan0, GpBitmap** bitmap) {
  if (bitmap == nullptr) return InvalidParameter;
  *bitmap = nullptr;
  // Caller-owned pixel memory is not supported: the layer always owns a canvas's pixels.
  if (format != PixelFormat32bppARGB || scan0 != nullptr || stride != 0) return InvalidParameter;
  const std::int64_t w = width;
  const std::int64_t h = height;
  if (w <= 0 || h <= 0 || w > kMaxCanvasSide || h > kMaxCanvasSide) return InvalidParameter;
  if (w * h * 4 > kMaxCanvasBytes) return OutOfMemory;
  auto* image = new (std::nothrow) GpImage;
  if (image == nullptr) return OutOfMemory;
  try {
    image->argb.assign(static_cast<std::size_t>(w * h), 0u);
  } catch (const std::bad_alloc&) {
    delete image;
    return OutOfMemory;
  }
  image->kind = GpImage::Kind::kCanvas;
  image->width = width;
  image->height = height;
  return NewImage(image, bitmap);
}

GpStatus GdipCreateBitmapFromGdiDib(const BITMAPINFO* info, void* bits, GpBitmap** bitmap) {
  if (bitmap == nullptr) return InvalidParameter;
  *bitmap = nullptr;
  if (info == nullptr || bits == nullptr) return InvalidParameter;
  const BITMAPINFOHEADER& h = info->bmiHeader;
  if (h.biSize < sizeof(BITMAPINFOHEADER) || h.biBitCount != 24 || h.biCompression != BI_RGB)
    return InvalidParameter;
  const std::int64_t width = h.biWidth;
  const std::int64_t height = h.biHeight < 0 ? -std::int64_t{h.biHeight} : h.biHeight;
  if (width <= 0 || height <= 0 || width > kMaxCanvasSide || height > kMaxCanvasSide)
    return InvalidParameter;
  auto* image = new (std::nothrow) GpImage;
  if (image == nullptr) return OutOfMemory;
  image->kind = GpImage::Kind::kDib;
  image->width = static_cast<int>(width);
  image->height = static_cast<int>(height);
  const std::ptrdiff_t row_bytes = static_cast<std::ptrdiff_t>(DibRowBytes(width, 24));
  const auto* base = static_cast<const std::uint8_t*>(bits);
  if (h.biHeight < 0) {
    image->top_row = base;
    image->stride = row_bytes;
  } else {
    image->top_row = base + row_bytes * (height - 1);
    image->stride = -row_bytes;
  }
  return NewImage(image, bitmap);
}

GpStatus GdipDisposeImage(GpImage* image) {
  if (!LiveImage(image)) return InvalidParameter;
  UnregisterHandle(image);
  delete image;
  return Ok;
}

GpStatus ImagePixels(GpImage* image, ArgbPixels* out) {
  if (!LiveImage(image) || out == nullptr) return InvalidParameter;
  out->width = image->width;
  out->height = image->height;
  if (image->kind == GpImage::Kind::kCanvas) {
    out->pixels = image->argb.data();
    return Ok;
  }
  try {
    out->storage.resize(static_cast<std::size_t>(image->width) *
                        static_cast<std::size_t>(image->height));
  } catch (const std::bad_alloc&) {
    return OutOfMemory;
  }
  for (int y = 0; y < image->height; ++y)
    for (int x = 0; x < image->width; ++x)
      out->storage[static_cast<std::size_t>(y) * static_cast<std::size_t>(image->width) +
                   static_cast<std::size_t>(x)] = DibPixel(*image, x, y);
  out->pixels = out->storage.data();
  return Ok;
}

Bitmap::Bitmap(int width, int height, PixelFormat format) {
  last_status_ = GdipCreateBitmapFromScan0(width, height, 0, format, nullptr, &handle_);
}

Bitmap::Bitmap(const BITMAPINFO* info, void* bits) {
  last_status_ = GdipCreateBitmapFromGdiDib(info, bits, &handle_);
}

Bitmap::~Bitmap() {
  if (handle_ != nullptr) GdipDisposeImage(handle_);
}
