// SPDX-License-Identifier: GPL-3.0-or-later
// The encoders behind the encoder table. Each one encodes the whole image into memory; the
// save writes the bytes out, so that every file-system failure is handled in one place.
//
// Each library's errors stay inside its encoder: libjpeg and libpng jump back out of their
// error handlers (setjmp/longjmp), libtiff reports through per-handle handlers, giflib,
// libimagequant, libwebp, libavif and libjxl return codes. No library prints or exits. The one
// exception is running out of memory inside libavif 0.11, whose allocator aborts.

#include "platform/encoders.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "platform/imaging_internal.h"

extern "C" {
#include <avif/avif.h>
#include <gif_lib.h>
#include <jpeglib.h>
#include <jxl/encode.h>
#include <libimagequant.h>
#include <png.h>
#include <tiffio.h>
#include <webp/encode.h>
}

namespace {

// Encoder parameters.

bool SameGuid(const GUID& a, const GUID& b) { return a == b; }

GpStatus NoParameters(const EncoderParameters* params, std::string* why) {
  if (params == nullptr || params->Count == 0) return Ok;
  *why = "this encoder takes no parameters";
  return InvalidParameter;
}

// The quality is read as the program's signed 32-bit value; libjpeg's range 1..100 is imposed
// here, so any value reaches the encoder and comes out clamped.
GpStatus JpegQuality(const EncoderParameters* params, int* quality, std::string* why) {
  *quality = kDefaultJpegQuality;
  if (params == nullptr) return Ok;
  for (std::uint32_t i = 0; i < params->Count; ++i) {
    const EncoderParameter& p = params->Parameter[i];
    if (!SameGuid(p.Guid, EncoderQuality)) {
      *why = "encoder parameter not supported by the JPEG encoder";
      return InvalidParameter;
    }
    if (p.NumberOfValues != 1 || p.Type != EncoderParameterValueTypeLong || p.Value == nullptr) {
      *why = "the JPEG quality must be one 32-bit value";
      return InvalidParameter;
    }
    std::int32_t value;
    std::memcpy(&value, p.Value, sizeof value);
    *quality = value < 1 ? 1 : (value > 100 ? 100 : value);
  }
  return Ok;
}

// BMP: 24-bit BI_RGB, rows bottom-up and padded to 4 bytes. Alpha is dropped.

void PutLe16(std::string* out, std::uint16_t v) {
  out->push_back(static_cast<char>(v & 0xFF));
  out->push_back(static_cast<char>(v >> 8));
}
void PutLe32(std::string* out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

GpStatus EncodeBmp(const ArgbPixels& image, const EncoderParameters* params, std::string* out,
                   std::string* why) {
  if (GpStatus s = NoParameters(params, why); s != Ok) return s;
  const std::uint64_t row_bytes = static_cast<std::uint64_t>(DibRowBytes(image.width, 24));
  const std::uint64_t pixel_bytes = row_bytes * static_cast<std::uint64_t>(image.height);
  constexpr std::uint32_t kHeaderBytes = 14 + 40;
  if (pixel_bytes + kHeaderBytes > 0xFFFFFFFFull) {
    *why = "image too large for a BMP file";
    return ValueOverflow;
  }
  try {
    out->clear();
    out->reserve(kHeaderBytes + pixel_bytes);
    out->append("BM");
    PutLe32(out, static_cast<std::uint32_t>(kHeaderBytes + pixel_bytes));
    PutLe32(out, 0);
    PutLe32(out, kHeaderBytes);
    PutLe32(out, 40);
    PutLe32(out, static_cast<std::uint32_t>(image.width));
    PutLe32(out, static_cast<std::uint32_t>(image.height));  // positive: bottom-up
    PutLe16(out, 1);
    PutLe16(out, 24);
    PutLe32(out, 0);  // BI_RGB
    PutLe32(out, static_cast<std::uint32_t>(pixel_bytes));
    PutLe32(out, 2835);  // 72 dots per inch
    PutLe32(out, 2835);
    PutLe32(out, 0);
    PutLe32(out, 0);
    std::string row(row_bytes, '\0');
    for (int y = image.height - 1; y >= 0; --y) {
      for (int x = 0; x < image.width; ++x) {
        const std::uint32_t p = image.at(x, y);
        row[3 * x] = static_cast<char>(p & 0xFF);
        row[3 * x + 1] = static_cast<char>((p >> 8) & 0xFF);
        row[3 * x + 2] = static_cast<char>((p >> 16) & 0xFF);
      }
      out->append(row);
    }
  } catch (const std::bad_alloc&) {
    *why = "out of memory";
    return OutOfMemory;
  }
  return Ok;
}

// JPEG with libjpeg-turbo. It reads the pixel words directly as BGRA bytes and drops alpha.

struct JpegJob {
  const ArgbPixels* image;
  int quality;
  unsigned char* buffer;  // malloc'd by libjpeg's memory destination; freed by the caller
  unsigned long size;
  char message[JMSG_LENGTH_MAX];
};

struct JpegErrorManager {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  JpegJob* job;
};

void JpegErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->job->message);
  std::longjmp(err->jump, 1);
}

