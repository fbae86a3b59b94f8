// SPDX-License-Identifier: GPL-3.0-or-later
// The encoder table: one entry per image format, in lookup order, each describing its format
// and saying where its encoder is. The table is plain data in the program (platform/encoders.cc);
// each encoder that needs an image library is a module of its own (platform/encoder_<format>.cc,
// loaded by platform/modules.h when a save first asks for it), so that a run loads the one
// image library it writes with and no other.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/imaging.h"

struct ArgbPixels;  // platform/imaging_internal.h

/// Encodes `image` into `out`. On failure returns the status and puts the cause into *why;
/// `out` then holds nothing of use.
using EncodeFunction = GpStatus (*)(const ArgbPixels& image, const EncoderParameters* params,
                                    std::string* out, std::string* why);

/// One format: plain data, readable without loading the format's library. Class identifiers
/// and format identifiers are this program's own, fixed for good.
struct EncoderEntry {
  GUID clsid;
  GUID format_id;
  const char16_t* codec_name;
  const char16_t* format_description;
  const char16_t* filename_extension;
  const char16_t* mime_type;
  std::span<const std::uint8_t> sig_pattern;  ///< sig_count signatures of equal size, back to back
  std::span<const std::uint8_t> sig_mask;
  std::uint32_t sig_count;
  EncodeFunction built_in;  ///< the encoder when the program holds it (BMP), else null
  const char* module;       ///< else the module that holds it, exporting kEncodeSymbol
  std::int32_t max_side;    ///< the most pixels a side the format can hold; 0: no limit of its own
  /// The most pixels of a sheet in this format: what its encoder writes within about 1 GB and
  /// 30 seconds (bench/large_sheets.sh measures them).
  std::int64_t max_pixels;
};

/// The encoders in table order: BMP, JPEG, GIF, TIFF, PNG, WebP, AVIF, JPEG XL.
std::span<const EncoderEntry* const> EncoderTable();
/// The encoder with that class identifier, or null.
const EncoderEntry* FindEncoder(const GUID& clsid);

/// Why an image of width x height cannot be written with `entry`: more pixels a side than
/// the format holds, or more pixels than its encoder writes within its bounds; nothing when it
/// can.
std::optional<std::string> EncoderSizeProblem(const EncoderEntry& entry, std::int64_t width,
                                              std::int64_t height);

/// The name under which each encoder module exports its EncodeFunction.
inline constexpr char kEncodeSymbol[] = "VgridEncode";

/// The function that encodes `entry`'s format, its module loaded now if need be. Null when the
/// module or the image library it needs cannot be loaded, with the cause in *why.
EncodeFunction LoadEncoder(const EncoderEntry& entry, std::string* why);
