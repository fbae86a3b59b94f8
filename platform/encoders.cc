// SPDX-License-Identifier: GPL-3.0-or-later
// The encoder table: the formats in lookup order, the lookup by class identifier, the loading
// of an encoder's module, and the table handed out in the platform's layout.
//
// Each format's encoder encodes the whole image into memory; the save writes the bytes out, so
// that every file-system failure is handled in one place. Each library's errors stay inside its
// encoder: libjpeg and libpng jump back out of their error handlers (setjmp/longjmp), libtiff
// reports through per-handle handlers, giflib, libimagequant, libwebp, libavif and libjxl
// return codes. No library prints or exits, except libavif when memory runs out.

#include "platform/encoders.h"

#include <cstring>
#include <iterator>

#include "platform/modules.h"

// Only for the most pixels a side JPEG and WebP hold: macros, nothing of the libraries' code.
extern "C" {
#include <jpeglib.h>
#include <webp/encode.h>
}

// platform/encoder_bmp.cc: the one encoder without a library.
GpStatus EncodeBmp(const ArgbPixels& image, const EncoderParameters* params, std::string* out,
                   std::string* why);

namespace {

// Each format's most pixels (bench/large_sheets.sh measures them on grainy pictures, the hardest
// to compress), so that a sheet takes at most about 1 GB and 30 seconds whatever its pictures
// hold. JPEG, PNG, TIFF and BMP hold the canvas (4 bytes a pixel) and the encoded file whole
// beside it, which on grainy pictures reaches 1.7 bytes a pixel (JPEG at quality 100) to 3 (BMP
// always, TIFF's LZW): 100 megapixels take under 900 MB. GIF's quantizer and WebP's encoder
// would take over 30 seconds at a larger canvas: 64 megapixels; AVIF and JPEG XL, slower and
// hungrier still, 16 and 12.
constexpr std::int64_t kMaxWholeFilePixels = 100'000'000;

// Each format's signatures (sig_count of equal size, back to back) and entry.
constexpr std::uint8_t kBmpSignature[] = {'B', 'M'};
constexpr std::uint8_t kBmpMask[] = {0xFF, 0xFF};
const EncoderEntry kBmpEncoder = {
    {0x33001811, 0xAB23, 0x4EDB, {0xB3, 0xDC, 0xAA, 0x6E, 0xF7, 0x31, 0x05, 0x1B}},
    {0xF92388BC, 0xC510, 0x4CB0, {0xA3, 0xF3, 0xA0, 0x0D, 0xFA, 0xB6, 0x56, 0xBF}},
    u"BMP encoder",
    u"BMP",
    u"*.BMP;*.DIB",
    u"image/bmp",
    kBmpSignature,
    kBmpMask,
    1,
    EncodeBmp,
    nullptr,
    0,
    kMaxWholeFilePixels};

constexpr std::uint8_t kJpegSignature[] = {0xFF, 0xD8};
constexpr std::uint8_t kJpegMask[] = {0xFF, 0xFF};
const EncoderEntry kJpegEncoder = {
    {0x52BF1E51, 0x6DCD, 0x43CD, {0xB0, 0x6B, 0x6B, 0x72, 0xB0, 0x63, 0x12, 0x4B}},
    {0x9C8829F5, 0xB281, 0x4FE8, {0xA8, 0x4A, 0xFD, 0x25, 0x9F, 0x04, 0x57, 0x4C}},
    u"JPEG encoder (libjpeg-turbo)",
    u"JPEG",
    u"*.JPG;*.JPEG;*.JPE;*.JFIF",
    u"image/jpeg",
    kJpegSignature,
    kJpegMask,
    1,
    nullptr,
    "encoder_jpeg",
    JPEG_MAX_DIMENSION,
    kMaxWholeFilePixels};

constexpr std::uint8_t kGifSignature[] = {'G', 'I', 'F', '8', '9', 'a',
                                          'G', 'I', 'F', '8', '7', 'a'};
constexpr std::uint8_t kGifMask[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                     0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const EncoderEntry kGifEncoder = {
    {0x42AA70A3, 0xB9AA, 0x4A4A, {0x89, 0x40, 0x3C, 0x6C, 0xB4, 0x7F, 0xDE, 0x70}},
    {0xF840CE87, 0xFC9F, 0x426B, {0x96, 0x40, 0x5F, 0x25, 0xA7, 0x2A, 0x1B, 0x33}},
    u"GIF encoder (giflib, libimagequant)",
    u"GIF",
    u"*.GIF",
    u"image/gif",
    kGifSignature,
    kGifMask,
    2,
    nullptr,
    "encoder_gif",
    0,
    64'000'000};

constexpr std::uint8_t kTiffSignature[] = {'I', 'I', 0x2A, 0x00, 'M', 'M', 0x00, 0x2A};
constexpr std::uint8_t kTiffMask[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const EncoderEntry kTiffEncoder = {
    {0x99A63B81, 0x74E9, 0x4E79, {0x8B, 0x0E, 0x78, 0x9D, 0xB9, 0xA9, 0xB0, 0x3C}},
    {0xB7036C07, 0x7B2B, 0x4D6C, {0x8E, 0x2C, 0xC7, 0x83, 0xEC, 0x75, 0xC1, 0x50}},
    u"TIFF encoder (libtiff)",
    u"TIFF",
    u"*.TIF;*.TIFF",
    u"image/tiff",
    kTiffSignature,
    kTiffMask,
    2,
    nullptr,
    "encoder_tiff",
    0,
    kMaxWholeFilePixels};

constexpr std::uint8_t kPngSignature[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::uint8_t kPngMask[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const EncoderEntry kPngEncoder = {
    {0xA6EC12D2, 0x1A7B, 0x4D49, {0x9A, 0x2B, 0xEE, 0x13, 0xD9, 0x9C, 0x2D, 0xF6}},
    {0x2F5B29A4, 0x4234, 0x4657, {0x95, 0x9F, 0xC6, 0x3D, 0xCF, 0x45, 0xC1, 0x23}},
    u"PNG encoder (libpng)",
    u"PNG",
    u"*.PNG",
    u"image/png",
    kPngSignature,
    kPngMask,
    1,
    nullptr,
    "encoder_png",
    0,
    kMaxWholeFilePixels};

constexpr std::uint8_t kWebpSignature[] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'E', 'B', 'P'};
constexpr std::uint8_t kWebpMask[] = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
const EncoderEntry kWebpEncoder = {
    {0xEC378C5B, 0xAE1F, 0x47C3, {0x97, 0xAF, 0xC7, 0xC7, 0xE7, 0x57, 0x7A, 0x7D}},
    {0xAB691342, 0x051B, 0x452E, {0xB3, 0x73, 0x67, 0xF9, 0x80, 0xB1, 0x6F, 0x71}},
    u"WebP encoder (libwebp)",
    u"WebP",
    u"*.WEBP",
    u"image/webp",
    kWebpSignature,
    kWebpMask,
    1,
    nullptr,
    "encoder_webp",
    WEBP_MAX_DIMENSION,
    64'000'000};

// An ISO base media file whose first box is 'ftyp' with the major brand 'avif'.
constexpr std::uint8_t kAvifSignature[] = {0, 0, 0, 0, 'f', 't', 'y', 'p', 'a', 'v', 'i', 'f'};
constexpr std::uint8_t kAvifMask[] = {0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const EncoderEntry kAvifEncoder = {
    {0xC1C77135, 0xF307, 0x466A, {0x85, 0x54, 0x5C, 0x7C, 0xDB, 0xAF, 0x4A, 0xC4}},
    {0xE7537D70, 0xE029, 0x4F02, {0x81, 0x40, 0x01, 0x64, 0xD3, 0x75, 0x40, 0x6C}},
    u"AVIF encoder (libavif, libaom)",
    u"AVIF",
    u"*.AVIF",
    u"image/avif",
    kAvifSignature,
    kAvifMask,
    1,
    nullptr,
    "encoder_avif",
    0,
    16'000'000};

// A bare JPEG XL codestream, or the JPEG XL container.
constexpr std::uint8_t kJxlSignature[] = {0xFF, 0x0A, 0,   0,   0,    0,    0,    0,
                                          0,    0,    0,   0,   0,    0,    0,    0x0C,
                                          'J',  'X',  'L', ' ', 0x0D, 0x0A, 0x87, 0x0A};
constexpr std::uint8_t kJxlMask[] = {0xFF, 0xFF, 0,    0,    0,    0,    0,    0,
                                     0,    0,    0,    0,    0xFF, 0xFF, 0xFF, 0xFF,
                                     0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const EncoderEntry kJxlEncoder = {
    {0x226C1B87, 0x01B9, 0x492F, {0x9D, 0x4B, 0xFB, 0xF9, 0xAE, 0xBE, 0xA6, 0xC4}},
    {0xB5BFDE5E, 0xC931, 0x46AD, {0xB4, 0x4A, 0x12, 0xE3, 0x77, 0xC5, 0x1D, 0xA0}},
    u"JPEG XL encoder (libjxl)",
    u"JPEG XL",
    u"*.JXL",
    u"image/jxl",
    kJxlSignature,
    kJxlMask,
    2,
    nullptr,
    "encoder_jxl",
    0,
    12'000'000};

// The table order. A lookup by MIME type takes the first match in this order.
const EncoderEntry* const kEncoders[] = {&kBmpEncoder, &kJpegEncoder, &kGifEncoder,  &kTiffEncoder,
                                         &kPngEncoder, &kWebpEncoder, &kAvifEncoder, &kJxlEncoder};

std::size_t Units(const char16_t* s) {
  std::size_t n = 0;
  while (s[n] != 0) ++n;
  return n + 1;  // with the terminator
}

// The table is handed out as the platform does: one block holding the records, then every
// string and signature they point to.
std::size_t TableBytes() {
  std::size_t bytes = sizeof(ImageCodecInfo) * std::size(kEncoders);
  for (const EncoderEntry* e : kEncoders) {
    bytes += sizeof(char16_t) * (Units(e->codec_name) + Units(u"") + Units(e->format_description) +
                                 Units(e->filename_extension) + Units(e->mime_type));
    bytes += e->sig_pattern.size() + e->sig_mask.size();
  }
  return bytes;
}

// The format's name in plain text (the descriptions are ASCII).
std::string FormatName(const EncoderEntry& entry) {
  std::string name;
  for (const char16_t* c = entry.format_description; *c != 0; ++c)
    name.push_back(static_cast<char>(*c));
  return name;
}

}  // namespace

std::span<const EncoderEntry* const> EncoderTable() { return kEncoders; }

const EncoderEntry* FindEncoder(const GUID& clsid) {
  for (const EncoderEntry* e : kEncoders)
    if (e->clsid == clsid) return e;
  return nullptr;
}

std::optional<std::string> EncoderSizeProblem(const EncoderEntry& entry, std::int64_t width,
                                              std::int64_t height) {
  if (entry.max_side > 0 && (width > entry.max_side || height > entry.max_side))
    return "image too large for " + FormatName(entry) + " (" + std::to_string(entry.max_side) +
           " pixels a side)";
  if (width * height > entry.max_pixels)
    return "image too large for " + FormatName(entry) + " (" +
           std::to_string(entry.max_pixels / 1'000'000) + " megapixels at most)";
  return std::nullopt;
}

EncodeFunction LoadEncoder(const EncoderEntry& entry, std::string* why) {
  if (entry.built_in != nullptr) return entry.built_in;
  std::string error;
  void* symbol = ModuleSymbol(entry.module, kEncodeSymbol, &error);
  if (symbol == nullptr) {
    *why = "cannot load the " + FormatName(entry) + " encoder: " + error;
    return nullptr;
  }
  return reinterpret_cast<EncodeFunction>(symbol);
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
    const EncoderEntry& e = *kEncoders[i];
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
    const EncoderEntry& e = *kEncoders[i];
    std::memcpy(bytes, e.sig_pattern.data(), e.sig_pattern.size());
    encoders[i].SigPattern = bytes;
    bytes += e.sig_pattern.size();
    std::memcpy(bytes, e.sig_mask.data(), e.sig_mask.size());
    encoders[i].SigMask = bytes;
    bytes += e.sig_mask.size();
  }
  return Ok;
}
