// SPDX-License-Identifier: GPL-3.0-or-later
// A cell's time on its frame: the time of the frame the cell shows, written as a player
// counts it, in white on a translucent dark box in the corner of the picture, sized to the
// picture.
#pragma once

#include <string>

#include "platform/imaging.h"
#include "sheet/sheet_layout.h"

/// Cells less than this many seconds apart show their times to a tenth of a second.
inline constexpr double kTenthsBelowInterval = 2.0;

/// `seconds` as a player shows the time: m:ss in a movie under an hour long (`length`),
/// h:mm:ss from an hour on, with `tenths` of a second (m:ss.t). Cut, not rounded: a frame
/// shows the second, or the tenth, it starts in.
std::string TimeText(double seconds, double length, bool tenths);

/// Draws `text` in the bottom-right corner of `picture`, the rectangle a cell's frame covers on
/// `canvas`: white on a translucent dark box, its size going with the picture's. A picture too
/// small to hold it gets none. True when it was drawn. Needs TextFontsAvailable().
bool StampTime(GpBitmap* canvas, const PixelRect& picture, const std::string& text);
