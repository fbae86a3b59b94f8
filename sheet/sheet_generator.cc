// SPDX-License-Identifier: GPL-3.0-or-later
#include "sheet/sheet_generator.h"

#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "frames/frame_source.h"
#include "platform/text_draw.h"
#include "sheet/cell_time.h"
#include "sheet/diagnostics.h"
#include "sheet/grab_pipeline.h"
#include "sheet/grab_plan.h"
#include "sheet/save.h"
#include "sheet/sheet_canvas.h"
#include "sheet/sheet_header.h"
#include "sheet/sheet_layout.h"

namespace {

// Frames of this size and more are what the memory of a sheet goes to while it grabs, each
// held a few times over (the frames in flight, the scaler's planes, the drawing): memory
// running out then is the cells' size, and is named so.
constexpr std::size_t kLargeFrameBytes = std::size_t{16} << 20;

// Opens `src` in `source` and reads its video's frame size; says why when it cannot.
HRESULT OpenVideo(FrameSource& source, const std::string& src) {
  if (HRESULT hr = source.Open(src); Failed(hr)) {
    Diagnose(src, SheetFailure::kCannotOpen, source.LastErrorText());
    return hr;
  }
  if (HRESULT hr = source.SelectFirstVideoStream(); Failed(hr)) {
    Diagnose(src, SheetFailure::kNoVideo, source.LastErrorText());
    return hr;
  }
  if (HRESULT hr = source.ReadFrameSize(); Failed(hr)) {
    Diagnose(src, SheetFailure::kNoVideo, source.LastErrorText());
    return hr;
  }
  return S_OK;
}

// A sheet that can never be saved is not worth grabbing for: refuses a canvas beyond the
// imaging layer's limits, a format no encoder writes, and a canvas too large for the format's
// encoder, each with the line the save would print.
HRESULT CheckSheetCanBeSaved(const SheetLayout& layout, const RunSettings& settings) {
  if (auto problem = CanvasProblem(layout)) {
    Diagnose(settings.src, SheetFailure::kNoCanvas, *problem);
    return E_INVALIDARG;
  }
  GUID clsid;
  if (!EncoderLookup(settings.format.c_str(), &clsid)) {
    Diagnose(settings.src, SheetFailure::kNoEncoder, settings.format);
    return E_INVALIDARG;
  }
  if (auto problem =
          SaveSizeProblem(settings.format, layout.canvas_width(), layout.canvas_height())) {
    Diagnose(settings.src, SheetFailure::kCannotSave, *problem);
    return E_INVALIDARG;
  }
  if (auto problem = DestinationNameProblem(settings.dst)) {
    Diagnose(settings.src, SheetFailure::kCannotSave, *problem);
    return E_INVALIDARG;
  }
  return S_OK;
}

// The line for cells whose frames do not fit in memory.
void DiagnoseCellsTooLarge(const std::string& src, const PixelSize& grab_size) {
  Diagnose(src, SheetFailure::kNoCanvas,
           "cells of " + std::to_string(grab_size.width) + "x" + std::to_string(grab_size.height) +
               " too large for memory");
}

// How the cells' times are written, when they are.
struct CellTimes {
  double length = 0;  // of the movie
  bool tenths = false;
};

// The header of the movie open in `source` across the grid of `layout`, which it adds its rows
// to; none over a grid too large for a canvas anyway, which is refused as it is.
SheetHeader PlanHeader(FrameSource& source, const RunSettings& settings, SheetLayout* layout) {
  if (CanvasProblem(*layout)) return {};
  double length = 0;
  source.ReadLength(&length);
  SheetHeader header = LayOutHeader(
      DescribeMovie(settings.src, source.ReadMovieFacts(), length, source.width(), source.height()),
      layout->canvas_width(), settings.bgcolor);
  layout->header_height = header.height;
  return header;
}

// What the grab and draw stage leaves for the rest of the run.
struct DrawnCells {
  HRESULT last_grab = S_OK;  // the result of the last cell's grab
  std::int64_t drawn = 0;
  std::string grab_error;  // the words for the last cell that drew nothing
};

// Takes every cell's grab in reading order and draws it, with its frame's time when `times` is
// given, printing an "O" for each cell drawn, a line break after each row and "complete" at the
// end. A failed grab, or a record holding no frame the grab could give, leaves its cell in the
// background colour.
DrawnCells GrabAndDraw(const SheetLayout& layout, CellGrabs& grabs, SheetCanvas& canvas,
                       const CellTimes* times) {
  DrawnCells result;
  std::int64_t cell = 0;
  for (std::int32_t row = 0; row < layout.rows; ++row) {
    for (std::int32_t col = 0; col < layout.cols; ++col, ++cell) {
      const CellGrab grab = grabs.Take(cell);
      result.last_grab = grab.hr;
      if (Failed(grab.hr)) {
        result.grab_error = grab.error;
      } else if (PixelRect picture; canvas.DrawFrame(col, row, grab.record, &picture)) {
        if (times != nullptr && !std::isnan(grab.frame_time))
          StampTime(canvas.bitmap(), picture,
                    TimeText(grab.frame_time, times->length, times->tenths));
        PrintProgress("O");
        ++result.drawn;
      } else {
        result.grab_error = "the frame has a wrong size";
      }
      grabs.Release(cell);
    }
    PrintProgress("\r\n");
  }
  PrintProgress("\r\ncomplete\n");
  return result;
}

// Writes the sheet to settings.dst; says why when it cannot. True when it is written.
bool Save(const SheetCanvas& canvas, const RunSettings& settings) {
  const SaveOutcome saved = SaveSheet(canvas.bitmap(), settings);
  switch (saved.kind) {
    case SaveOutcome::Kind::kWritten:
      return true;
    case SaveOutcome::Kind::kNoEncoder:
      Diagnose(settings.src, SheetFailure::kNoEncoder,
               saved.cause.empty() ? settings.format : saved.cause);
      break;
    case SaveOutcome::Kind::kFailed:
      Diagnose(settings.src, SheetFailure::kCannotSave, saved.cause);
      break;
  }
  return false;
}

// The sheet of the open `source`: plan, grab and draw, save. Returns the result of the last
// grab, or the code of the failure that ended the run, having said why.
HRESULT MakeSheet(FrameSource& source, double open_seconds, RunSettings& settings,
                  bool* image_written, const MediaDetFactory& factory, int grab_workers) {
  // Plan.
  SheetLayout layout = LayOutSheet(settings, source.width(), source.height());
  settings.cellWidth = layout.cell_width;
  settings.cellHeight = layout.cell_height;
  // Text where it was asked for and a font can draw it; the header takes rows of its own.
  const bool text_asked = settings.showTimes || settings.showHeader;
  const bool fonts = text_asked && TextFontsAvailable();
  SheetHeader header;
  if (settings.showHeader && fonts) header = PlanHeader(source, settings, &layout);
  if (HRESULT hr = CheckSheetCanBeSaved(layout, settings); Failed(hr)) return hr;
  const std::unique_ptr<SheetCanvas> canvas = SheetCanvas::Make(layout, settings.bgcolor);
  if (canvas == nullptr) {
    Diagnose(settings.src, SheetFailure::kNoCanvas,
             "size " + std::to_string(layout.canvas_width()) + "x" +
                 std::to_string(layout.canvas_height()));
    return E_OUTOFMEMORY;
  }
  DrawHeader(canvas->bitmap(), header);
  // Frames are grabbed at the size they are drawn, so that the detector's one scaling pass
  // does the colour conversion too.
  const PixelSize grab_size = GrabSize(layout);
  source.SetGrabSize(grab_size.width, grab_size.height);
  source.SetBackground(ColourDrawnAs(settings.bgcolor));
  if (HRESULT hr = source.AllocateFrameRecord(); Failed(hr)) {
    if (hr == E_OUTOFMEMORY)
      DiagnoseCellsTooLarge(settings.src, grab_size);
    else
      Diagnose(settings.src, SheetFailure::kNoFrame, source.LastErrorText());
    return hr;
  }
  GrabPlan plan = PlanGrabs(source, layout.cells(), grab_workers, open_seconds);
  plan.skip_dull = settings.skipDull;
  std::optional<CellTimes> times;
  if (settings.showTimes && fonts) {
    times.emplace();
    source.ReadLength(&times->length);
    times->tenths = plan.interval < kTenthsBelowInterval;
  }

  // Grab and draw.
  DrawnCells cells;
  try {
    const std::unique_ptr<CellGrabs> grabs = StartGrabs(source, factory, plan);
    cells = GrabAndDraw(layout, *grabs, *canvas, times ? &*times : nullptr);
  } catch (const std::bad_alloc&) {
    if (plan.record_bytes < kLargeFrameBytes) throw;
    DiagnoseCellsTooLarge(settings.src, grab_size);
    return E_OUTOFMEMORY;
  }
  if (cells.drawn == 0) {
    // An all-background sheet would only block the re-run that could make a real one.
    Diagnose(settings.src, SheetFailure::kNoFrame, cells.grab_error);
    return Failed(cells.last_grab) ? cells.last_grab : E_FAIL;
  }

  // Save.
  *image_written = Save(*canvas, settings);
  // Said once the sheet is there: a run that writes none has its own line to say why.
  if (*image_written && text_asked && !fonts) DiagnoseNoFont(settings.src);
  return cells.last_grab;
}

}  // namespace

HRESULT SheetGenerator(RunSettings& settings, bool* image_written, const MediaDetFactory& factory,
                       int grab_workers) {
  *image_written = false;
  FrameSource source(factory);
  try {
    PrepareCatchAllLine();
    const auto open_started = std::chrono::steady_clock::now();
    if (HRESULT hr = OpenVideo(source, settings.src); Failed(hr)) return hr;
    const double open_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - open_started).count();
    return MakeSheet(source, open_seconds, settings, image_written, factory, grab_workers);
  } catch (...) {
    // Whatever nobody foresaw (no memory, as soon as the movie is opened and its stream
    // chosen; a name that cannot be converted; a frame without pixels) ends the run with one
    // line and no file.
    DiagnoseCurrentException(settings.src);
    source.FreeFrameRecord();
    *image_written = false;
    return E_OUTOFMEMORY;
  }
}
