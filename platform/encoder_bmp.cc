// SPDX-License-Identifier: GPL-3.0-or-later
// The BMP encoder: 24-bit BI_RGB, rows bottom-up and padded to 4 bytes. Alpha is dropped.

#include <cstdint>
#include <new>
#include <string>

#include "platform/encoder_support.h"
#include "platform/encoders.h"
#include "platform/imaging_internal.h"

namespace {

constexpr std::uint32_t kFileHeaderBytes = 14;
constexpr std::uint32_t kHeaderBytes = kFileHeaderBytes + sizeof(BITMAPINFOHEADER);
constexpr std::int32_t kPixelsPerMeter = 2835;  // 72 dots per inch

void PutLe16(std::string* out, std::uint16_t v) {
  out->push_back(static_cast<char>(v & 0xFF));
  out->push_back(static_cast<char>(v >> 8));
}
void PutLe32(std::string* out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// The header field by field, little-endian whatever the machine.
void PutInfoHeader(std::string* out, const BITMAPINFOHEADER& h) {
  PutLe32(out, h.biSize);
  PutLe32(out, static_cast<std::uint32_t>(h.biWidth));
  PutLe32(out, static_cast<std::uint32_t>(h.biHeight));
  PutLe16(out, h.biPlanes);
  PutLe16(out, h.biBitCount);
  PutLe32(out, h.biCompression);
  PutLe32(out, h.biSizeImage);
  PutLe32(out, static_cast<std::uint32_t>(h.biXPelsPerMeter));
  PutLe32(out, static_cast<std::uint32_t>(h.biYPelsPerMeter));
  PutLe32(out, h.biClrUsed);
  PutLe32(out, h.biClrImportant);
}

}  // namespace

GpStatus EncodeBmp(const ArgbPixels& image, const EncoderParameters* params, std::string* out,
                   std::string* why) {
  if (GpStatus s = NoParameters(params, why); s != Ok) return s;
  const std::uint64_t row_bytes = static_cast<std::uint64_t>(DibRowBytes(image.width, 24));
  const std::uint64_t pixel_bytes = row_bytes * static_cast<std::uint64_t>(image.height);
  if (pixel_bytes + kHeaderBytes > 0xFFFFFFFFull) {
    *why = "image too large for a BMP file";
    return ValueOverflow;
  }
  BITMAPINFOHEADER header = Dib24Header(image.width, image.height);  // positive: bottom-up
  header.biXPelsPerMeter = kPixelsPerMeter;
  header.biYPelsPerMeter = kPixelsPerMeter;
  try {
    out->clear();
    out->reserve(kHeaderBytes + pixel_bytes);
    out->append("BM");
    PutLe32(out, static_cast<std::uint32_t>(kHeaderBytes + pixel_bytes));
    PutLe32(out, 0);
    PutLe32(out, kHeaderBytes);
    PutInfoHeader(out, header);
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
