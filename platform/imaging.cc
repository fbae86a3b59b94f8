// SPDX-License-Identifier: GPL-3.0-or-later
// The imaging layer's objects: canvases, frame bitmaps over device-independent rows, drawing
// surfaces and image attributes, and the drawing itself.
//
// Pixels are 0xAARRGGBB words. On a little-endian machine their bytes are B, G, R, A, which is
// libswscale's BGRA, so the scaler writes straight into that layout.

#include "platform/imaging.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "platform/encoders.h"

extern "C" {
#include <libavutil/log.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

static_assert(std::endian::native == std::endian::little,
              "the pixel words are handed to libswscale as BGRA bytes");

namespace {

enum class HandleKind { kImage, kGraphics, kAttributes };

// Every live handle is registered with a serial number, so that a null, released or mistyped
// handle is refused instead of being followed, and a surface notices when its canvas was
// released under it (even if a new object was later given the same address).
class Registry {
 public:
  std::uint64_t Add(const void* p, HandleKind kind) {
    std::lock_guard lock(mutex_);
    std::uint64_t serial = ++next_serial_;
    live_[p] = {kind, serial};
    return serial;
  }
  void Remove(const void* p) {
    std::lock_guard lock(mutex_);
    live_.erase(p);
  }
  bool IsLive(const void* p, HandleKind kind, std::uint64_t serial = 0) const {
    if (p == nullptr) return false;
    std::lock_guard lock(mutex_);
    auto it = live_.find(p);
    return it != live_.end() && it->second.kind == kind &&
           (serial == 0 || it->second.serial == serial);
  }

 private:
  struct Entry {
    HandleKind kind;
    std::uint64_t serial;
  };
  mutable std::mutex mutex_;
  std::unordered_map<const void*, Entry> live_;
  std::uint64_t next_serial_ = 0;
};

Registry& Handles() {
  static Registry* registry = new Registry;  // never destroyed: owners may outlive statics
  return *registry;
}

}  // namespace

struct GpImage {
  enum class Kind { kCanvas, kDib };
  Kind kind = Kind::kCanvas;
  std::uint64_t serial = 0;
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> argb;  // canvas pixels, rows top-down
  // Frame bitmap: the caller's rows. `top_row` is the first row of the picture as seen, and
  // `stride` is negative for bottom-up rows.
  const std::uint8_t* top_row = nullptr;
  std::ptrdiff_t stride = 0;
};

struct GpGraphics {
  std::uint64_t serial = 0;
  GpImage* canvas = nullptr;
  std::uint64_t canvas_serial = 0;
  CompositingMode compositing = CompositingModeSourceOver;
  InterpolationMode interpolation = InterpolationModeDefault;
  SwsContext* scaler = nullptr;  // reused while the sizes stay the same
  // Working memory of the last drawing, kept for the next: a sheet draws frame after frame of
  // one size, and fresh blocks of a frame's size each time cost more in page faults than the
  // drawing itself.
  std::vector<std::uint8_t> source_rows;
  std::vector<std::uint32_t> scaled_pixels;
  ~GpGraphics() { sws_freeContext(scaler); }
};

struct GpImageAttributes {
  std::uint64_t serial = 0;
  bool enabled = false;
  // The matrix scales each colour channel on its own, adds an offset, and leaves alpha alone:
  // then three tables do the whole work. Otherwise the general product runs per pixel.
  bool per_channel = false;
  std::uint8_t lut[3][256] = {};  // red, green, blue
  float m[5][5] = {};
};

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

GpStatus NewImage(GpImage* image, GpImage** out) {
  image->serial = Handles().Add(image, HandleKind::kImage);
  *out = image;
  return Ok;
}

bool LiveImage(const GpImage* image) { return Handles().IsLive(image, HandleKind::kImage); }
bool LiveGraphics(const GpGraphics* g) {
  return Handles().IsLive(g, HandleKind::kGraphics) &&
         Handles().IsLive(g->canvas, HandleKind::kImage, g->canvas_serial);
}
bool LiveAttributes(const GpImageAttributes* a) {
  return Handles().IsLive(a, HandleKind::kAttributes);
}

std::uint32_t DibPixel(const GpImage& image, int x, int y) {
  const std::uint8_t* p = image.top_row + static_cast<std::ptrdiff_t>(y) * image.stride +
                          static_cast<std::ptrdiff_t>(x) * 3;
  return 0xFF000000u | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
}

}  // namespace

