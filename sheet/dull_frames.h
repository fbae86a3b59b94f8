// SPDX-License-Identifier: GPL-3.0-or-later
// Dull frames passed over: a frame that is nearly uniform (a fade to black or white, a card of
// one colour) is told by the spread of its luma on the cell-sized picture, and a cell that
// got one takes instead the first frame of its own window that is not dull.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frames/frame_source.h"

/// How far into a cell's window, in seconds from its start, frames are looked at for one that
/// is not dull: enough for any fade or title card, and a bound on the decoding a window of
/// black (a movie that is mostly black) can cost.
inline constexpr double kDullSearchSeconds = 60;

/// Whether the frame of `record`, a FrameRecord, is dull: all but the darkest and brightest
/// fiftieth of its pixels lie within a tenth of the luma range of each other.
bool IsDullFrame(const std::uint8_t* record);

/// When the frame in `record` (`record_bytes` bytes, grabbed by `source` for the window of
/// `seconds` +- `tolerance`, and starting at *frame_time) is dull, puts in its place the first
/// frame that starts inside the window, no later than kDullSearchSeconds from its start, and
/// is not dull, and sets *frame_time to its start. Where there is none (or a grab fails) the
/// dull frame stays.
/// The frame taken depends only on the movie and the window: the frames are grabbed one after
/// the other, each the one shown at its time.
void PassOverDullFrame(FrameSource& source, double seconds, double tolerance, std::uint8_t* record,
                       std::size_t record_bytes, double* frame_time);
