// SPDX-License-Identifier: GPL-3.0-or-later
// The encoder table: the formats in lookup order, the lookup by class identifier, and the table
// handed out in the platform's layout.
//
// Each format's encoder encodes the whole image into memory; the save writes the bytes out, so
// that every file-system failure is handled in one place. Each library's errors stay inside its
// encoder: libjpeg and libpng jump back out of their error handlers (setjmp/longjmp), libtiff
// reports through per-handle handlers, giflib, libimagequant, libwebp, libavif and libjxl
// return codes. No library prints or exits, except libavif when memory runs out.

#include "platform/encoders.h"

#include <cstring>
#include <iterator>

// Each defined in platform/encoder_<format>.cc.
extern const EncoderEntry kBmpEncoder;
extern const EncoderEntry kJpegEncoder;
extern const EncoderEntry kGifEncoder;
extern const EncoderEntry kTiffEncoder;
extern const EncoderEntry kPngEncoder;
extern const EncoderEntry kWebpEncoder;
extern const EncoderEntry kAvifEncoder;
extern const EncoderEntry kJxlEncoder;

namespace {

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

}  // namespace

std::span<const EncoderEntry* const> EncoderTable() { return kEncoders; }

const EncoderEntry* FindEncoder(const GUID& clsid) {
  for (const EncoderEntry* e : kEncoders)
    if (e->clsid == clsid) return e;
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
