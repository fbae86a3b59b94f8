// SPDX-License-Identifier: GPL-3.0-or-later
// The conversion of a decoded picture into the pixel rows of a FrameRecord: the stream's
// colour matrix and range to 24-bit RGB, transparent parts laid over a colour, scaling to the
// size asked for, and turning the picture upright. Kept between grabs so that its scalers and
// buffers are reused.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "frames/av_handles.h"

class FrameConverter {
 public:
  FrameConverter();
  ~FrameConverter();
  FrameConverter(const FrameConverter&) = delete;
  FrameConverter& operator=(const FrameConverter&) = delete;

  /// Writes `f`, turned clockwise by `rotation` degrees (0, 90, 180 or 270), then mirrored
  /// left to right when `mirror` says so, and scaled to `width` x `height` (the upright size),
  /// into `out` as a 40-byte BITMAPINFOHEADER and bottom-up 24-bit rows padded to 4 bytes. On
  /// failure says why in *error.
  bool Convert(const AVFrame* f, int rotation, bool mirror, std::int32_t width, std::int32_t height,
               std::uint8_t* out, std::string* error);
  /// Forgets the scaler (a new file may bring other picture formats).
  void Reset();
  /// The colour (0xRRGGBB) that a picture with transparent parts is laid over, as a player
  /// lays it over what is behind it, before it is scaled; black until set. Opaque pictures
  /// are converted as they are, whatever their format.
  void SetUnderlay(std::uint32_t rgb) { underlay_ = rgb; }

 private:
  const AVFrame* LaidOverUnderlay(const AVFrame* f, bool full_range, std::string* error);

  SwsPtr sws_;
  SwsPtr rgba_sws_;                 // to 8-bit RGBA at the picture's own size
  std::vector<std::uint8_t> rgba_;  // the picture as RGBA, then laid over the underlay
  FramePtr composited_;             // a view of rgba_ once laid over
  std::uint32_t underlay_ = 0;
  std::vector<std::uint8_t> scaled_;
  std::vector<std::uint8_t> planes_;  // planar RGB out of the scaler, before interleaving
};
