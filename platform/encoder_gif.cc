// SPDX-License-Identifier: GPL-3.0-or-later
// The GIF encoder: quantization to at most 256 colours with dithering by libimagequant, then
// giflib. GIF keeps no partial alpha; the image is written opaque. A sheet of more than 16
// megapixels is quantized at the quantizer's fastest speed: on grainy pictures its palette search
// at the default speed takes half of a minute at 64 megapixels, the fastest a third less.

#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "platform/encoder_support.h"
#include "platform/encoders.h"
#include "platform/imaging_internal.h"
#include "platform/modules.h"

extern "C" {
#include <gif_lib.h>
#include <libimagequant.h>
}

namespace {

int GifWrite(GifFileType* gif, const GifByteType* data, int length) {
  auto* out = static_cast<std::string*>(gif->UserData);
  return AppendEncoded(data, static_cast<std::size_t>(length), out) ? length : 0;
}

std::string LiqErrorText(liq_error e) {
  switch (e) {
    case LIQ_QUALITY_TOO_LOW:
      return "quality too low";
    case LIQ_VALUE_OUT_OF_RANGE:
      return "value out of range";
    case LIQ_OUT_OF_MEMORY:
      return "out of memory";
    case LIQ_ABORTED:
      return "aborted";
    case LIQ_BITMAP_NOT_AVAILABLE:
      return "bitmap not available";
    case LIQ_BUFFER_TOO_SMALL:
      return "buffer too small";
    case LIQ_INVALID_POINTER:
      return "invalid pointer";
    case LIQ_UNSUPPORTED:
      return "unsupported";
    default:
      return "error " + std::to_string(static_cast<int>(e));
  }
}

// Hands the quantizer the rows it asks for, as RGBA bytes, rather than a copy of the whole
// image: a large sheet's copy would take as much memory as the canvas. The quantizer may ask
// for a row more than once, and from several threads.
void QuantizerRow(liq_color row_out[], int row, int width, void* user_info) {
  const auto* image = static_cast<const ArgbPixels*>(user_info);
  static_assert(sizeof(liq_color) == BytesPerPixel(ChannelBytes::kRgbOpaque));
  UnpackArgb(image->pixels + static_cast<std::size_t>(row) * image->width,
             static_cast<std::size_t>(width), ChannelBytes::kRgbOpaque,
             reinterpret_cast<std::uint8_t*>(row_out));
}

struct LiqOwners {
  liq_attr* attr = nullptr;
  liq_image* image = nullptr;
  liq_result* result = nullptr;
  ~LiqOwners() {
    if (result != nullptr) liq_result_destroy(result);
    if (image != nullptr) liq_image_destroy(image);
    if (attr != nullptr) liq_attr_destroy(attr);
  }
};

GpStatus EncodeGif(const ArgbPixels& image, const EncoderParameters* params, std::string* out,
                   std::string* why) {
  if (GpStatus s = NoParameters(params, why); s != Ok) return s;
  out->clear();
  const std::size_t pixel_count =
      static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height);
  std::vector<std::uint8_t> indices;
  try {
    indices.resize(pixel_count);
  } catch (const std::bad_alloc&) {
    *why = "out of memory";
    return OutOfMemory;
  }

  LiqOwners liq;
  liq.attr = liq_attr_create();
  if (liq.attr == nullptr) {
    *why = "GIF: out of memory";
    return OutOfMemory;
  }
  constexpr std::int64_t kFastQuantizerPixels = 16'000'000;
  if (std::int64_t{image.width} * image.height > kFastQuantizerPixels) liq_set_speed(liq.attr, 10);
  liq.image = liq_image_create_custom(liq.attr, QuantizerRow, const_cast<ArgbPixels*>(&image),
                                      image.width, image.height, 0);
  if (liq.image == nullptr) {
    *why = "GIF: the quantizer refused the image";
    return GenericError;
  }
  if (liq_error e = liq_image_quantize(liq.image, liq.attr, &liq.result); e != LIQ_OK) {
    *why = "GIF: quantization failed: " + LiqErrorText(e);
    return GenericError;
  }
  liq_set_dithering_level(liq.result, 1.0f);
  if (liq_error e = liq_write_remapped_image(liq.result, liq.image, indices.data(), pixel_count);
      e != LIQ_OK) {
    *why = "GIF: remapping failed: " + LiqErrorText(e);
    return GenericError;
  }
  const liq_palette* palette = liq_get_palette(liq.result);

  // A GIF colour table has a power-of-two size, 2 entries at least.
  int bits = 1;
  while ((1u << bits) < palette->count) ++bits;
  ColorMapObject* map = GifMakeMapObject(1 << bits, nullptr);
  if (map == nullptr) {
    *why = "GIF: out of memory";
    return OutOfMemory;
  }
  for (unsigned i = 0; i < palette->count; ++i) {
    map->Colors[i].Red = palette->entries[i].r;
    map->Colors[i].Green = palette->entries[i].g;
    map->Colors[i].Blue = palette->entries[i].b;
  }

  int error = 0;
  GifFileType* gif = EGifOpen(out, GifWrite, &error);
  if (gif == nullptr) {
    GifFreeMapObject(map);
    *why = std::string("GIF: ") + GifErrorString(error);
    return GenericError;
  }
  bool ok = EGifPutScreenDesc(gif, image.width, image.height, bits, 0, map) == GIF_OK &&
            EGifPutImageDesc(gif, 0, 0, image.width, image.height, false, nullptr) == GIF_OK;
  GifFreeMapObject(map);  // giflib keeps its own copy
  for (int y = 0; ok && y < image.height; ++y)
    ok = EGifPutLine(gif, indices.data() + static_cast<std::size_t>(y) * image.width,
                     image.width) == GIF_OK;
  if (!ok) error = gif->Error;
  if (EGifCloseFile(gif, ok ? &error : nullptr) != GIF_OK) ok = false;
  if (!ok) {
    *why = std::string("GIF: ") + (GifErrorString(error) ? GifErrorString(error) : "write failed");
    out->clear();
    return GenericError;
  }
  return Ok;
}

}  // namespace

VGRID_MODULE_EXPORT GpStatus VgridEncode(const ArgbPixels& image, const EncoderParameters* params,
                                         std::string* out, std::string* why) {
  return EncodeGif(image, params, out, why);
}
