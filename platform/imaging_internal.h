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

/// Test hook: when set, GdipSaveImageToFile calls it with the destination path after the
/// encoded file has been written and synced under its temporary name, just before it is moved
/// into place. Tests use it to make the destination name appear in that window.
void SetSaveHookForTesting(std::function<void(const std::string& destination)> hook);

/// Test hook: when true, the save moves the file into place with link() and unlink(), as it
/// does on a file system without RENAME_NOREPLACE.
void ForceLinkFallbackForTesting(bool force);
