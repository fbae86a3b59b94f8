// SPDX-License-Identifier: GPL-3.0-or-later
// What the NAL unit headers of an HEVC packet say about its pictures: whether any other
// picture may predict from them. The decoder leaves out packets nothing refers to when they
// cannot be the picture wanted; FFmpeg's own skipping of non-reference pictures does not
// cover HEVC.
#pragma once

#include <cstdint>

/// The size in bytes of the length field before each NAL unit of the stream's packets, from
/// its extradata: 1 to 4 for the hvcC layout (MP4, Matroska), 0 for start codes (Annex B).
int HevcLengthFieldSize(const std::uint8_t* extradata, int extradata_size);

/// Whether an HEVC packet holds only sub-layer non-reference pictures (no other picture ever
/// predicts from them) and no parameter sets, so that leaving it out of the decoder changes
/// nothing but the absence of that picture. `length_size` is HevcLengthFieldSize of the
/// stream. Anything unclear counts as needed.
bool HevcPacketIsDisposable(const std::uint8_t* data, int size, int length_size);
