// SPDX-License-Identifier: GPL-3.0-or-later
// Inside the imaging layer: the objects behind its handles (images, drawing surfaces, image
// attributes) and the registry that tells a live handle from a null, released or mistyped one.
// Not for the rest of the program; it goes through platform/imaging.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/imaging.h"

struct SwsContext;

struct GpImage {
  enum class Kind { kCanvas, kDib };
  Kind kind = Kind::kCanvas;
  std::uint64_t serial = 0;
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> argb;  ///< canvas pixels, rows top-down
  /// Frame bitmap: the caller's rows. `top_row` is the first row of the picture as seen, and
  /// `stride` is negative for bottom-up rows.
  const std::uint8_t* top_row = nullptr;
  std::ptrdiff_t stride = 0;
};

struct GpGraphics {
  std::uint64_t serial = 0;
  GpImage* canvas = nullptr;
  std::uint64_t canvas_serial = 0;
  CompositingMode compositing = CompositingModeSourceOver;
  InterpolationMode interpolation = InterpolationModeDefault;
  SwsContext* scaler = nullptr;  ///< reused while the sizes stay the same
  /// Working memory of the last drawing, kept for the next: a sheet draws frame after frame of
  /// one size, and fresh blocks each time cost more in page faults than the drawing itself.
  /// A band of source rows, and the scaled rectangle where it cannot go straight into the
  /// canvas.
  std::vector<std::uint8_t> source_rows;
  std::vector<std::uint32_t> scaled_pixels;
  ~GpGraphics();
};

struct GpImageAttributes {
  std::uint64_t serial = 0;
  bool enabled = false;
  /// The matrix scales each colour channel on its own, adds an offset, and leaves alpha alone:
  /// then three tables do the whole work. Otherwise the general product runs per pixel.
  bool per_channel = false;
  std::uint8_t lut[3][256] = {};  ///< red, green, blue
  float m[5][5] = {};
};

enum class HandleKind { kImage, kGraphics, kAttributes };

/// Registers a new handle and returns its serial number, never 0 and never given twice.
std::uint64_t RegisterHandle(const void* handle, HandleKind kind);
/// Forgets a handle that is about to be freed.
void UnregisterHandle(const void* handle);
/// True when `handle` is registered with that kind (and that serial, unless it is 0): false for
/// null, released or mistyped handles, and for a new object at a released one's address.
bool IsLiveHandle(const void* handle, HandleKind kind, std::uint64_t serial = 0);

inline bool LiveImage(const GpImage* image) { return IsLiveHandle(image, HandleKind::kImage); }
/// A live surface whose canvas is still the one it was made on.
inline bool LiveGraphics(const GpGraphics* g) {
  return IsLiveHandle(g, HandleKind::kGraphics) &&
         IsLiveHandle(g->canvas, HandleKind::kImage, g->canvas_serial);
}
inline bool LiveAttributes(const GpImageAttributes* a) {
  return IsLiveHandle(a, HandleKind::kAttributes);
}

/// The pixel at (x, y) of a frame bitmap, opaque.
inline std::uint32_t DibPixel(const GpImage& image, int x, int y) {
  const std::uint8_t* p = image.top_row + static_cast<std::ptrdiff_t>(y) * image.stride +
                          static_cast<std::ptrdiff_t>(x) * 3;
  return 0xFF000000u | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
}
