// SPDX-License-Identifier: GPL-3.0-or-later
#include "testutil/image_read.h"

#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

extern "C" {
#include <avif/avif.h>
#include <gif_lib.h>
#include <jpeglib.h>
#include <jxl/decode.h>
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <png.h>
#include <tiffio.h>
#include <webp/decode.h>
}

namespace {

bool StartsWith(const std::string& bytes, const char* magic, std::size_t n, std::size_t at = 0) {
  return bytes.size() >= at + n && std::memcmp(bytes.data() + at, magic, n) == 0;
}

DecodedImage Failure(const std::string& format, const std::string& why) {
  DecodedImage img;
  img.format = format;
  img.error = why.empty() ? "cannot decode" : why;
  return img;
}

void Size(DecodedImage* img, int w, int h) {
  img->width = w;
  img->height = h;
  img->rgba.assign(static_cast<std::size_t>(w) * h * 4, 0);
}

// JPEG.
struct JpegErr {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};
void JpegExit(j_common_ptr c) {
  auto* e = reinterpret_cast<JpegErr*>(c->err);
  (*c->err->format_message)(c, e->message);
  std::longjmp(e->jump, 1);
}
void JpegQuiet(j_common_ptr) {}

bool DecodeJpegInto(const std::string& bytes, bool read_pixels, DecodedImage* img, char* message) {
  jpeg_decompress_struct cinfo;
  JpegErr err;
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = JpegExit;
  err.pub.output_message = JpegQuiet;
  if (setjmp(err.jump)) {
    std::snprintf(message, JMSG_LENGTH_MAX, "%s", err.message);
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_EXT_RGBA;
  jpeg_start_decompress(&cinfo);
  img->width = static_cast<int>(cinfo.output_width);
  img->height = static_cast<int>(cinfo.output_height);
  std::uint8_t* base = img->rgba.data();  // sized by the caller before the second pass
  if (!read_pixels) {
    jpeg_abort_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
  }
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = base + static_cast<std::size_t>(cinfo.output_scanline) * img->width * 4;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

DecodedImage DecodeJpeg(const std::string& bytes) {
  DecodedImage img;
  char message[JMSG_LENGTH_MAX] = {};
  // First pass reads the size, second the pixels: no C++ allocation between setjmp/longjmp.
  if (!DecodeJpegInto(bytes, false, &img, message)) return Failure("jpeg", message);
  Size(&img, img.width, img.height);
  if (!DecodeJpegInto(bytes, true, &img, message)) return Failure("jpeg", message);
  img.format = "jpeg";
  return img;
}

// PNG through libpng's simplified API.
DecodedImage DecodePng(const std::string& bytes) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size()))
    return Failure("png", image.message);
  image.format = PNG_FORMAT_RGBA;
  DecodedImage img;
  Size(&img, static_cast<int>(image.width), static_cast<int>(image.height));
  if (!png_image_finish_read(&image, nullptr, img.rgba.data(), 0, nullptr)) {
    png_image_free(&image);
    return Failure("png", image.message);
  }
  img.format = "png";
  return img;
}

// GIF: the first image, through its colour table and transparency.
struct GifSource {
  const std::string* bytes;
  std::size_t pos;
};
int GifRead(GifFileType* gif, GifByteType* buf, int n) {
  auto* s = static_cast<GifSource*>(gif->UserData);
  const std::size_t take =
      std::min<std::size_t>(static_cast<std::size_t>(n), s->bytes->size() - s->pos);
  std::memcpy(buf, s->bytes->data() + s->pos, take);
  s->pos += take;
  return static_cast<int>(take);
}

