// SPDX-License-Identifier: GPL-3.0-or-later
// Rotation and pixel shape of a stream or a picture as a player applies them.
#include "frames/display_geometry.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/display.h>
}

#include <algorithm>
#include <cmath>

#include "frames/av_handles.h"

namespace {

// How the stream's display matrix turns and mirrors its pictures.
struct Orientation {
  int rotation = 0;
  bool mirror = false;
};

Orientation OrientationOf(const AVStream* st) {
  const std::int32_t* stated = StreamDisplayMatrix(st);
  if (stated == nullptr) return {};
  // A matrix that mirrors (a negative determinant: front cameras, editors' flips) is a turn
  // followed by a mirror left to right; mirrored once more, it is the turn alone.
  std::int32_t matrix[9];
  std::copy(stated, stated + 9, matrix);
  Orientation o;
  o.mirror =
      static_cast<double>(matrix[0]) * matrix[4] < static_cast<double>(matrix[1]) * matrix[3];
  if (o.mirror) av_display_matrix_flip(matrix, 1, 0);
  // The matrix gives the counter-clockwise angle; a player turns the picture back by it.
  const double angle = -av_display_rotation_get(matrix);
  if (std::isnan(angle)) return {};
  int quarter = static_cast<int>(std::lround(angle / 90.0)) % 4;
  if (quarter < 0) quarter += 4;
  o.rotation = quarter * 90;
  return o;
}

bool Valid(AVRational r) { return r.num > 0 && r.den > 0; }

AVRational HonouredPixelShape(AVRational sar) {
  if (Valid(sar) && (std::int64_t{sar.num} > std::int64_t{16} * sar.den ||
                     std::int64_t{sar.den} > std::int64_t{16} * sar.num))
    return AVRational{1, 1};
  return sar;
}

// A coded width x height picture of pixel shape `sar` as a player shows it: non-square pixels
// stretch the width (the height stays), then the picture is turned and mirrored.
DisplayGeometry Shown(std::int64_t width, std::int64_t height, AVRational sar, Orientation o) {
  if (Valid(sar) && sar.num != sar.den)
    width = std::clamp<std::int64_t>(av_rescale(width, sar.num, sar.den), 1, 1 << 16);
  DisplayGeometry g;
  g.rotation = o.rotation;
  g.mirror = o.mirror;
  g.width = static_cast<int>(g.Sideways() ? height : width);
  g.height = static_cast<int>(g.Sideways() ? width : height);
  return g;
}

}  // namespace

DisplayGeometry GeometryOf(const AVStream* st) {
  const AVCodecParameters* par = st->codecpar;
  const AVRational sar =
      Valid(st->sample_aspect_ratio) ? st->sample_aspect_ratio : par->sample_aspect_ratio;
  return Shown(par->width, par->height, HonouredPixelShape(sar), OrientationOf(st));
}

DisplayGeometry FrameGeometry(const AVStream* st, const AVFrame* f) {
  const AVCodecParameters* par = st->codecpar;
  auto or_square = [](AVRational r) { return Valid(r) ? r : AVRational{1, 1}; };
  const AVRational stream_sar = HonouredPixelShape(or_square(par->sample_aspect_ratio));
  AVRational sar = HonouredPixelShape(or_square(f->sample_aspect_ratio));
  if (f->width <= 0 || f->height <= 0 ||
      (f->width == par->width && f->height == par->height && av_cmp_q(sar, stream_sar) == 0))
    return GeometryOf(st);
  if (Valid(st->sample_aspect_ratio) && av_cmp_q(st->sample_aspect_ratio, stream_sar) != 0)
    sar = HonouredPixelShape(st->sample_aspect_ratio);
  return Shown(f->width, f->height, sar, OrientationOf(st));
}

FittedSize DeliveredSize(const DisplayGeometry& stream, const DisplayGeometry& own,
                         std::int64_t width, std::int64_t height) {
  if (own.width == stream.width && own.height == stream.height) return {width, height};
  const FittedSize fit = FitInto(own.width, own.height, width, height);
  return {std::max<std::int64_t>(fit.width, 1), std::max<std::int64_t>(fit.height, 1)};
}
