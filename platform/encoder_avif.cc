// SPDX-License-Identifier: GPL-3.0-or-later
// The AVIF encoder, with libavif and libaom's AV1 encoder. libavif's own defaults are a
// lossless quantizer and the AV1 encoder's slowest speed: about a minute and a megabyte for a
// 1080p picture. The encoder runs as libavif's command-line encoder does by default instead:
// 4:4:4, quantizer 0 to 10 ("high quality, but not lossless"), alpha lossless, speed 6; about
// a second at 1080p. The AV1 encoder's time grows faster than the picture: larger sheets take
// faster speeds (8, then 10, its fastest) and every core, so that the largest AVIF sheet the
// table admits (16 megapixels) takes some 7 seconds and 460 MB on two cores.
//
// libavif 0.11's allocator aborts when memory runs out: that one failure ends the process
// instead of coming back as a status.

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>

#include "platform/encoder_support.h"
#include "platform/encoders.h"
#include "platform/imaging_internal.h"
#include "platform/modules.h"

extern "C" {
#include <avif/avif.h>
}

namespace {

constexpr int kAvifMinQuantizer = 0;
constexpr int kAvifMaxQuantizer = 10;
// Speed 6 up to a little more than 1080p, 8 up to a little less than 4K, 10 above.
constexpr int kAvifSpeed = 6;
constexpr std::int64_t kAvifSpeedMaxPixels = 2'500'000;
constexpr int kAvifFasterSpeed = 8;
constexpr std::int64_t kAvifFasterSpeedMaxPixels = 8'000'000;
constexpr int kAvifFastestSpeed = 10;

int AvifSpeed(std::int64_t pixels) {
  if (pixels <= kAvifSpeedMaxPixels) return kAvifSpeed;
  if (pixels <= kAvifFasterSpeedMaxPixels) return kAvifFasterSpeed;
  return kAvifFastestSpeed;
}

struct AvifOwners {
  avifImage* image = nullptr;
  avifEncoder* encoder = nullptr;
  avifRWData data = AVIF_DATA_EMPTY;
  ~AvifOwners() {
    avifRWDataFree(&data);
    if (encoder != nullptr) avifEncoderDestroy(encoder);
    if (image != nullptr) avifImageDestroy(image);
  }
};

// libavif's result in words, with its diagnostic where it has one. The diagnostic quotes the
// AV1 encoder's own detail, which libaom often leaves null: libavif prints that as "(null)",
// which says nothing and is dropped.
std::string AvifCause(avifResult r, const char* diagnostic) {
  std::string cause = std::string("AVIF: ") + avifResultToString(r);
  std::string detail = diagnostic;
  // Each part that says nothing, from the end: "(null)", and the ": " before it.
  for (bool trimmed = true; trimmed;) {
    trimmed = false;
    for (const std::string_view empty : {"(null)", ":", " "}) {
      if (detail.ends_with(empty)) {
        detail.resize(detail.size() - empty.size());
        trimmed = true;
      }
    }
  }
  if (!detail.empty()) cause += ": " + detail;
  return cause;
}

GpStatus EncodeAvif(const ArgbPixels& image, const EncoderParameters* params, std::string* out,
                    std::string* why) {
  if (GpStatus s = NoParameters(params, why); s != Ok) return s;
  out->clear();
  AvifOwners avif;
  avif.image =
      avifImageCreate(static_cast<std::uint32_t>(image.width),
                      static_cast<std::uint32_t>(image.height), 8, AVIF_PIXEL_FORMAT_YUV444);
  if (avif.image == nullptr) {
    *why = "AVIF: out of memory";
    return OutOfMemory;
  }
  // The canvas holds sRGB.
  avif.image->colorPrimaries = AVIF_COLOR_PRIMARIES_BT709;
  avif.image->transferCharacteristics = AVIF_TRANSFER_CHARACTERISTICS_SRGB;
  avif.image->matrixCoefficients = AVIF_MATRIX_COEFFICIENTS_BT601;
  avif.image->yuvRange = AVIF_RANGE_FULL;
  avifRGBImage rgb;
  avifRGBImageSetDefaults(&rgb, avif.image);
  rgb.format = AVIF_RGB_FORMAT_BGRA;  // the pixel words' bytes in memory
  rgb.ignoreAlpha = image.HasAlpha() ? AVIF_FALSE : AVIF_TRUE;
  rgb.pixels = reinterpret_cast<std::uint8_t*>(const_cast<std::uint32_t*>(image.pixels));
  rgb.rowBytes = static_cast<std::uint32_t>(image.width) * 4;
  if (avifResult r = avifImageRGBToYUV(avif.image, &rgb); r != AVIF_RESULT_OK) {
    *why = AvifCause(r, "");
    return r == AVIF_RESULT_OUT_OF_MEMORY ? OutOfMemory : GenericError;
  }
  avif.encoder = avifEncoderCreate();
  if (avif.encoder == nullptr) {
    *why = "AVIF: out of memory";
    return OutOfMemory;
  }
  avif.encoder->codecChoice = AVIF_CODEC_CHOICE_AOM;
  avif.encoder->minQuantizer = kAvifMinQuantizer;
  avif.encoder->maxQuantizer = kAvifMaxQuantizer;
  avif.encoder->speed = AvifSpeed(std::int64_t{image.width} * image.height);
  avif.encoder->maxThreads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  if (avifResult r = avifEncoderWrite(avif.encoder, avif.image, &avif.data); r != AVIF_RESULT_OK) {
    *why = AvifCause(r, avif.encoder->diag.error);
    return r == AVIF_RESULT_OUT_OF_MEMORY ? OutOfMemory : GenericError;
  }
  return CopyEncoded(avif.data.data, avif.data.size, out, why);
}

}  // namespace

VGRID_MODULE_EXPORT GpStatus VgridEncode(const ArgbPixels& image, const EncoderParameters* params,
                                         std::string* out, std::string* why) {
  return EncodeAvif(image, params, out, why);
}
