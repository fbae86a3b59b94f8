// SPDX-License-Identifier: GPL-3.0-or-later
// Inside the imaging layer: the encoders behind the encoder table, and the pixel view of an
// image that they read. Not for the rest of the program; it goes through platform/imaging.h.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "platform/imaging.h"

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

/// Encodes `image` into `out`. On failure returns the status and puts the cause into *why.
using EncodeFunction = GpStatus (*)(const ArgbPixels& image, const EncoderParameters* params,
                                    std::string* out, std::string* why);

struct EncoderEntry {
  GUID clsid;
  GUID format_id;
  const char16_t* codec_name;
  const char16_t* format_description;
  const char16_t* filename_extension;
  const char16_t* mime_type;
  std::span<const std::uint8_t> sig_pattern;  ///< SigCount signatures of equal size, back to back
  std::span<const std::uint8_t> sig_mask;
  std::uint32_t sig_count;
  EncodeFunction encode;
  std::int32_t max_side;  ///< the most pixels a side the format can hold; 0: no limit of its own
};

/// The encoders in table order: BMP, JPEG, GIF, TIFF, PNG, WebP, AVIF, JPEG XL.
std::span<const EncoderEntry> EncoderTable();
/// The encoder with that class identifier, or null.
const EncoderEntry* FindEncoder(const GUID& clsid);

/// JPEG quality used when the save passes no parameter block (libjpeg's own default).
inline constexpr int kDefaultJpegQuality = 75;

/// Test hook: when set, GdipSaveImageToFile calls it with the destination path after the
/// encoded file has been written and synced under its temporary name, just before it is moved
/// into place. Tests use it to make the destination name appear in that window.
void SetSaveHookForTesting(std::function<void(const std::string& destination)> hook);

/// Test hook: when true, the save moves the file into place with link() and unlink(), as it
/// does on a file system without RENAME_NOREPLACE.
void ForceLinkFallbackForTesting(bool force);
