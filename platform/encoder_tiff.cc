// SPDX-License-Identifier: GPL-3.0-or-later
// The TIFF encoder, with libtiff: RGB (RGBA with unassociated alpha when some pixel is not
// opaque), LZW with horizontal differencing, written through a memory stream. libtiff reports
// its errors through handlers of this file's own, never to the process-wide ones.

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/encoder_support.h"
#include "platform/encoders.h"
#include "platform/imaging_internal.h"
#include "platform/modules.h"

extern "C" {
#include <tiffio.h>
}

namespace {

struct TiffStream {
  std::string* data;
  std::uint64_t pos;
  std::string message;
};

tmsize_t TiffRead(thandle_t h, void* buf, tmsize_t size) {
  auto* s = static_cast<TiffStream*>(h);
  if (s->pos >= s->data->size()) return 0;
  const std::uint64_t n =
      std::min<std::uint64_t>(static_cast<std::uint64_t>(size), s->data->size() - s->pos);
  std::memcpy(buf, s->data->data() + s->pos, n);
  s->pos += n;
  return static_cast<tmsize_t>(n);
}

tmsize_t TiffWrite(thandle_t h, void* buf, tmsize_t size) {
  auto* s = static_cast<TiffStream*>(h);
  try {
    const std::uint64_t end = s->pos + static_cast<std::uint64_t>(size);
    if (end > s->data->size()) s->data->resize(end);
    std::memcpy(s->data->data() + s->pos, buf, static_cast<std::size_t>(size));
    s->pos = end;
  } catch (const std::bad_alloc&) {
    s->message = "out of memory";
    return -1;
  }
  return size;
}

toff_t TiffSeek(thandle_t h, toff_t offset, int whence) {
  auto* s = static_cast<TiffStream*>(h);
  std::int64_t base = 0;
  if (whence == SEEK_CUR) base = static_cast<std::int64_t>(s->pos);
  if (whence == SEEK_END) base = static_cast<std::int64_t>(s->data->size());
  const std::int64_t target = base + static_cast<std::int64_t>(offset);
  if (target < 0) return static_cast<toff_t>(-1);
  s->pos = static_cast<std::uint64_t>(target);
  return s->pos;
}

int TiffClose(thandle_t) { return 0; }
toff_t TiffSize(thandle_t h) { return static_cast<TiffStream*>(h)->data->size(); }
int TiffMap(thandle_t, void**, toff_t*) { return 0; }
void TiffUnmap(thandle_t, void*, toff_t) {}

int TiffErrorHandler(TIFF*, void* user_data, const char* module, const char* fmt, va_list ap) {
  auto* s = static_cast<TiffStream*>(user_data);
  char text[512];
  std::vsnprintf(text, sizeof text, fmt, ap);
  if (s->message.empty()) s->message = std::string(module != nullptr ? module : "") + ": " + text;
  return 1;  // handled: nothing reaches the process-wide handler
}

int TiffWarningHandler(TIFF*, void*, const char*, const char*, va_list) { return 1; }

GpStatus EncodeTiff(const ArgbPixels& image, const EncoderParameters* params, std::string* out,
                    std::string* why) {
  if (GpStatus s = NoParameters(params, why); s != Ok) return s;
  out->clear();
  TiffStream stream{out, 0, {}};
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  if (options == nullptr) {
    *why = "out of memory";
    return OutOfMemory;
  }
  TIFFOpenOptionsSetErrorHandlerExtR(options, TiffErrorHandler, &stream);
  TIFFOpenOptionsSetWarningHandlerExtR(options, TiffWarningHandler, &stream);
  TIFF* tif = TIFFClientOpenExt("sheet", "w", &stream, TiffRead, TiffWrite, TiffSeek, TiffClose,
                                TiffSize, TiffMap, TiffUnmap, options);
  TIFFOpenOptionsFree(options);
  auto fail = [&]() {
    *why = "TIFF: " + (stream.message.empty() ? std::string("write failed") : stream.message);
    out->clear();
    return GenericError;
  };
  if (tif == nullptr) return fail();
  const bool alpha = image.HasAlpha();
  const ChannelBytes layout = alpha ? ChannelBytes::kRgba : ChannelBytes::kRgb;
  const int channels = static_cast<int>(BytesPerPixel(layout));
  bool ok = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(image.width)) &&
            TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(image.height)) &&
            TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, channels) &&
            TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8) &&
            TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) &&
            TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
            TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB) &&
            TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW) &&
            TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL) &&
            TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
  if (ok && alpha) {
    const std::uint16_t extra = EXTRASAMPLE_UNASSALPHA;
    ok = TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
  }
  std::vector<std::uint8_t> row;
  try {
    row.resize(static_cast<std::size_t>(image.width) * channels);
  } catch (const std::bad_alloc&) {
    stream.message = "out of memory";
    ok = false;
  }
  for (int y = 0; ok && y < image.height; ++y) {
    UnpackArgb(&image.pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(image.width)],
               static_cast<std::size_t>(image.width), layout, row.data());
    ok = TIFFWriteScanline(tif, row.data(), static_cast<std::uint32_t>(y), 0) == 1;
  }
  if (ok) ok = TIFFWriteDirectory(tif) == 1;
  TIFFClose(tif);
  return ok ? Ok : fail();
}

}  // namespace

VGRID_MODULE_EXPORT GpStatus VgridEncode(const ArgbPixels& image, const EncoderParameters* params,
                                         std::string* out, std::string* why) {
  return EncodeTiff(image, params, out, why);
}