void JpegSilence(j_common_ptr) {}

// Only trivially destructible locals here: the error path leaves through longjmp.
bool RunJpeg(JpegJob* job) {
  jpeg_compress_struct cinfo;
  JpegErrorManager err;
  err.job = job;
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = JpegErrorExit;
  err.pub.output_message = JpegSilence;
  if (setjmp(err.jump)) {
    jpeg_destroy_compress(&cinfo);
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, &job->buffer, &job->size);
  cinfo.image_width = static_cast<JDIMENSION>(job->image->width);
  cinfo.image_height = static_cast<JDIMENSION>(job->image->height);
  cinfo.input_components = 4;
  cinfo.in_color_space = JCS_EXT_BGRA;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, job->quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = reinterpret_cast<JSAMPROW>(const_cast<std::uint32_t*>(
        job->image->pixels + static_cast<std::size_t>(cinfo.next_scanline) *
                                 static_cast<std::size_t>(job->image->width)));
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

GpStatus EncodeJpeg(const ArgbPixels& image, const EncoderParameters* params, std::string* out,
                    std::string* why) {
  JpegJob job{&image, kDefaultJpegQuality, nullptr, 0, {}};
  if (GpStatus s = JpegQuality(params, &job.quality, why); s != Ok) return s;
  const bool ok = RunJpeg(&job);
  GpStatus status = Ok;
  if (!ok) {
    *why = std::string("JPEG: ") + job.message;
    status = GenericError;
  } else {
    try {
      out->assign(reinterpret_cast<const char*>(job.buffer), job.size);
    } catch (const std::bad_alloc&) {
      *why = "out of memory";
      status = OutOfMemory;
    }
  }
  std::free(job.buffer);
  return status;
}

// PNG with libpng: 8-bit RGB, or RGBA when some pixel is not opaque. libpng reads the pixel
// words as BGRA bytes itself (png_set_bgr, and png_set_filler to drop the alpha byte).

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
  bool ok = true;
  try {
    job->out->append(reinterpret_cast<const char*>(data), length);
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  if (!ok) png_error(png, "out of memory");
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

// TIFF with libtiff: RGB (RGBA with unassociated alpha when some pixel is not opaque), LZW
// with horizontal differencing, written through a memory stream.

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
  const int channels = alpha ? 4 : 3;
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
    for (int x = 0; x < image.width; ++x) {
      const std::uint32_t p = image.at(x, y);
      std::uint8_t* q = row.data() + static_cast<std::size_t>(x) * channels;
      q[0] = static_cast<std::uint8_t>(p >> 16);
      q[1] = static_cast<std::uint8_t>(p >> 8);
      q[2] = static_cast<std::uint8_t>(p);
      if (alpha) q[3] = static_cast<std::uint8_t>(p >> 24);
    }
    ok = TIFFWriteScanline(tif, row.data(), static_cast<std::uint32_t>(y), 0) == 1;
  }
  if (ok) ok = TIFFWriteDirectory(tif) == 1;
  TIFFClose(tif);
  return ok ? Ok : fail();
}

// GIF with giflib, after quantization to at most 256 colours with dithering by libimagequant.
// GIF keeps no partial alpha; the image is written opaque.

int GifWrite(GifFileType* gif, const GifByteType* data, int length) {
  auto* out = static_cast<std::string*>(gif->UserData);
  try {
    out->append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(length));
  } catch (const std::bad_alloc&) {
    return 0;
  }
  return length;
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
  std::vector<std::uint8_t> rgba;
  std::vector<std::uint8_t> indices;
  try {
    rgba.resize(pixel_count * 4);
    indices.resize(pixel_count);
  } catch (const std::bad_alloc&) {
    *why = "out of memory";
    return OutOfMemory;
  }
  for (std::size_t i = 0; i < pixel_count; ++i) {
    const std::uint32_t p = image.pixels[i];
    rgba[4 * i] = static_cast<std::uint8_t>(p >> 16);
    rgba[4 * i + 1] = static_cast<std::uint8_t>(p >> 8);
    rgba[4 * i + 2] = static_cast<std::uint8_t>(p);
    rgba[4 * i + 3] = 255;
  }

  LiqOwners liq;
  liq.attr = liq_attr_create();
  if (liq.attr == nullptr) {
    *why = "GIF: out of memory";
    return OutOfMemory;
  }
  liq.image = liq_image_create_rgba(liq.attr, rgba.data(), image.width, image.height, 0);
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

