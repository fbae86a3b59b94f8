// SPDX-License-Identifier: GPL-3.0-or-later
// The plan of a sheet's grabs, made before the first one: the sampling clock (when each cell's
// frame is taken, and how far from that time it may lie), how many detectors grab and how they
// start, and the threads each decodes with.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frames/frame_source.h"

/// Everything the grab stage needs to know besides the open source.
struct GrabPlan {
  std::int64_t cells = 0;        ///< grabbed in reading order
  double interval = 0;           ///< seconds between samples, the first one interval in
  double tolerance = 0;          ///< how far from its sample time a cell's frame may lie
  int workers = 1;               ///< detectors grabbing at once, 1 to kMaxGrabWorkers
  bool start_at_once = false;    ///< all workers start with the first, paying or not
  int decode_threads = 0;        ///< for every detector: 1 beside others, 0 for the codec's
  double open_seconds = 0;       ///< what opening the first source took
  std::size_t record_bytes = 0;  ///< one FrameRecord at the grab size
  bool skip_dull = false;        ///< a dull frame gives way to a livelier one of its window

  /// The caller asked for one detector: it grabs on the drawing thread, into one record.
  bool OnDrawingThread() const { return start_at_once && workers == 1; }
};

/// The plan for `cells` cells of `source`, open with its FrameRecord allocated at the grab
/// size; opening it took `open_seconds`. Reads the stream length: samples
/// lie length / (cells + 2) apart, the first one interval in, and each cell's frame within a
/// quarter interval of its time. `grab_workers` detectors start at once; 0 lets the detector
/// suggest how many may pay, started when they do, and one when all cells decode from one
/// group of pictures.
GrabPlan PlanGrabs(FrameSource& source, std::int64_t cells, int grab_workers, double open_seconds);
