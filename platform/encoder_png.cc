// SPDX-License-Identifier: GPL-3.0-or-later
// The PNG encoder, with libpng: 8-bit RGB, or RGBA when some pixel is not opaque. libpng reads
// the pixel words as BGRA bytes itself (png_set_bgr, and png_set_filler to drop the alpha byte).
// libpng's default compression (zlib level 6, each row's filter chosen from all five) takes
// some 0.2 seconds a megapixel: a sheet of more than 32 megapixels is written with zlib's fastest
// level and the Sub filter alone, several times faster, so that the largest canvas stays within
// half a minute.

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/encoder_support.h"
#include "platform/encoders.h"
#include "platform/imaging_internal.h"
#include "platform/modules.h"

extern "C" {
#include <png.h>
}

namespace {

constexpr std::int64_t kPngDefaultCompressionMaxPixels = 32'000'000;
constexpr int kPngFastLevel = 1;

struct PngJob {
  const ArgbPixels* image;
  bool alpha;
  std::string* out;
  char message[256];
};

[[noreturn]] void PngError(png_structp png, png_const_charp message) {
  auto* job = static_cast<PngJob*>(png_get_error_ptr(png));
  std::snprintf(job->message, sizeof job->message, "%s", message);
  png_longjmp(png, 1);
}

void PngWarning(png_structp, png_const_charp) {}

void PngWrite(png_structp png, png_bytep data, png_size_t length) {
  auto* job = static_cast<PngJob*>(png_get_io_ptr(png));
  if (!AppendEncoded(data, length, job->out)) png_error(png, "out of memory");
}

void PngFlush(png_structp) {}

bool RunPng(PngJob* job) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, job, PngError, PngWarning);
  if (png == nullptr) {
    std::snprintf(job->message, sizeof job->message, "out of memory");
    return false;
  }
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    if (info == nullptr) std::snprintf(job->message, sizeof job->message, "out of memory");
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, job, PngWrite, PngFlush);
  png_set_IHDR(png, info, static_cast<png_uint_32>(job->image->width),
               static_cast<png_uint_32>(job->image->height), 8,
               job->alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (std::int64_t{job->image->width} * job->image->height > kPngDefaultCompressionMaxPixels) {
    png_set_compression_level(png, kPngFastLevel);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
  }
  png_write_info(png, info);
  png_set_bgr(png);
  if (!job->alpha) png_set_filler(png, 0, PNG_FILLER_AFTER);
  for (int y = 0; y < job->image->height; ++y) {
    png_bytep row = reinterpret_cast<png_bytep>(const_cast<std::uint32_t*>(
        job->image->pixels + static_cast<std::size_t>(y) * job->image->width));
    png_write_row(png, row);
  }
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return true;
}

GpStatus EncodePng(const ArgbPixels& image, const EncoderParameters* params, std::string* out,
                   std::string* why) {
  if (GpStatus s = NoParameters(params, why); s != Ok) return s;
  out->clear();
  PngJob job{&image, image.HasAlpha(), out, {}};
  if (!RunPng(&job)) {
    *why = std::string("PNG: ") + job.message;
    out->clear();
    return GenericError;
  }
  return Ok;
}

}  // namespace

VGRID_MODULE_EXPORT GpStatus VgridEncode(const ArgbPixels& image, const EncoderParameters* params,
                                         std::string* out, std::string* why) {
  return EncodePng(image, params, out, why);
}