DecodedImage DecodeGif(const std::string& bytes) {
  GifSource source{&bytes, 0};
  int error = 0;
  GifFileType* gif = DGifOpen(&source, GifRead, &error);
  if (gif == nullptr) return Failure("gif", GifErrorString(error));
  std::unique_ptr<GifFileType, void (*)(GifFileType*)> owner(
      gif, [](GifFileType* g) { DGifCloseFile(g, nullptr); });
  if (DGifSlurp(gif) != GIF_OK || gif->ImageCount < 1)
    return Failure("gif", GifErrorString(gif->Error));
  const SavedImage& first = gif->SavedImages[0];
  const ColorMapObject* map = first.ImageDesc.ColorMap ? first.ImageDesc.ColorMap : gif->SColorMap;
  if (map == nullptr) return Failure("gif", "no colour table");
  GraphicsControlBlock gcb{};
  gcb.TransparentColor = NO_TRANSPARENT_COLOR;
  DGifSavedExtensionToGCB(gif, 0, &gcb);
  DecodedImage img;
  Size(&img, gif->SWidth, gif->SHeight);
  const GifImageDesc& d = first.ImageDesc;
  for (int y = 0; y < d.Height; ++y) {
    for (int x = 0; x < d.Width; ++x) {
      const int index = first.RasterBits[static_cast<std::size_t>(y) * d.Width + x];
      const int cx = d.Left + x;
      const int cy = d.Top + y;
      if (cx >= img.width || cy >= img.height || index >= map->ColorCount) continue;
      std::uint8_t* p = img.rgba.data() + (static_cast<std::size_t>(cy) * img.width + cx) * 4;
      p[0] = map->Colors[index].Red;
      p[1] = map->Colors[index].Green;
      p[2] = map->Colors[index].Blue;
      p[3] = index == gcb.TransparentColor ? 0 : 255;
    }
  }
  img.format = "gif";
  return img;
}

// TIFF from memory through libtiff's RGBA reader.
struct TiffSource {
  const std::string* bytes;
  std::uint64_t pos;
  std::string message;
};
tmsize_t TiffRead(thandle_t h, void* buf, tmsize_t n) {
  auto* s = static_cast<TiffSource*>(h);
  if (s->pos >= s->bytes->size()) return 0;
  const std::uint64_t take =
      std::min<std::uint64_t>(static_cast<std::uint64_t>(n), s->bytes->size() - s->pos);
  std::memcpy(buf, s->bytes->data() + s->pos, take);
  s->pos += take;
  return static_cast<tmsize_t>(take);
}
tmsize_t TiffNoWrite(thandle_t, void*, tmsize_t) { return -1; }
toff_t TiffSeek(thandle_t h, toff_t off, int whence) {
  auto* s = static_cast<TiffSource*>(h);
  std::int64_t base = whence == SEEK_CUR   ? static_cast<std::int64_t>(s->pos)
                      : whence == SEEK_END ? static_cast<std::int64_t>(s->bytes->size())
                                           : 0;
  s->pos = static_cast<std::uint64_t>(base + static_cast<std::int64_t>(off));
  return s->pos;
}
int TiffClose(thandle_t) { return 0; }
toff_t TiffSize(thandle_t h) { return static_cast<TiffSource*>(h)->bytes->size(); }
int TiffMap(thandle_t, void**, toff_t*) { return 0; }
void TiffUnmap(thandle_t, void*, toff_t) {}
int TiffError(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
  char text[512];
  std::vsnprintf(text, sizeof text, fmt, ap);
  auto* s = static_cast<TiffSource*>(user);
  if (s->message.empty()) s->message = std::string(module ? module : "") + ": " + text;
  return 1;
}
int TiffWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

DecodedImage DecodeTiff(const std::string& bytes) {
  TiffSource source{&bytes, 0, {}};
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  TIFFOpenOptionsSetErrorHandlerExtR(options, TiffError, &source);
  TIFFOpenOptionsSetWarningHandlerExtR(options, TiffWarning, &source);
  TIFF* tif = TIFFClientOpenExt("image", "r", &source, TiffRead, TiffNoWrite, TiffSeek, TiffClose,
                                TiffSize, TiffMap, TiffUnmap, options);
  TIFFOpenOptionsFree(options);
  if (tif == nullptr) return Failure("tiff", source.message);
  std::uint32_t w = 0, h = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
  std::uint16_t bits = 0, samples = 0, planar = 0, photometric = 0;
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
  if (bits == 8 && (samples == 3 || samples == 4) && planar == PLANARCONFIG_CONTIG &&
      photometric == PHOTOMETRIC_RGB) {
    // Plain 8-bit RGB(A) is read row by row: libtiff's RGBA reader would premultiply alpha.
    DecodedImage img;
    Size(&img, static_cast<int>(w), static_cast<int>(h));
    std::vector<std::uint8_t> row(static_cast<std::size_t>(TIFFScanlineSize(tif)));
    for (std::uint32_t y = 0; y < h; ++y) {
      if (TIFFReadScanline(tif, row.data(), y, 0) != 1) {
        TIFFClose(tif);
        return Failure("tiff", source.message);
      }
      for (std::uint32_t x = 0; x < w; ++x) {
        std::uint8_t* p = img.rgba.data() + (static_cast<std::size_t>(y) * w + x) * 4;
        std::memcpy(p, row.data() + static_cast<std::size_t>(x) * samples, 3);
        p[3] = samples == 4 ? row[static_cast<std::size_t>(x) * 4 + 3] : 255;
      }
    }
    TIFFClose(tif);
    img.format = "tiff";
    return img;
  }
  std::vector<std::uint32_t> raster(static_cast<std::size_t>(w) * h);
  const bool ok = TIFFReadRGBAImageOriented(tif, w, h, raster.data(), ORIENTATION_TOPLEFT, 0) == 1;
  TIFFClose(tif);
  if (!ok) return Failure("tiff", source.message);
  DecodedImage img;
  Size(&img, static_cast<int>(w), static_cast<int>(h));
  for (std::size_t i = 0; i < raster.size(); ++i) {
    img.rgba[4 * i] = static_cast<std::uint8_t>(TIFFGetR(raster[i]));
    img.rgba[4 * i + 1] = static_cast<std::uint8_t>(TIFFGetG(raster[i]));
    img.rgba[4 * i + 2] = static_cast<std::uint8_t>(TIFFGetB(raster[i]));
    img.rgba[4 * i + 3] = static_cast<std::uint8_t>(TIFFGetA(raster[i]));
  }
  img.format = "tiff";
  return img;
}

