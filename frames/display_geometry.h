// SPDX-License-Identifier: GPL-3.0-or-later
// The arithmetic of a picture's displayed shape: how a player turns and stretches a decoded
// picture (the stream's rotation and pixel shape, or a picture's own shape when it differs
// from the stream's), and how a picture of one size is fitted into a box with its aspect
// kept. Shared by the detector (which delivers each frame at the size it is drawn at) and the
// sheet (which places it in its cell), so that both agree.
#pragma once

#include <cstdint>

struct AVFrame;
struct AVStream;

struct FittedSize {
  std::int64_t width = 0;
  std::int64_t height = 0;
};

/// A picture of width x height scaled into a box_width x box_height box with its aspect kept:
/// the whole width of the box, or its whole height when the picture is taller. The results are
/// truncated and may be 0 for a picture far wider or taller than the box; the products are
/// taken in 64 bits. width and height must be positive.
constexpr FittedSize FitInto(std::int64_t width, std::int64_t height, std::int64_t box_width,
                             std::int64_t box_height) {
  FittedSize fit{box_width, height * box_width / width};
  if (fit.height > box_height) fit = {width * box_height / height, box_height};
  return fit;
}

/// How a player shows a picture.
struct DisplayGeometry {
  int rotation = 0;     ///< clockwise degrees the decoded picture is turned by: 0, 90, 180, 270
  bool mirror = false;  ///< and then mirrored left to right
  int width = 0;        ///< the size shown, turned and with square pixels
  int height = 0;
  bool Sideways() const { return rotation == 90 || rotation == 270; }
};

/// How a player shows the pictures of stream `st`: turned and mirrored as its display matrix
/// says, and with its pixel shape (the container's, else the codec's) made square by
/// stretching the width. A pixel shape no player would honour (wider than 16:1 or narrower than
/// 1:16) is a damaged or hostile header: such pixels are taken for square.
DisplayGeometry GeometryOf(const AVStream* st);

/// How a player shows the decoded picture `f` of stream `st`. A picture of the stream's coded
/// size and pixel shape has the stream's geometry; another one (a broadcast that switches
/// between 16:9 and 4:3 by its size or only by its pixel shape) is shown at its own, unless
/// the container states a pixel shape of its own, which then holds for every picture.
DisplayGeometry FrameGeometry(const AVStream* st, const AVFrame* f);

/// The size a picture shown as `own` is delivered at when width x height is asked for a
/// stream shown as `stream`: that size when both shapes agree, otherwise the picture fitted
/// into it with its own aspect kept, never less than one pixel either way.
FittedSize DeliveredSize(const DisplayGeometry& stream, const DisplayGeometry& own,
                         std::int64_t width, std::int64_t height);
