// SPDX-License-Identifier: GPL-3.0-or-later
// The WebP encoder, with libwebp at its default settings (lossy, quality 75), except that a sheet
// of more than 8 megapixels is encoded at method 2 instead of 4: on grainy pictures method 4's
// search takes some 0.5 seconds a megapixel and keeps its tokens for the whole picture, method 2
// a quarter of that, for a file within 2 % of the size.

#include <cstdint>
#include <string>

#include "platform/encoder_support.h"
#include "platform/encoders.h"
#include "platform/imaging_internal.h"
#include "platform/modules.h"

extern "C" {
#include <webp/encode.h>
}

namespace {

std::string WebpErrorText(WebPEncodingError e) {
  switch (e) {
    case VP8_ENC_ERROR_OUT_OF_MEMORY:
    case VP8_ENC_ERROR_BITSTREAM_OUT_OF_MEMORY:
      return "out of memory";
    case VP8_ENC_ERROR_BAD_DIMENSION:
      return "image too large for WebP (" + std::to_string(WEBP_MAX_DIMENSION) + " pixels a side)";
    case VP8_ENC_ERROR_PARTITION0_OVERFLOW:
    case VP8_ENC_ERROR_PARTITION_OVERFLOW:
      return "partition overflow";
    case VP8_ENC_ERROR_FILE_TOO_BIG:
      return "file too big";
    default:
      return "encoding failed (" + std::to_string(static_cast<int>(e)) + ")";
  }
}

GpStatus EncodeWebp(const ArgbPixels& image, const EncoderParameters* params, std::string* out,
                    std::string* why) {
  if (GpStatus s = NoParameters(params, why); s != Ok) return s;
  out->clear();
  WebPConfig config;
  WebPPicture picture;
  if (!WebPConfigInit(&config) || !WebPPictureInit(&picture)) {
    *why = "WebP: library version mismatch";
    return GenericError;
  }
  if (image.width > WEBP_MAX_DIMENSION || image.height > WEBP_MAX_DIMENSION) {
    *why = "WebP: " + WebpErrorText(VP8_ENC_ERROR_BAD_DIMENSION);
    return ValueOverflow;
  }
  constexpr std::int64_t kFastMethodPixels = 8'000'000;
  if (std::int64_t{image.width} * image.height > kFastMethodPixels) config.method = 2;
  // Lossy WebP codes YUV: the import converts to it straight away (what the encoder would do
  // with an ARGB copy), so that no copy of the canvas's size is made.
  picture.use_argb = 0;
  picture.width = image.width;
  picture.height = image.height;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(image.pixels);
  const int stride = image.width * 4;
  const int imported = image.HasAlpha() ? WebPPictureImportBGRA(&picture, bytes, stride)
                                        : WebPPictureImportBGRX(&picture, bytes, stride);
  if (!imported) {
    WebPPictureFree(&picture);
    *why = "WebP: out of memory";
    return OutOfMemory;
  }
  WebPMemoryWriter writer;
  WebPMemoryWriterInit(&writer);
  picture.writer = WebPMemoryWrite;
  picture.custom_ptr = &writer;
  const bool ok = WebPEncode(&config, &picture) != 0;
  const WebPEncodingError error = picture.error_code;
  WebPPictureFree(&picture);
  GpStatus status = Ok;
  if (!ok) {
    *why = "WebP: " + WebpErrorText(error);
    status = GenericError;
  } else {
    status = CopyEncoded(writer.mem, writer.size, out, why);
  }
  WebPMemoryWriterClear(&writer);
  return status;
}

}  // namespace

VGRID_MODULE_EXPORT GpStatus VgridEncode(const ArgbPixels& image, const EncoderParameters* params,
                                         std::string* out, std::string* why) {
  return EncodeWebp(image, params, out, why);
}
