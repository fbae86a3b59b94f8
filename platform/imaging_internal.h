// SPDX-License-Identifier: GPL-3.0-or-later
// Inside the imaging layer: the pixel view of an image that the encoders read, and the test
// hooks of the save. Not for the rest of the program; it goes through platform/imaging.h.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/imaging.h"

// Pixels are 0xAARRGGBB words. On a little-endian machine their bytes are B, G, R, A: that is
// libswscale's BGRA, and the byte order in which the encoders hand rows to their libraries.
static_assert(std::endian::native == std::endian::little,
              "the pixel words are handed to the libraries as BGRA bytes");

/// Pixels of an image as 0xAARRGGBB words, rows top-down, `width` words a row.
struct ArgbPixels {
  int width = 0;
  int height = 0;
  const std::uint32_t* pixels = nullptr;
  std::vector<std::uint32_t> storage;  ///< holds converted pixels when the image has none
  std::uint32_t at(int x, int y) const {
    return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                  static_cast<std::size_t>(x)];
  }
  /// True when some pixel has an alpha below 255.
  bool HasAlpha() const;
};

/// The pixels of a live image (a canvas, or a frame bitmap converted to ARGB).
/// InvalidParameter for a null or released handle.
GpStatus ImagePixels(GpImage* image, ArgbPixels* out);

/// Test hook: when set, GdipSaveImageToFile calls it with the destination path each time the
/// encoded file has been written and synced: under a temporary name (or none), just before it
/// is moved into place, and where the file system can do neither, under the destination name
/// itself. Tests use it to make the destination name appear in that window.
void SetSaveHookForTesting(std::function<void(const std::string& destination)> hook);

/// The ways of saving that tests can force, each as the save takes it on a file system that
/// lacks what the ways before it need.
enum class SaveFallback {
  kNone,  ///< the first way that works: O_TMPFILE and linkat, then the ways below
  kLink,  ///< no O_TMPFILE nor RENAME_NOREPLACE: a named temporary file, link() and unlink()
  kCreateInPlace,  ///< no hard links either: the destination created with O_EXCL and written
};
/// Test hook: makes every save take `fallback` (kNone: the usual choice).
void ForceSaveFallbackForTesting(SaveFallback fallback);
