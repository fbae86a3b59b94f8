// SPDX-License-Identifier: GPL-3.0-or-later
// Inside the imaging layer: the encoders behind the encoder table. Not for the rest of the
// program; it goes through platform/imaging.h.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "platform/imaging.h"

struct ArgbPixels;  // platform/imaging_internal.h

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