// WebP with libwebp at its default settings (lossy, quality 75).

std::string WebpErrorText(WebPEncodingError e) {
  switch (e) {
    case VP8_ENC_ERROR_OUT_OF_MEMORY:
    case VP8_ENC_ERROR_BITSTREAM_OUT_OF_MEMORY:
      return "out of memory";
    case VP8_ENC_ERROR_BAD_DIMENSION:
      return "image too large for WebP (16383 pixels a side)";
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
  picture.use_argb = 1;
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
    try {
      out->assign(reinterpret_cast<const char*>(writer.mem), writer.size);
    } catch (const std::bad_alloc&) {
      *why = "out of memory";
      status = OutOfMemory;
    }
  }
  WebPMemoryWriterClear(&writer);
  return status;
}

// AVIF with libavif and libaom's AV1 encoder. libavif's own defaults are a lossless quantizer
// and the AV1 encoder's slowest speed: about a minute and a megabyte for a 1080p picture. The
// encoder runs as libavif's command-line encoder does by default instead: 4:4:4, quantizer 0
// to 10 ("high quality, but not lossless"), alpha lossless, speed 6; about a second at 1080p.

constexpr int kAvifMinQuantizer = 0;
constexpr int kAvifMaxQuantizer = 10;
constexpr int kAvifSpeed = 6;

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
    *why = std::string("AVIF: ") + avifResultToString(r);
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
  avif.encoder->speed = kAvifSpeed;
  if (avifResult r = avifEncoderWrite(avif.encoder, avif.image, &avif.data); r != AVIF_RESULT_OK) {
    *why = std::string("AVIF: ") + avifResultToString(r);
    if (avif.encoder->diag.error[0] != '\0') *why += std::string(": ") + avif.encoder->diag.error;
    return r == AVIF_RESULT_OUT_OF_MEMORY ? OutOfMemory : GenericError;
  }
  try {
    out->assign(reinterpret_cast<const char*>(avif.data.data), avif.data.size);
  } catch (const std::bad_alloc&) {
    *why = "out of memory";
    return OutOfMemory;
  }
  return Ok;
}

// JPEG XL with libjxl at its default settings (lossy, distance 1.0, effort 7), written as a bare
// codestream. Alpha is kept when some pixel is not opaque.

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
  const std::size_t channels = alpha ? 4 : 3;
  const std::size_t pixel_count =
      static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.height);
  std::vector<std::uint8_t> interleaved;
  try {
    interleaved.resize(pixel_count * channels);
  } catch (const std::bad_alloc&) {
    *why = "out of memory";
    return OutOfMemory;
  }
  for (std::size_t i = 0; i < pixel_count; ++i) {
    const std::uint32_t p = image.pixels[i];
    std::uint8_t* q = interleaved.data() + i * channels;
    q[0] = static_cast<std::uint8_t>(p >> 16);
    q[1] = static_cast<std::uint8_t>(p >> 8);
    q[2] = static_cast<std::uint8_t>(p);
    if (alpha) q[3] = static_cast<std::uint8_t>(p >> 24);
  }

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

// The table. Class identifiers and format identifiers are this program's own, fixed for good.