DecodedImage DecodeWebp(const std::string& bytes) {
  int w = 0, h = 0;
  std::uint8_t* pixels =
      WebPDecodeRGBA(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), &w, &h);
  if (pixels == nullptr) return Failure("webp", "libwebp cannot decode it");
  DecodedImage img;
  img.width = w;
  img.height = h;
  img.rgba.assign(pixels, pixels + static_cast<std::size_t>(w) * h * 4);
  WebPFree(pixels);
  img.format = "webp";
  return img;
}

// AVIF through libavif's decoder (dav1d or libaom for the AV1 picture).
DecodedImage DecodeAvif(const std::string& bytes) {
  std::unique_ptr<avifDecoder, void (*)(avifDecoder*)> decoder(avifDecoderCreate(),
                                                               avifDecoderDestroy);
  std::unique_ptr<avifImage, void (*)(avifImage*)> image(avifImageCreateEmpty(), avifImageDestroy);
  if (!decoder || !image) return Failure("avif", "cannot set up the decoder");
  if (avifResult r =
          avifDecoderReadMemory(decoder.get(), image.get(),
                                reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
      r != AVIF_RESULT_OK)
    return Failure("avif", std::string("libavif: ") + avifResultToString(r));
  DecodedImage img;
  Size(&img, static_cast<int>(image->width), static_cast<int>(image->height));
  avifRGBImage rgb;
  avifRGBImageSetDefaults(&rgb, image.get());
  rgb.format = AVIF_RGB_FORMAT_RGBA;
  rgb.depth = 8;
  rgb.pixels = img.rgba.data();
  rgb.rowBytes = image->width * 4;
  if (avifResult r = avifImageYUVToRGB(image.get(), &rgb); r != AVIF_RESULT_OK)
    return Failure("avif", std::string("libavif: ") + avifResultToString(r));
  img.has_alpha = image->alphaPlane != nullptr;
  img.format = "avif";
  return img;
}

// JPEG XL through libjxl's decoder.
DecodedImage DecodeJxl(const std::string& bytes) {
  std::unique_ptr<JxlDecoder, void (*)(JxlDecoder*)> decoder(JxlDecoderCreate(nullptr),
                                                             JxlDecoderDestroy);
  if (!decoder ||
      JxlDecoderSubscribeEvents(decoder.get(), JXL_DEC_BASIC_INFO | JXL_DEC_FULL_IMAGE) !=
          JXL_DEC_SUCCESS ||
      JxlDecoderSetInput(decoder.get(), reinterpret_cast<const std::uint8_t*>(bytes.data()),
                         bytes.size()) != JXL_DEC_SUCCESS)
    return Failure("jxl", "cannot set up the decoder");
  JxlDecoderCloseInput(decoder.get());
  const JxlPixelFormat format{4, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
  DecodedImage img;
  for (;;) {
    switch (JxlDecoderProcessInput(decoder.get())) {
      case JXL_DEC_BASIC_INFO: {
        JxlBasicInfo info;
        if (JxlDecoderGetBasicInfo(decoder.get(), &info) != JXL_DEC_SUCCESS)
          return Failure("jxl", "libjxl: no basic information");
        Size(&img, static_cast<int>(info.xsize), static_cast<int>(info.ysize));
        img.has_alpha = info.alpha_bits > 0;
        break;
      }
      case JXL_DEC_NEED_IMAGE_OUT_BUFFER:
        if (JxlDecoderSetImageOutBuffer(decoder.get(), &format, img.rgba.data(), img.rgba.size()) !=
            JXL_DEC_SUCCESS)
          return Failure("jxl", "libjxl: output buffer refused");
        break;
      case JXL_DEC_FULL_IMAGE:
        break;
      case JXL_DEC_SUCCESS:
        img.format = "jxl";
        return img;
      default:
        return Failure("jxl", "libjxl cannot decode it");
    }
  }
}

// BMP through libavcodec's decoder.
DecodedImage DecodeBmp(const std::string& bytes) {
  av_log_set_level(AV_LOG_FATAL);
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_BMP);
  if (codec == nullptr) return Failure("bmp", "no BMP decoder in libavcodec");
  std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> ctx(
      avcodec_alloc_context3(codec), [](AVCodecContext* c) { avcodec_free_context(&c); });
  std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(),
                                                        [](AVPacket* p) { av_packet_free(&p); });
  std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(),
                                                     [](AVFrame* f) { av_frame_free(&f); });
  if (!ctx || !packet || !frame || avcodec_open2(ctx.get(), codec, nullptr) < 0 ||
      av_new_packet(packet.get(), static_cast<int>(bytes.size())) < 0)
    return Failure("bmp", "cannot set up the decoder");
  std::memcpy(packet->data, bytes.data(), bytes.size());
  if (avcodec_send_packet(ctx.get(), packet.get()) < 0 ||
      avcodec_receive_frame(ctx.get(), frame.get()) < 0)
    return Failure("bmp", "libavcodec cannot decode it");
  DecodedImage img;
  Size(&img, frame->width, frame->height);
  for (int y = 0; y < frame->height; ++y) {
    const std::uint8_t* row = frame->data[0] + static_cast<std::ptrdiff_t>(y) * frame->linesize[0];
    for (int x = 0; x < frame->width; ++x) {
      std::uint8_t* p = img.rgba.data() + (static_cast<std::size_t>(y) * img.width + x) * 4;
      switch (frame->format) {
        case AV_PIX_FMT_BGR24:
          p[0] = row[3 * x + 2], p[1] = row[3 * x + 1], p[2] = row[3 * x], p[3] = 255;
          break;
        case AV_PIX_FMT_BGRA:
        case AV_PIX_FMT_BGR0:
          p[0] = row[4 * x + 2], p[1] = row[4 * x + 1], p[2] = row[4 * x];
          p[3] = frame->format == AV_PIX_FMT_BGRA ? row[4 * x + 3] : 255;
          break;
        default:
          return Failure("bmp", "unexpected pixel format from the BMP decoder");
      }
    }
  }
  img.format = "bmp";
  return img;
}

}  // namespace

