// SPDX-License-Identifier: GPL-3.0-or-later
// Reads an image file back with each format's own library decoder (libjpeg-turbo, libpng,
// giflib, libtiff, libwebp, libavif, libjxl; libavcodec for BMP), independently of the
// program's encoders.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct DecodedImage {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgba;  ///< width x height pixels, R, G, B, A bytes, rows top-down
  std::string format;      ///< "bmp", "jpeg", "gif", "tiff", "png", "webp", "avif", "jxl"; empty
                           ///< on failure
  bool has_alpha = false;  ///< AVIF and JPEG XL: the file carries an alpha channel
  std::string error;       ///< why it could not be read; empty on success
  bool ok() const { return error.empty(); }
  /// 0xAARRGGBB at (x, y).
  std::uint32_t Argb(int x, int y) const;
};

/// Decodes the file; the format is told by its first bytes, not its name.
DecodedImage ReadImageFile(const std::string& path);
/// Decodes an in-memory file.
DecodedImage ReadImageBytes(const std::string& bytes);
