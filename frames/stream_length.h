// SPDX-License-Identifier: GPL-3.0-or-later
// The length of a stream: the one its container states, when that can be trusted, otherwise
// the span of the stream's packets found at the end of the file (or in the whole of a small
// file): a download cut short, a file whose index lists data past its end, a stream whose
// container states no length at all.
#pragma once

class Demuxer;

/// The length in seconds of stream `index`, from its first timestamp to the end of its last
/// packet. Reading the file's end moves the demuxer.
double StreamLength(Demuxer& demuxer, int index);
