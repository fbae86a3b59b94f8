// The contact sheet: grabs cols x rows frames at evenly spaced times, draws each into its
// cell and saves the sheet.
#pragma once

#include "app/run_settings.h"
#include "frames/media_det.h"
#include "platform/com.h"

/// Runs one sheet from `settings` (writes cellWidth and cellHeight back). Prints progress on
/// standard output and, when no image is written, one diagnostic line on standard error.
/// *image_written tells whether the sheet file was written. Returns the result code of the
/// last grab, or the code of the failure that ended the run.
HRESULT SheetGenerator(RunSettings& settings, bool* image_written,
                       const MediaDetFactory& factory = DefaultMediaDetFactory());
