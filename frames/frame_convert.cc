// SPDX-License-Identifier: GPL-3.0-or-later
// Colour conversion, scaling and turning of a picture into FrameRecord rows.
#include "frames/frame_convert.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstring>

#include "platform/imaging.h"

namespace {

int SwsColorspace(const AVFrame* f) {
  switch (f->colorspace) {
    case AVCOL_SPC_BT709:
      return SWS_CS_ITU709;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
      return SWS_CS_ITU601;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
      return SWS_CS_BT2020;
    case AVCOL_SPC_FCC:
      return SWS_CS_FCC;
    case AVCOL_SPC_SMPTE240M:
      return SWS_CS_SMPTE240M;
    default:
      // Untagged: players take HD pictures for BT.709 and smaller ones for BT.601.
      return (f->width >= 1280 || f->height > 576) ? SWS_CS_ITU709 : SWS_CS_ITU601;
  }
}

// The yuvj formats are the plain ones in full range; swscale wants them said that way, and
// the formats with a padding byte as the ones with alpha.
AVPixelFormat PlainFormat(AVPixelFormat fmt, bool* full_range) {
  switch (fmt) {
    case AV_PIX_FMT_YUVJ420P:
      *full_range = true;
      return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P:
      *full_range = true;
      return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P:
      *full_range = true;
      return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P:
      *full_range = true;
      return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P:
      *full_range = true;
      return AV_PIX_FMT_YUV411P;
    // swscale takes the padding byte of these for alpha and keeps the format it made of
    // them, so that asked by their own name it would build its scaler anew for every frame
    // (costly when scaling far down); the output has no alpha, the byte is ignored either way.
    case AV_PIX_FMT_RGB0:
      return AV_PIX_FMT_RGBA;
    case AV_PIX_FMT_BGR0:
      return AV_PIX_FMT_BGRA;
    case AV_PIX_FMT_0RGB:
      return AV_PIX_FMT_ARGB;
    case AV_PIX_FMT_0BGR:
      return AV_PIX_FMT_ABGR;
    default:
      return fmt;
  }
}

// Row `y` of swscale's planar RGB (G, B, R planes) as 24-bit BGR pixels.
void InterleaveRow(uint8_t* const planes[3], size_t stride, int y, int width, uint8_t* out) {
  const uint8_t* gp = planes[0] + static_cast<size_t>(y) * stride;
  const uint8_t* bp = planes[1] + static_cast<size_t>(y) * stride;
  const uint8_t* rp = planes[2] + static_cast<size_t>(y) * stride;
  for (int x = 0; x < width; ++x) {
    out[3 * x] = bp[x];
    out[3 * x + 1] = gp[x];
    out[3 * x + 2] = rp[x];
  }
}

// Above this many pixels a picture is converted without the planar intermediate (three bytes
// a pixel more): the planar writer's speed is worth its memory for cells, not for a sheet of
// one huge cell.
constexpr std::int64_t kPlanarMaxPixels = 16 << 20;

bool Failure(std::string* error, const char* text) {
  *error = text;
  return false;
}

// Tells the scaler the picture's colour matrix and range (RGB pictures have neither).
void SetColours(SwsContext* ctx, const AVFrame* f, const AVPixFmtDescriptor* desc,
                bool full_range) {
  if (desc != nullptr && !(desc->flags & AV_PIX_FMT_FLAG_RGB)) {
    sws_setColorspaceDetails(ctx, sws_getCoefficients(SwsColorspace(f)), full_range ? 1 : 0,
                             sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
  }
}

// Whether the palette of a palette picture lists a colour that is less than opaque.
bool PaletteHasTransparency(const AVFrame* f) {
  if (f->data[1] == nullptr) return false;
  for (int i = 0; i < 256; ++i) {
    std::uint32_t entry;
    std::memcpy(&entry, f->data[1] + 4 * i, 4);
    if ((entry >> 24) != 0xFF) return true;
  }
  return false;
}

}  // namespace

FrameConverter::FrameConverter() = default;
FrameConverter::~FrameConverter() = default;

void FrameConverter::Reset() {
  sws_.reset();
  rgba_sws_.reset();
}

// A picture whose format carries transparency is made RGBA at its own size and its pixels
// that are less than opaque are laid over the underlay (a player's source-over, in the
// picture's own gamma), before any scaling, so that the colour stored under a transparent
// pixel never bleeds into its neighbours. `f` itself when every pixel is opaque (or its
// format has no alpha): such a picture is converted exactly as any other; null on failure.
const AVFrame* FrameConverter::LaidOverUnderlay(const AVFrame* f, bool full_range,
                                                std::string* error) {
  const auto format = static_cast<AVPixelFormat>(f->format);
  const AVPixFmtDescriptor* own = av_pix_fmt_desc_get(format);
  if (own == nullptr || !(own->flags & AV_PIX_FMT_FLAG_ALPHA)) return f;
  if ((own->flags & AV_PIX_FMT_FLAG_PAL) && !PaletteHasTransparency(f)) return f;
  const AVPixelFormat src_fmt = PlainFormat(format, &full_range);
  SwsContext* ctx = sws_getCachedContext(
      rgba_sws_.release(), f->width, f->height, src_fmt, f->width, f->height, AV_PIX_FMT_RGBA,
      SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr);
  rgba_sws_.reset(ctx);
  if (!composited_) composited_.reset(av_frame_alloc());
  if (ctx == nullptr || !composited_) {
    Failure(error, "cannot convert this picture format");
    return nullptr;
  }
  SetColours(ctx, f, av_pix_fmt_desc_get(src_fmt), full_range);
  const int stride = (f->width * 4 + 63) & ~63;
  rgba_.resize(static_cast<size_t>(stride) * f->height + 64);
  uint8_t* dst[4] = {rgba_.data(), nullptr, nullptr, nullptr};
  int dst_stride[4] = {stride, 0, 0, 0};
  if (sws_scale(ctx, f->data, f->linesize, 0, f->height, dst, dst_stride) <= 0) {
    Failure(error, "picture conversion failed");
    return nullptr;
  }
  const int under[3] = {static_cast<int>((underlay_ >> 16) & 0xFF),
                        static_cast<int>((underlay_ >> 8) & 0xFF),
                        static_cast<int>(underlay_ & 0xFF)};
  bool transparent = false;
  for (int y = 0; y < f->height; ++y) {
    uint8_t* p = rgba_.data() + static_cast<size_t>(y) * stride;
    for (int x = 0; x < f->width; ++x, p += 4) {
      const int a = p[3];
      if (a == 0xFF) continue;
      transparent = true;
      for (int c = 0; c < 3; ++c)
        p[c] = static_cast<uint8_t>((p[c] * a + under[c] * (255 - a) + 127) / 255);
      p[3] = 0xFF;
    }
  }
  if (!transparent) return f;
  AVFrame* view = composited_.get();
  view->format = AV_PIX_FMT_RGBA;
  view->width = f->width;
  view->height = f->height;
  view->data[0] = rgba_.data();
  view->linesize[0] = stride;
  return view;
}

bool FrameConverter::Convert(const AVFrame* f, int rotation, bool mirror, std::int32_t width,
                             std::int32_t height, std::uint8_t* out, std::string* error) {
  const bool sideways = rotation == 90 || rotation == 270;
  const bool turned = rotation != 0 || mirror;
  // Scale to the requested size before turning the picture upright.
  const int sw = sideways ? height : width;
  const int sh = sideways ? width : height;
  bool full_range = f->color_range == AVCOL_RANGE_JPEG;
  f = LaidOverUnderlay(f, full_range, error);
  if (f == nullptr) return false;
  const AVPixelFormat src_fmt = PlainFormat(static_cast<AVPixelFormat>(f->format), &full_range);
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(src_fmt);
  // From YUV, swscale's planar RGB writer gives exactly the bytes of its packed 24-bit one in
  // a third of the time (the packed writer is per-pixel generic code); the planes are
  // interleaved here. Grey, palette and RGB sources take shortcuts of swscale's own that
  // differ between the two, so they keep the packed output.
  // A picture that needs no turning and is large enough for the planes to cost more memory
  // than their speed is worth goes straight into the record's rows, packed.
  const bool direct = !turned && static_cast<std::int64_t>(sw) * sh > kPlanarMaxPixels;
  const bool planar = !direct && desc != nullptr &&
                      !(desc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) &&
                      desc->nb_components >= 3;
  SwsContext* ctx = sws_getCachedContext(sws_.release(), f->width, f->height, src_fmt, sw, sh,
                                         planar ? AV_PIX_FMT_GBRP : AV_PIX_FMT_BGR24,
                                         SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT,
                                         nullptr, nullptr, nullptr);
  sws_.reset(ctx);
  if (ctx == nullptr) return Failure(error, "cannot convert this picture format");
  SetColours(ctx, f, desc, full_range);
  const auto row_bytes = static_cast<std::int32_t>(DibRowBytes(width, 24));
  const BITMAPINFOHEADER header = Dib24Header(width, height);
  std::memcpy(out, &header, sizeof header);
  uint8_t* rows = out + sizeof header;
  if (direct) {
    // Bottom-up: the picture's top row is the last in memory, and the rows run backwards.
    uint8_t* dst[4] = {rows + static_cast<size_t>(height - 1) * row_bytes, nullptr, nullptr,
                       nullptr};
    int dst_stride[4] = {-row_bytes, 0, 0, 0};
    if (sws_scale(ctx, f->data, f->linesize, 0, f->height, dst, dst_stride) <= 0)
      return Failure(error, "picture conversion failed");
    for (int y = 0; y < height; ++y)
      std::memset(rows + static_cast<size_t>(y) * row_bytes + width * 3, 0, row_bytes - width * 3);
    return true;
  }
  // The scaled picture before it is turned upright: swscale's packed rows, or for planar
  // output its planes, interleaved straight into the record when nothing is to be turned.
  const int scaled_stride = (sw * 3 + 63) & ~63;
  if (!planar || turned) scaled_.resize(static_cast<size_t>(scaled_stride) * sh + 64);
  uint8_t* plane[3] = {};
  const size_t plane_stride = (static_cast<size_t>(sw) + 63) & ~size_t{63};
  if (planar) {
    const size_t plane_bytes = plane_stride * sh;
    planes_.resize(plane_bytes * 3 + 64);
    uint8_t* dst[4] = {planes_.data(), planes_.data() + plane_bytes,
                       planes_.data() + 2 * plane_bytes, nullptr};
    int dst_stride[4] = {static_cast<int>(plane_stride), static_cast<int>(plane_stride),
                         static_cast<int>(plane_stride), 0};
    if (sws_scale(ctx, f->data, f->linesize, 0, f->height, dst, dst_stride) <= 0)
      return Failure(error, "picture conversion failed");
    std::copy(dst, dst + 3, plane);
    if (turned) {
      for (int y = 0; y < sh; ++y)
        InterleaveRow(plane, plane_stride, y, sw,
                      scaled_.data() + static_cast<size_t>(y) * scaled_stride);
    }
  } else {
    uint8_t* dst[4] = {scaled_.data(), nullptr, nullptr, nullptr};
    int dst_stride[4] = {scaled_stride, 0, 0, 0};
    if (sws_scale(ctx, f->data, f->linesize, 0, f->height, dst, dst_stride) <= 0)
      return Failure(error, "picture conversion failed");
  }

  for (int y = 0; y < height; ++y) {
    // Bottom-up: the top row of the picture is the last row in memory.
    uint8_t* row = rows + static_cast<size_t>(height - 1 - y) * row_bytes;
    std::memset(row + width * 3, 0, row_bytes - width * 3);
    if (!turned) {
      if (planar)
        InterleaveRow(plane, plane_stride, y, width, row);
      else
        std::memcpy(row, scaled_.data() + static_cast<size_t>(y) * scaled_stride, width * 3);
      continue;
    }
    for (int x = 0; x < width; ++x) {
      // Where the player's upright pixel (x, y) sits in the scaled picture: mirrored, it is the
      // pixel (width - 1 - x, y) of the turned picture.
      const int tx = mirror ? width - 1 - x : x;
      int sx, sy;
      if (rotation == 0) {
        sx = tx;
        sy = y;
      } else if (rotation == 90) {
        sx = y;
        sy = sh - 1 - tx;
      } else if (rotation == 180) {
        sx = sw - 1 - tx;
        sy = sh - 1 - y;
      } else {
        sx = sw - 1 - y;
        sy = tx;
      }
      std::memcpy(row + x * 3, scaled_.data() + static_cast<size_t>(sy) * scaled_stride + sx * 3,
                  3);
    }
  }
  return true;
}