bool ArgbPixels::HasAlpha() const {
  const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  for (std::size_t i = 0; i < n; ++i)
    if ((pixels[i] >> 24) != 0xFF) return true;
  return false;
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

GpStatus GdiplusStartup(std::uintptr_t* token, const GdiplusStartupInput* input, void* output) {
  // The layer keeps no process-wide state that needs setting up; the token only pairs the
  // calls.
  if (token == nullptr || input == nullptr || output != nullptr) return InvalidParameter;
  if (input->GdiplusVersion != 1) return InvalidParameter;
  *token = 1;
  return Ok;
}

void GdiplusShutdown(std::uintptr_t) {}

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

GpStatus GdipGetImageGraphicsContext(GpImage* image, GpGraphics** graphics) {
  if (graphics == nullptr) return InvalidParameter;
  *graphics = nullptr;
  // Only a canvas can be drawn on; a frame bitmap's rows belong to the caller.
  if (!LiveImage(image) || image->kind != GpImage::Kind::kCanvas) return InvalidParameter;
  auto* g = new (std::nothrow) GpGraphics;
  if (g == nullptr) return OutOfMemory;
  g->canvas = image;
  g->canvas_serial = image->serial;
  g->serial = Handles().Add(g, HandleKind::kGraphics);
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
  a->serial = Handles().Add(a, HandleKind::kAttributes);
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

  std::vector<std::uint32_t>& scaled = graphics->scaled_pixels;
  try {
    scaled.resize(static_cast<std::size_t>(dst_width) * static_cast<std::size_t>(dst_height));
  } catch (const std::bad_alloc&) {
    return OutOfMemory;
  }
  // The scaler's vector loads read up to a vector's width past the last pixel of a row, and
  // a frame record's last row ends where its block ends: the scaler reads a copy of the
  // source rectangle with room after every row, never the caller's memory.
  constexpr std::size_t kRowSlack = 64;
  const std::size_t pixel_bytes = image->kind == GpImage::Kind::kDib ? 3 : 4;
  const std::size_t row_bytes = static_cast<std::size_t>(src_width) * pixel_bytes;
  const std::size_t padded_stride = (row_bytes + kRowSlack + 63) & ~std::size_t{63};
  std::vector<std::uint8_t>& source = graphics->source_rows;
  try {
    source.resize(padded_stride * static_cast<std::size_t>(src_height));
  } catch (const std::bad_alloc&) {
    return OutOfMemory;
  }
  for (int y = 0; y < src_height; ++y) {
    const std::uint8_t* row =
        image->kind == GpImage::Kind::kDib
            ? image->top_row + static_cast<std::ptrdiff_t>(src_y + y) * image->stride +
                  static_cast<std::ptrdiff_t>(src_x) * 3  // stride negative for bottom-up rows
            : reinterpret_cast<const std::uint8_t*>(
                  image->argb.data() + static_cast<std::size_t>(src_y + y) * image->width + src_x);
    std::memcpy(source.data() + static_cast<std::size_t>(y) * padded_stride, row, row_bytes);
  }
  const std::uint8_t* src_plane[4] = {source.data()};
  int src_stride[4] = {static_cast<int>(padded_stride)};
  std::uint8_t* dst_plane[4] = {reinterpret_cast<std::uint8_t*>(scaled.data())};
  int dst_stride[4] = {dst_width * 4};
  if (sws_scale(graphics->scaler, src_plane, src_stride, 0, src_height, dst_plane, dst_stride) !=
      dst_height)
    return GenericError;

  // The matrix is applied to the scaled pixels: for an affine matrix this equals applying it
  // before scaling (the filter weights sum to one), and it touches a tenth-sized cell instead
  // of the whole frame.
  const bool adjust = attributes != nullptr && attributes->enabled;
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
  Handles().Remove(attributes);
  delete attributes;
  return Ok;
}

GpStatus GdipDisposeImage(GpImage* image) {
  if (!LiveImage(image)) return InvalidParameter;
  Handles().Remove(image);
  delete image;
  return Ok;
}

GpStatus GdipDeleteGraphics(GpGraphics* graphics) {
  // A surface whose canvas is already gone can still be deleted.
  if (!Handles().IsLive(graphics, HandleKind::kGraphics)) return InvalidParameter;
  Handles().Remove(graphics);
  delete graphics;
  return Ok;
}

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

// Owners.

Bitmap::Bitmap(int width, int height, PixelFormat format) {
  last_status_ = GdipCreateBitmapFromScan0(width, height, 0, format, nullptr, &handle_);
}

Bitmap::Bitmap(const BITMAPINFO* info, void* bits) {
  last_status_ = GdipCreateBitmapFromGdiDib(info, bits, &handle_);
}

Bitmap::~Bitmap() {
  if (handle_ != nullptr) GdipDisposeImage(handle_);
}

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