constexpr std::uint8_t kBmpSig[] = {'B', 'M'};
constexpr std::uint8_t kBmpMask[] = {0xFF, 0xFF};
constexpr std::uint8_t kJpegSig[] = {0xFF, 0xD8};
constexpr std::uint8_t kJpegMask[] = {0xFF, 0xFF};
constexpr std::uint8_t kGifSig[] = {'G', 'I', 'F', '8', '9', 'a', 'G', 'I', 'F', '8', '7', 'a'};
constexpr std::uint8_t kGifMask[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                     0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr std::uint8_t kTiffSig[] = {'I', 'I', 0x2A, 0x00, 'M', 'M', 0x00, 0x2A};
constexpr std::uint8_t kTiffMask[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr std::uint8_t kPngSig[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::uint8_t kPngMask[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr std::uint8_t kWebpSig[] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'E', 'B', 'P'};
constexpr std::uint8_t kWebpMask[] = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
// An ISO base media file whose first box is 'ftyp' with the major brand 'avif'.
constexpr std::uint8_t kAvifSig[] = {0, 0, 0, 0, 'f', 't', 'y', 'p', 'a', 'v', 'i', 'f'};
constexpr std::uint8_t kAvifMask[] = {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
// A bare JPEG XL codestream, or the JPEG XL container.
constexpr std::uint8_t kJxlSig[] = {0xFF, 0x0A, 0,   0,   0,    0,    0,    0,
                                    0,    0,    0,   0,   0,    0,    0,    0x0C,
                                    'J',  'X',  'L', ' ', 0x0D, 0x0A, 0x87, 0x0A};
constexpr std::uint8_t kJxlMask[] = {0xFF, 0xFF, 0,    0,    0,    0,    0,    0,
                                     0,    0,    0,    0,    0xFF, 0xFF, 0xFF, 0xFF,
                                     0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

const EncoderEntry kEncoders[] = {
    {{0x33001811, 0xAB23, 0x4EDB, {0xB3, 0xDC, 0xAA, 0x6E, 0xF7, 0x31, 0x05, 0x1B}},
     {0xF92388BC, 0xC510, 0x4CB0, {0xA3, 0xF3, 0xA0, 0x0D, 0xFA, 0xB6, 0x56, 0xBF}},
     u"BMP encoder",
     u"BMP",
     u"*.BMP;*.DIB",
     u"image/bmp",
     kBmpSig,
     kBmpMask,
     1,
     EncodeBmp,
     0},
    {{0x52BF1E51, 0x6DCD, 0x43CD, {0xB0, 0x6B, 0x6B, 0x72, 0xB0, 0x63, 0x12, 0x4B}},
     {0x9C8829F5, 0xB281, 0x4FE8, {0xA8, 0x4A, 0xFD, 0x25, 0x9F, 0x04, 0x57, 0x4C}},
     u"JPEG encoder (libjpeg-turbo)",
     u"JPEG",
     u"*.JPG;*.JPEG;*.JPE;*.JFIF",
     u"image/jpeg",
     kJpegSig,
     kJpegMask,
     1,
     EncodeJpeg,
     JPEG_MAX_DIMENSION},
    {{0x42AA70A3, 0xB9AA, 0x4A4A, {0x89, 0x40, 0x3C, 0x6C, 0xB4, 0x7F, 0xDE, 0x70}},
     {0xF840CE87, 0xFC9F, 0x426B, {0x96, 0x40, 0x5F, 0x25, 0xA7, 0x2A, 0x1B, 0x33}},
     u"GIF encoder (giflib, libimagequant)",
     u"GIF",
     u"*.GIF",
     u"image/gif",
     kGifSig,
     kGifMask,
     2,
     EncodeGif,
     0},
    {{0x99A63B81, 0x74E9, 0x4E79, {0x8B, 0x0E, 0x78, 0x9D, 0xB9, 0xA9, 0xB0, 0x3C}},
     {0xB7036C07, 0x7B2B, 0x4D6C, {0x8E, 0x2C, 0xC7, 0x83, 0xEC, 0x75, 0xC1, 0x50}},
     u"TIFF encoder (libtiff)",
     u"TIFF",
     u"*.TIF;*.TIFF",
     u"image/tiff",
     kTiffSig,
     kTiffMask,
     2,
     EncodeTiff,
     0},
    {{0xA6EC12D2, 0x1A7B, 0x4D49, {0x9A, 0x2B, 0xEE, 0x13, 0xD9, 0x9C, 0x2D, 0xF6}},
     {0x2F5B29A4, 0x4234, 0x4657, {0x95, 0x9F, 0xC6, 0x3D, 0xCF, 0x45, 0xC1, 0x23}},
     u"PNG encoder (libpng)",
     u"PNG",
     u"*.PNG",
     u"image/png",
     kPngSig,
     kPngMask,
     1,
     EncodePng,
     0},
    {{0xEC378C5B, 0xAE1F, 0x47C3, {0x97, 0xAF, 0xC7, 0xC7, 0xE7, 0x57, 0x7A, 0x7D}},
     {0xAB691342, 0x051B, 0x452E, {0xB3, 0x73, 0x67, 0xF9, 0x80, 0xB1, 0x6F, 0x71}},
     u"WebP encoder (libwebp)",
     u"WebP",
     u"*.WEBP",
     u"image/webp",
     kWebpSig,
     kWebpMask,
     1,
     EncodeWebp,
     WEBP_MAX_DIMENSION},
    {{0xC1C77135, 0xF307, 0x466A, {0x85, 0x54, 0x5C, 0x7C, 0xDB, 0xAF, 0x4A, 0xC4}},
     {0xE7537D70, 0xE029, 0x4F02, {0x81, 0x40, 0x01, 0x64, 0xD3, 0x75, 0x40, 0x6C}},
     u"AVIF encoder (libavif, libaom)",
     u"AVIF",
     u"*.AVIF",
     u"image/avif",
     kAvifSig,
     kAvifMask,
     1,
     EncodeAvif,
     0},
    {{0x226C1B87, 0x01B9, 0x492F, {0x9D, 0x4B, 0xFB, 0xF9, 0xAE, 0xBE, 0xA6, 0xC4}},
     {0xB5BFDE5E, 0xC931, 0x46AD, {0xB4, 0x4A, 0x12, 0xE3, 0x77, 0xC5, 0x1D, 0xA0}},
     u"JPEG XL encoder (libjxl)",
     u"JPEG XL",
     u"*.JXL",
     u"image/jxl",
     kJxlSig,
     kJxlMask,
     2,
     EncodeJxl,
     0},
};

std::size_t Units(const char16_t* s) {
  std::size_t n = 0;
  while (s[n] != 0) ++n;
  return n + 1;  // with the terminator
}

// The table is handed out as the platform does: one block holding the records, then every
// string and signature they point to.
std::size_t TableBytes() {
  std::size_t bytes = sizeof(ImageCodecInfo) * std::size(kEncoders);
  for (const EncoderEntry& e : kEncoders) {
    bytes += sizeof(char16_t) * (Units(e.codec_name) + Units(u"") + Units(e.format_description) +
                                 Units(e.filename_extension) + Units(e.mime_type));
    bytes += e.sig_pattern.size() + e.sig_mask.size();
  }
  return bytes;
}

}  // namespace

std::span<const EncoderEntry> EncoderTable() { return kEncoders; }

const EncoderEntry* FindEncoder(const GUID& clsid) {
  for (const EncoderEntry& e : kEncoders)
    if (e.clsid == clsid) return &e;
  return nullptr;
}

GpStatus GdipGetImageEncodersSize(std::uint32_t* count, std::uint32_t* size) {
  if (count == nullptr || size == nullptr) return InvalidParameter;
  *count = static_cast<std::uint32_t>(std::size(kEncoders));
  *size = static_cast<std::uint32_t>(TableBytes());
  return Ok;
}

GpStatus GdipGetImageEncoders(std::uint32_t count, std::uint32_t size, ImageCodecInfo* encoders) {
  if (encoders == nullptr || count != std::size(kEncoders) || size < TableBytes())
    return InvalidParameter;
  auto* strings = reinterpret_cast<char16_t*>(encoders + count);
  auto put_string = [&strings](const char16_t* s) {
    const std::size_t n = Units(s);
    std::memcpy(strings, s, n * sizeof(char16_t));
    const char16_t* placed = strings;
    strings += n;
    return placed;
  };
  for (std::uint32_t i = 0; i < count; ++i) {
    const EncoderEntry& e = kEncoders[i];
    ImageCodecInfo& info = encoders[i];
    info.Clsid = e.clsid;
    info.FormatID = e.format_id;
    info.CodecName = put_string(e.codec_name);
    info.DllName = put_string(u"");
    info.FormatDescription = put_string(e.format_description);
    info.FilenameExtension = put_string(e.filename_extension);
    info.MimeType = put_string(e.mime_type);
    info.Flags = 0x10005;  // encoder, supports bitmaps, built in
    info.Version = 1;
    info.SigCount = e.sig_count;
    info.SigSize = static_cast<std::uint32_t>(e.sig_pattern.size() / e.sig_count);
  }
  auto* bytes = reinterpret_cast<std::uint8_t*>(strings);
  for (std::uint32_t i = 0; i < count; ++i) {
    const EncoderEntry& e = kEncoders[i];
    std::memcpy(bytes, e.sig_pattern.data(), e.sig_pattern.size());
    encoders[i].SigPattern = bytes;
    bytes += e.sig_pattern.size();
    std::memcpy(bytes, e.sig_mask.data(), e.sig_mask.size());
    encoders[i].SigMask = bytes;
    bytes += e.sig_mask.size();
  }
  return Ok;
}
