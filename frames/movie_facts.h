// SPDX-License-Identifier: GPL-3.0-or-later
// The facts a movie file states about itself (its size and bit rate, its video stream's codec,
// picture, frame rate and transfer, its first audio stream), read from the open demuxer
// without decoding anything.
#pragma once

#include "frames/media_det.h"

class Demuxer;

/// The facts of the file open in `demuxer`, with `video_stream` as its video stream.
MovieFacts ReadMovieFacts(const Demuxer& demuxer, int video_stream);
