// SPDX-License-Identifier: GPL-3.0-or-later
// The contact sheet from start to end: open the movie, plan the sheet, grab and draw its cells,
// save it, and say why when no sheet is written.
#pragma once

#include "frames/media_det.h"
#include "platform/com.h"
#include "settings/run_settings.h"

/// Runs one sheet from `settings` (writes cellWidth and cellHeight back). Prints progress on
/// standard output and, when no image is written, one diagnostic line on standard error.
/// *image_written tells whether the sheet file was written. Returns the result code of the
/// last grab, or the code of the failure that ended the run.
///
/// Each cell shows a frame within a quarter of the sampling interval of its sample time (the
/// exact frame when a frame lasts longer than that). `grab_workers` detectors grab cells at
/// once, each on its own thread, taking whole jobs of cells that decode from one group of
/// pictures; 0 lets the detector say how many may pay (one when all cells lie in one group),
/// and the others start beside the first only when its first grabs show that they do.
/// Whatever the number, the output is the same, at most kMaxFramesInFlight frames
/// (sheet/grab_pipeline.h), each of the size it is drawn at, are held, and the cells are drawn
/// and their marks printed in reading order.
HRESULT SheetGenerator(RunSettings& settings, bool* image_written,
                       const MediaDetFactory& factory = DefaultMediaDetFactory(),
                       int grab_workers = 0);
