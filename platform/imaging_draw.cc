// SPDX-License-Identifier: GPL-3.0-or-later
// Drawing on a canvas: drawing surfaces and image attributes, and the drawing of an image into
// a rectangle: scaling with libswscale, the colour matrix, and blending or copying onto the
// canvas.

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <vector>

#include "platform/imaging.h"
#include "platform/imaging_handles.h"
#include "platform/imaging_internal.h"  // the pixel words' byte order

extern "C" {
#include <libavutil/log.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

GpGraphics::~GpGraphics() { sws_freeContext(scaler); }

namespace {

std::uint8_t ClampToByte(float x) {
  if (!(x > 0.0f)) return 0;  // also NaN
  if (x >= 255.0f) return 255;
  return static_cast<std::uint8_t>(x + 0.5f);
}

bool IsPerChannel(const float m[5][5]) {
  for (int row = 0; row < 5; ++row) {
    for (int col = 0; col < 5; ++col) {
      if (col == 4) continue;  // the last column never contributes to a colour
      if (row == col && row < 3) continue;
      if (row == 4 && col < 3) continue;
      const float identity = (row == col) ? 1.0f : 0.0f;
      if (m[row][col] != identity) return false;
    }
  }
  return true;
}

std::uint32_t ApplyMatrix(const GpImageAttributes& a, std::uint32_t p) {
  const std::uint32_t alpha = p & 0xFF000000u;
  if (a.per_channel) {
    return alpha | (std::uint32_t{a.lut[0][(p >> 16) & 0xFF]} << 16) |
           (std::uint32_t{a.lut[1][(p >> 8) & 0xFF]} << 8) | a.lut[2][p & 0xFF];
  }
  const float in[4] = {static_cast<float>((p >> 16) & 0xFF) / 255.0f,
                       static_cast<float>((p >> 8) & 0xFF) / 255.0f,
                       static_cast<float>(p & 0xFF) / 255.0f, static_cast<float>(p >> 24) / 255.0f};
  std::uint8_t out[4];
  for (int col = 0; col < 4; ++col) {
    float v = a.m[4][col];
    for (int row = 0; row < 4; ++row) v += in[row] * a.m[row][col];
    out[col] = ClampToByte(v * 255.0f);
  }
  return (std::uint32_t{out[3]} << 24) | (std::uint32_t{out[0]} << 16) |
         (std::uint32_t{out[1]} << 8) | out[2];
}

// Non-premultiplied source-over.
std::uint32_t BlendOver(std::uint32_t src, std::uint32_t dst) {
  const std::uint32_t sa = src >> 24;
  if (sa == 255) return src;
  if (sa == 0) return dst;
  const std::uint32_t da = dst >> 24;
  const std::uint32_t dst_weight = da * (255 - sa) / 255;  // 0..255
  const std::uint32_t out_a = sa + dst_weight;
  std::uint32_t out = out_a << 24;
  for (int shift = 0; shift <= 16; shift += 8) {
    const std::uint32_t s = (src >> shift) & 0xFF;
    const std::uint32_t d = (dst >> shift) & 0xFF;
    out |= ((s * sa + d * dst_weight + out_a / 2) / out_a) << shift;
  }
  return out;
}

int ScalerFlags(InterpolationMode mode) {
  // Full-resolution chroma in and out and accurate rounding keep RGB exact through the
  // scaler's internal format; the filters widen with the shrink factor, so a frame reduced
  // to a tenth is averaged over its ten-pixel footprint rather than sampled.
  constexpr int kExact = SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT | SWS_FULL_CHR_H_INP;
  switch (mode) {
    case InterpolationModeNearestNeighbor:
      return SWS_POINT | kExact;
    case InterpolationModeLowQuality:
    case InterpolationModeBilinear:
    case InterpolationModeHighQualityBilinear:
    case InterpolationModeDefault:
      return SWS_BILINEAR | kExact;
    case InterpolationModeBicubic:
    case InterpolationModeHighQualityBicubic:
    case InterpolationModeHighQuality:
    default:
      return SWS_BICUBIC | kExact;
  }
}

}  // namespace

GpStatus GdipGetImageGraphicsContext(GpImage* image, GpGraphics** graphics) {
  if (graphics == nullptr) return InvalidParameter;
  *graphics = nullptr;
  // Only a canvas can be drawn on; a frame bitmap's rows belong to the caller.
  if (!LiveImage(image) || image->kind != GpImage::Kind::kCanvas) return InvalidParameter;
  auto* g = new (std::nothrow) GpGraphics;
  if (g == nullptr) return OutOfMemory;
  g->canvas = image;
  g->canvas_serial = image->serial;
  g->serial = RegisterHandle(g, HandleKind::kGraphics);
  *graphics = g;
  return Ok;
}

GpStatus GdipGraphicsClear(GpGraphics* graphics, ARGB color) {
  if (!LiveGraphics(graphics)) return InvalidParameter;
  std::fill(graphics->canvas->argb.begin(), graphics->canvas->argb.end(), color);
  return Ok;
}

GpStatus GdipSetCompositingMode(GpGraphics* graphics, CompositingMode mode) {
  if (!LiveGraphics(graphics)) return InvalidParameter;
  if (mode != CompositingModeSourceOver && mode != CompositingModeSourceCopy)
    return InvalidParameter;
  graphics->compositing = mode;
  return Ok;
}

GpStatus GdipSetInterpolationMode(GpGraphics* graphics, InterpolationMode mode) {
  if (!LiveGraphics(graphics)) return InvalidParameter;
  if (mode < InterpolationModeDefault || mode > InterpolationModeHighQualityBicubic)
    return InvalidParameter;
  graphics->interpolation = mode;
  return Ok;
}

GpStatus GdipCreateImageAttributes(GpImageAttributes** attributes) {
  if (attributes == nullptr) return InvalidParameter;
  auto* a = new (std::nothrow) GpImageAttributes;
  if (a == nullptr) {
    *attributes = nullptr;
    return OutOfMemory;
  }
  a->serial = RegisterHandle(a, HandleKind::kAttributes);
  *attributes = a;
  return Ok;
}

GpStatus GdipSetImageAttributesColorMatrix(GpImageAttributes* attributes, ColorAdjustType type,
                                           bool enable, const ColorMatrix* matrix,
                                           const ColorMatrix* /*grey*/, ColorMatrixFlags flags) {
  if (!LiveAttributes(attributes)) return InvalidParameter;
  if (type != ColorAdjustTypeDefault || flags != ColorMatrixFlagsDefault) return InvalidParameter;
  if (!enable) {
    attributes->enabled = false;
    return Ok;
  }
  if (matrix == nullptr) return InvalidParameter;
  std::memcpy(attributes->m, matrix->m, sizeof(attributes->m));
  attributes->per_channel = IsPerChannel(attributes->m);
  if (attributes->per_channel) {
    for (int c = 0; c < 3; ++c)
      for (int v = 0; v < 256; ++v)
        attributes->lut[c][v] = ClampToByte(
            (static_cast<float>(v) / 255.0f * matrix->m[c][c] + matrix->m[4][c]) * 255.0f);
  }
  attributes->enabled = true;
  return Ok;
}

GpStatus GdipDrawImageRectRectI(GpGraphics* graphics, GpImage* image, int dst_x, int dst_y,
                                int dst_width, int dst_height, int src_x, int src_y, int src_width,
                                int src_height, Unit unit, const GpImageAttributes* attributes,
                                void* /*callback*/, void* /*callback_data*/) {
  if (!LiveGraphics(graphics) || !LiveImage(image)) return InvalidParameter;
  if (attributes != nullptr && !LiveAttributes(attributes)) return InvalidParameter;
  if (unit != UnitPixel) return InvalidParameter;
  if (src_x < 0 || src_y < 0 || src_width <= 0 || src_height <= 0 ||
      std::int64_t{src_x} + src_width > image->width ||
      std::int64_t{src_y} + src_height > image->height)
    return InvalidParameter;
  if (dst_width < 0 || dst_height < 0) return NotImplemented;  // mirrored drawing
  if (dst_width == 0 || dst_height == 0) return Ok;

  GpImage& canvas = *graphics->canvas;
  const std::int64_t x0 = std::max<std::int64_t>(dst_x, 0);
  const std::int64_t y0 = std::max<std::int64_t>(dst_y, 0);
  const std::int64_t x1 = std::min<std::int64_t>(std::int64_t{dst_x} + dst_width, canvas.width);
  const std::int64_t y1 = std::min<std::int64_t>(std::int64_t{dst_y} + dst_height, canvas.height);
  if (x0 >= x1 || y0 >= y1) return Ok;  // wholly outside the canvas
  // libswscale's own limit on a picture's area (checked here so that it logs nothing).
  if ((std::int64_t{dst_width} + 128) * (std::int64_t{dst_height} + 128) >=
      std::numeric_limits<int>::max() / 8)
    return OutOfMemory;

  // The scaler reports its choices on FFmpeg's log; the layer reports through its statuses
  // instead and must not write to the console.
  static std::once_flag quiet;
  std::call_once(quiet, [] {
    if (av_log_get_level() > AV_LOG_FATAL) av_log_set_level(AV_LOG_FATAL);
  });
  const AVPixelFormat src_format =
      image->kind == GpImage::Kind::kDib ? AV_PIX_FMT_BGR24 : AV_PIX_FMT_BGRA;
  graphics->scaler = sws_getCachedContext(
      graphics->scaler, src_width, src_height, src_format, dst_width, dst_height, AV_PIX_FMT_BGRA,
      ScalerFlags(graphics->interpolation), nullptr, nullptr, nullptr);
  if (graphics->scaler == nullptr) return OutOfMemory;

  // A frame (opaque, 24-bit) drawn wholly inside the canvas with no matrix or one that keeps
  // each channel to itself comes out opaque: it replaces what lies under it whether it is
  // blended or copied, so the scaler writes it straight into the canvas and the matrix is
  // applied there. Anything else (a rectangle partly outside, a canvas with alpha as the
  // source, a matrix that mixes channels or alpha) goes through a buffer of the scaled
  // rectangle, blended or copied from there.
  const bool adjust = attributes != nullptr && attributes->enabled;
  const bool in_place = image->kind == GpImage::Kind::kDib && x0 == dst_x && y0 == dst_y &&
                        x1 == std::int64_t{dst_x} + dst_width &&
                        y1 == std::int64_t{dst_y} + dst_height &&
                        (!adjust || attributes->per_channel);
  std::vector<std::uint32_t>& scaled = graphics->scaled_pixels;
  std::uint8_t* dst_plane[4] = {};
  int dst_stride[4] = {};
  if (in_place) {
    scaled = {};
    dst_plane[0] = reinterpret_cast<std::uint8_t*>(
        canvas.argb.data() + static_cast<std::size_t>(dst_y) * canvas.width + dst_x);
    dst_stride[0] = canvas.width * 4;
  } else {
    try {
      scaled.resize(static_cast<std::size_t>(dst_width) * static_cast<std::size_t>(dst_height));
    } catch (const std::bad_alloc&) {
      return OutOfMemory;
    }
    dst_plane[0] = reinterpret_cast<std::uint8_t*>(scaled.data());
    dst_stride[0] = dst_width * 4;
  }

  // The scaler takes the source in bands of rows, top to bottom. Its vector loads read up to a
  // vector's width past the last pixel of a row, and a frame record's last row ends where its
  // block ends: it reads a copy of each band with room after every row, never the caller's
  // memory, and never a copy of the whole source.
  constexpr std::size_t kRowSlack = 64;
  constexpr int kBandRows = 64;
  const std::size_t pixel_bytes = image->kind == GpImage::Kind::kDib ? 3 : 4;
  const std::size_t row_bytes = static_cast<std::size_t>(src_width) * pixel_bytes;
  const std::size_t padded_stride = (row_bytes + kRowSlack + 63) & ~std::size_t{63};
  const int band_rows = std::min(src_height, kBandRows);
  std::vector<std::uint8_t>& band = graphics->source_rows;
  try {
    band.resize(padded_stride * static_cast<std::size_t>(band_rows));
  } catch (const std::bad_alloc&) {
    return OutOfMemory;
  }
  int produced = 0;
  for (int top = 0; top < src_height; top += band_rows) {
    const int rows = std::min(band_rows, src_height - top);
    for (int y = 0; y < rows; ++y) {
      const int sy = src_y + top + y;
      const std::uint8_t* row =
          image->kind == GpImage::Kind::kDib
              ? image->top_row + static_cast<std::ptrdiff_t>(sy) * image->stride +
                    static_cast<std::ptrdiff_t>(src_x) * 3  // stride negative for bottom-up rows
              : reinterpret_cast<const std::uint8_t*>(
                    image->argb.data() + static_cast<std::size_t>(sy) * image->width + src_x);
      std::memcpy(band.data() + static_cast<std::size_t>(y) * padded_stride, row, row_bytes);
    }
    const std::uint8_t* src_plane[4] = {band.data()};
    const int src_stride[4] = {static_cast<int>(padded_stride)};
    const int made =
        sws_scale(graphics->scaler, src_plane, src_stride, top, rows, dst_plane, dst_stride);
    if (made < 0) return GenericError;
    produced += made;
  }
  if (produced != dst_height) return GenericError;

  // The matrix is applied to the scaled pixels: for an affine matrix this equals applying it
  // before scaling (the filter weights sum to one), and it touches a tenth-sized cell instead
  // of the whole frame.
  if (in_place) {
    if (!adjust) return Ok;
    for (std::int64_t y = y0; y < y1; ++y) {
      std::uint32_t* out = canvas.argb.data() + static_cast<std::size_t>(y) * canvas.width + x0;
      for (std::int64_t x = x0; x < x1; ++x, ++out) *out = ApplyMatrix(*attributes, *out);
    }
    return Ok;
  }
  const bool blend = graphics->compositing == CompositingModeSourceOver;
  for (std::int64_t y = y0; y < y1; ++y) {
    const std::uint32_t* in =
        scaled.data() + static_cast<std::size_t>(y - dst_y) * dst_width + (x0 - dst_x);
    std::uint32_t* out = canvas.argb.data() + static_cast<std::size_t>(y) * canvas.width + x0;
    for (std::int64_t x = x0; x < x1; ++x, ++in, ++out) {
      const std::uint32_t p = adjust ? ApplyMatrix(*attributes, *in) : *in;
      *out = blend ? BlendOver(p, *out) : p;
    }
  }
  return Ok;
}

GpStatus GdipDisposeImageAttributes(GpImageAttributes* attributes) {
  if (!LiveAttributes(attributes)) return InvalidParameter;
  UnregisterHandle(attributes);
  delete attributes;
  return Ok;
}

GpStatus GdipDeleteGraphics(GpGraphics* graphics) {
  // A surface whose canvas is already gone can still be deleted.
  if (!IsLiveHandle(graphics, HandleKind::kGraphics)) return InvalidParameter;
  UnregisterHandle(graphics);
  delete graphics;
  return Ok;
}

// Owners.

Graphics::Graphics(Bitmap& canvas) {
  last_status_ = GdipGetImageGraphicsContext(canvas.get(), &handle_);
}

Graphics::~Graphics() {
  if (handle_ != nullptr) GdipDeleteGraphics(handle_);
}

namespace {
GpStatus Record(GpStatus status, GpStatus* last) {
  if (status != Ok) *last = status;
  return status;
}
}  // namespace

GpStatus Graphics::Clear(ARGB color) {
  return Record(GdipGraphicsClear(handle_, color), &last_status_);
}

GpStatus Graphics::SetCompositingMode(CompositingMode mode) {
  return Record(GdipSetCompositingMode(handle_, mode), &last_status_);
}

GpStatus Graphics::SetInterpolationMode(InterpolationMode mode) {
  return Record(GdipSetInterpolationMode(handle_, mode), &last_status_);
}

GpStatus Graphics::DrawImage(Bitmap& image, int dst_x, int dst_y, int dst_width, int dst_height,
                             int src_x, int src_y, int src_width, int src_height, Unit unit,
                             const ImageAttributes* attributes) {
  return Record(
      GdipDrawImageRectRectI(handle_, image.get(), dst_x, dst_y, dst_width, dst_height, src_x,
                             src_y, src_width, src_height, unit,
                             attributes != nullptr ? attributes->get() : nullptr, nullptr, nullptr),
      &last_status_);
}

ImageAttributes::ImageAttributes() { last_status_ = GdipCreateImageAttributes(&handle_); }

ImageAttributes::~ImageAttributes() {
  if (handle_ != nullptr) GdipDisposeImageAttributes(handle_);
}

GpStatus ImageAttributes::SetColorMatrix(const ColorMatrix& matrix) {
  return Record(GdipSetImageAttributesColorMatrix(handle_, ColorAdjustTypeDefault, true, &matrix,
                                                  nullptr, ColorMatrixFlagsDefault),
                &last_status_);
}
