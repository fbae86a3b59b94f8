// SPDX-License-Identifier: GPL-3.0-or-later
// What the encoders share: the parameter check, the copying of their libraries' output, the
// test for alpha, and pixel words unpacked into bytes per channel. Compiled into the program
// and into each encoder's module, which uses nothing else of the program's.

#include "platform/encoder_support.h"

#include <new>

#include "platform/imaging_internal.h"

GpStatus NoParameters(const EncoderParameters* params, std::string* why) {
  if (params == nullptr || params->Count == 0) return Ok;
  *why = "this encoder takes no parameters";
  return InvalidParameter;
}

GpStatus CopyEncoded(const void* data, std::size_t size, std::string* out, std::string* why) {
  try {
    out->assign(static_cast<const char*>(data), size);
  } catch (const std::bad_alloc&) {
    *why = "out of memory";
    return OutOfMemory;
  }
  return Ok;
}

bool AppendEncoded(const void* data, std::size_t size, std::string* out) {
  try {
    out->append(static_cast<const char*>(data), size);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool ArgbPixels::HasAlpha() const {
  const std::size_t n = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  for (std::size_t i = 0; i < n; ++i)
    if ((pixels[i] >> 24) != 0xFF) return true;
  return false;
}

namespace {

template <ChannelBytes kLayout>
void Unpack(const std::uint32_t* words, std::size_t count, std::uint8_t* out) {
  for (std::size_t i = 0; i < count; ++i, out += BytesPerPixel(kLayout)) {
    const std::uint32_t p = words[i];
    out[0] = static_cast<std::uint8_t>(p >> 16);
    out[1] = static_cast<std::uint8_t>(p >> 8);
    out[2] = static_cast<std::uint8_t>(p);
    if constexpr (kLayout == ChannelBytes::kRgba) out[3] = static_cast<std::uint8_t>(p >> 24);
    if constexpr (kLayout == ChannelBytes::kRgbOpaque) out[3] = 255;
  }
}

}  // namespace

void UnpackArgb(const std::uint32_t* words, std::size_t count, ChannelBytes layout,
                std::uint8_t* out) {
  switch (layout) {
    case ChannelBytes::kRgb:
      return Unpack<ChannelBytes::kRgb>(words, count, out);
    case ChannelBytes::kRgba:
      return Unpack<ChannelBytes::kRgba>(words, count, out);
    case ChannelBytes::kRgbOpaque:
      return Unpack<ChannelBytes::kRgbOpaque>(words, count, out);
  }
}
