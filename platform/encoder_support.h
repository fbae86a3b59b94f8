// SPDX-License-Identifier: GPL-3.0-or-later
// What the encoders share: the check that an encoder got no parameters, the copying of a
// library's output into the encoded bytes, and pixel words unpacked into bytes per channel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/imaging.h"

/// Ok when `params` is null or holds no parameter; otherwise InvalidParameter, with the cause
/// in *why. For the encoders that take none.
GpStatus NoParameters(const EncoderParameters* params, std::string* why);

/// Replaces *out with `size` bytes at `data`. OutOfMemory (and "out of memory" in *why) when
/// there is no room.
GpStatus CopyEncoded(const void* data, std::size_t size, std::string* out, std::string* why);

/// Appends `size` bytes at `data` to *out; false when there is no room. For a library's write
/// callback, which must not let an exception through the library.
bool AppendEncoded(const void* data, std::size_t size, std::string* out);

/// How a library takes pixels one byte a channel.
enum class ChannelBytes {
  kRgb,        ///< R, G, B; alpha dropped
  kRgba,       ///< R, G, B, A
  kRgbOpaque,  ///< R, G, B, 255
};
inline constexpr std::size_t BytesPerPixel(ChannelBytes layout) {
  return layout == ChannelBytes::kRgb ? 3 : 4;
}

/// Writes `count` 0xAARRGGBB words to `out` in `layout`, BytesPerPixel(layout) bytes each.
void UnpackArgb(const std::uint32_t* words, std::size_t count, ChannelBytes layout,
                std::uint8_t* out);