std::uint32_t DecodedImage::Argb(int x, int y) const {
  const std::uint8_t* p = rgba.data() + (static_cast<std::size_t>(y) * width + x) * 4;
  return (std::uint32_t{p[3]} << 24) | (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) |
         p[2];
}

DecodedImage ReadImageBytes(const std::string& bytes) {
  if (StartsWith(bytes, "BM", 2)) return DecodeBmp(bytes);
  if (StartsWith(bytes, "\xFF\xD8", 2)) return DecodeJpeg(bytes);
  if (StartsWith(bytes, "GIF8", 4)) return DecodeGif(bytes);
  if (StartsWith(bytes, "II*\0", 4) || StartsWith(bytes, "MM\0*", 4)) return DecodeTiff(bytes);
  if (StartsWith(bytes, "\x89PNG\r\n\x1A\n", 8)) return DecodePng(bytes);
  if (StartsWith(bytes, "RIFF", 4) && StartsWith(bytes, "WEBP", 4, 8)) return DecodeWebp(bytes);
  if (StartsWith(bytes, "ftypavif", 8, 4)) return DecodeAvif(bytes);
  if (StartsWith(bytes, "\xFF\x0A", 2) || StartsWith(bytes, "\0\0\0\x0CJXL \r\n\x87\n", 12))
    return DecodeJxl(bytes);
  return Failure("", bytes.empty() ? "empty or unreadable file" : "unknown image format");
}

DecodedImage ReadImageFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Failure("", "cannot open " + path);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return ReadImageBytes(bytes);
}
