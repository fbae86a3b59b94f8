// SPDX-License-Identifier: GPL-3.0-or-later
// The grab stage: each cell's frame grabbed at its sample time and handed to the drawing in
// reading order, either on the drawing thread itself or by workers, each with a detector of its
// own, that take the cells in jobs by group of pictures and grab ahead of the drawing into a ring
// of frame records.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include "frames/frame_source.h"
#include "frames/media_det.h"
#include "platform/com.h"
#include "sheet/grab_plan.h"

/// The most frames held, whatever the grid (fewer when the frames are large: the ring of frames
/// is kept to some tens of megabytes, with room for one frame more than the detectors, of which
/// there are at most kMaxGrabWorkers).
inline constexpr int kMaxFramesInFlight = 32;

/// One cell's grab as the drawing receives it.
struct CellGrab {
  HRESULT hr = S_OK;
  std::string error;               ///< the detector's words for a failed grab
  std::uint8_t* record = nullptr;  ///< the FrameRecord of a good grab, until its Release
  /// When the frame of a good grab starts, on the clock of the sample times; NaN when the
  /// detector cannot tell.
  double frame_time = std::numeric_limits<double>::quiet_NaN();
};

/// The grabs of a sheet's cells, handed over in reading order.
class CellGrabs {
 public:
  virtual ~CellGrabs() = default;
  /// The grab of `cell`, the next in reading order (waiting for it when need be); rethrows what
  /// the grab threw.
  virtual CellGrab Take(std::int64_t cell) = 0;
  /// `cell` is drawn: its record may take another cell.
  virtual void Release(std::int64_t cell) = 0;
};

/// Starts the grabs of `plan` with `source`, open with its FrameRecord allocated at the grab
/// size. With plan.OnDrawingThread(), Take grabs into the source's own record, freed when the
/// grabs end. Otherwise plan.workers detectors (the first `source`, the others made by
/// `factory` and given the source's grab size) grab on their own threads into a ring of at most
/// kMaxFramesInFlight records that replaces the source's own. Either way each cell gets the
/// same frame (with plan.skip_dull, the first frame of its window that is not dull in place
/// of a dull one: sheet/dull_frames.h). `source` and `factory` must outlive the grabs;
/// destroying them stops and joins the workers.
std::unique_ptr<CellGrabs> StartGrabs(FrameSource& source, const MediaDetFactory& factory,
                                      const GrabPlan& plan);
