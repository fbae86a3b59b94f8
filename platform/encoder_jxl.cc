// SPDX-License-Identifier: GPL-3.0-or-later
// The JPEG XL encoder, with libjxl at its default settings (lossy, distance 1.0, effort 7),
// written as a bare codestream. Alpha is kept when some pixel is not opaque. Effort 7 takes
// some 4 seconds a megapixel: a sheet of more than 4 megapixels is encoded at effort 3 (DCT8
// blocks only), some 0.4 seconds a megapixel at the same distance. libjxl keeps some 40 bytes a
// pixel at any effort, some 60 on grainy pictures, which is what bounds the largest JPEG XL sheet
// (12 megapixels, 1 GB).

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/encoder_support.h"
#include "platform/encoders.h"
#include "platform/imaging_internal.h"
#include "platform/modules.h"

extern "C" {
#include <jxl/encode.h>
}

namespace {

constexpr std::int64_t kJxlFullEffortMaxPixels = 4'000'000;
constexpr int kJxlFastEffort = 3;

struct JxlEncoderCloser {
  void operator()(JxlEncoder* p) const { JxlEncoderDestroy(p); }
};
using JxlEncoderPtr = std::unique_ptr<JxlEncoder, JxlEncoderCloser>;

std::string JxlErrorText(JxlEncoder* encoder) {
  switch (JxlEncoderGetError(encoder)) {
    case JXL_ENC_ERR_OOM:
      return "out of memory";
    case JXL_ENC_ERR_BAD_INPUT:
      return "the image was refused";
    case JXL_ENC_ERR_NOT_SUPPORTED:
      return "not supported by this libjxl";
    case JXL_ENC_ERR_API_USAGE:
      return "libjxl refused a call";
    default:
      return "encoding failed";
  }
}

GpStatus EncodeJxl(const ArgbPixels& image, const EncoderParameters* params, std::string* out,
                   std::string* why) {
  if (GpStatus s = NoParameters(params, why); s != Ok) return s;
  out->clear();
  const bool alpha = image.HasAlpha();
  const ChannelBytes layout = alpha ? ChannelBytes::kRgba : ChannelBytes::kRgb;
  const std::size_t channels = BytesPerPixel(layout);
  const std::size_t pixel_count =
      static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height);
  std::vector<std::uint8_t> interleaved;
  try {
    interleaved.resize(pixel_count * channels);
  } catch (const std::bad_alloc&) {
    *why = "out of memory";
    return OutOfMemory;
  }
  UnpackArgb(image.pixels, pixel_count, layout, interleaved.data());

  JxlEncoderPtr encoder(JxlEncoderCreate(nullptr));
  if (!encoder) {
    *why = "JPEG XL: out of memory";
    return OutOfMemory;
  }
  auto fail = [&]() {
    *why = "JPEG XL: " + JxlErrorText(encoder.get());
    out->clear();
    return JxlEncoderGetError(encoder.get()) == JXL_ENC_ERR_OOM ? OutOfMemory : GenericError;
  };
  JxlBasicInfo info;
  JxlEncoderInitBasicInfo(&info);
  info.xsize = static_cast<std::uint32_t>(image.width);
  info.ysize = static_cast<std::uint32_t>(image.height);
  info.bits_per_sample = 8;
  info.num_color_channels = 3;
  info.uses_original_profile = JXL_FALSE;  // lossy: libjxl works in its own colour space
  if (alpha) {
    info.alpha_bits = 8;
    info.num_extra_channels = 1;
  }
  if (JxlEncoderSetBasicInfo(encoder.get(), &info) != JXL_ENC_SUCCESS) return fail();
  JxlColorEncoding colour;
  JxlColorEncodingSetToSRGB(&colour, JXL_FALSE);
  if (JxlEncoderSetColorEncoding(encoder.get(), &colour) != JXL_ENC_SUCCESS) return fail();
  JxlEncoderFrameSettings* settings = JxlEncoderFrameSettingsCreate(encoder.get(), nullptr);
  if (settings == nullptr) return fail();
  if (std::int64_t{image.width} * image.height > kJxlFullEffortMaxPixels &&
      JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_EFFORT, kJxlFastEffort) !=
          JXL_ENC_SUCCESS)
    return fail();
  const JxlPixelFormat format{static_cast<std::uint32_t>(channels), JXL_TYPE_UINT8,
                              JXL_NATIVE_ENDIAN, 0};
  if (JxlEncoderAddImageFrame(settings, &format, interleaved.data(), interleaved.size()) !=
      JXL_ENC_SUCCESS)
    return fail();
  JxlEncoderCloseInput(encoder.get());

  std::size_t used = 0;
  JxlEncoderStatus status = JXL_ENC_NEED_MORE_OUTPUT;
  try {
    while (status == JXL_ENC_NEED_MORE_OUTPUT) {
      out->resize(std::max<std::size_t>(out->size() * 2, 64 * 1024));
      auto* next = reinterpret_cast<std::uint8_t*>(out->data()) + used;
      std::size_t avail = out->size() - used;
      status = JxlEncoderProcessOutput(encoder.get(), &next, &avail);
      used = out->size() - avail;
    }
  } catch (const std::bad_alloc&) {
    *why = "out of memory";
    out->clear();
    return OutOfMemory;
  }
  if (status != JXL_ENC_SUCCESS) return fail();
  out->resize(used);
  return Ok;
}

}  // namespace

VGRID_MODULE_EXPORT GpStatus VgridEncode(const ArgbPixels& image, const EncoderParameters* params,
                                         std::string* out, std::string* why) {
  return EncodeJxl(image, params, out, why);
}
