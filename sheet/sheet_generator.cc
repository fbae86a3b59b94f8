#include "sheet/sheet_generator.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>

#include "frames/frame_source.h"
#include "platform/imaging.h"
#include "platform/text_conv.h"
#include "sheet/save.h"

namespace {

// Diagnostics of a run that writes no image, one line each on standard error.
constexpr const char* kCannotOpen = "入力ファイルを開けません";
constexpr const char* kNoVideo = "映像ストリームがありません";
constexpr const char* kNoFrame = "フレームを取得できませんでした";
constexpr const char* kNoCanvas = "出力画像を作成できません";
constexpr const char* kNoEncoder = "対応していない出力形式です";
constexpr const char* kCannotSave = "出力ファイルを保存できません";
constexpr const char* kCatchAll = "なんかしらエラーが発生してしまいました。";

void Diagnose(const char* text, const std::string& cause) {
  std::string line = ConsoleText(text);
  if (!cause.empty()) line += ": " + cause;
  line += '\n';
  std::fflush(stdout);
  std::fputs(line.c_str(), stderr);
}

void Print(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

// A cell dimension from its CellSpec: pixels as given, or -p percent of the source
// dimension, divided first and multiplied after in double precision and truncated, so
// that 29 % of 100 gives 28 like the arithmetic always has. Out-of-range results saturate.
std::int32_t CellPixels(std::int32_t spec, std::int32_t source) {
  if (spec >= 0) return spec;
  double pixels = -static_cast<double>(spec) / 100.0 * source;
  if (!(pixels < 2147483647.0)) return std::numeric_limits<std::int32_t>::max();
  if (!(pixels > -2147483648.0)) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(pixels);
}

// 1.15 x v - 0.075 on every colour channel: a touch more contrast than the decoded frame.
ColorMatrix SheetColorMatrix() {
  ColorMatrix cm = {};
  for (int i = 0; i < 5; ++i) cm.m[i][i] = 1.0f;
  for (int i = 0; i < 3; ++i) {
    cm.m[i][i] = 1.15f;
    cm.m[4][i] = -0.075f;
  }
  return cm;
}

struct CellRect {
  std::int32_t x, y, width, height;
};

// The frame scaled into its cell with its aspect kept, centred along the free direction.
// The products are taken in 64 bits; the results fit the cell and so 32 bits.
CellRect FitFrame(std::int32_t col, std::int32_t row, std::int32_t cell_w, std::int32_t cell_h,
                  std::int32_t src_w, std::int32_t src_h) {
  if (src_w == 0 || src_h == 0) throw ComError(E_FAIL, "zero source size");
  CellRect rc;
  rc.x = col * cell_w;
  rc.y = row * cell_h;
  rc.width = cell_w;
  std::int64_t h = static_cast<std::int64_t>(src_h) * cell_w / src_w;
  if (h > cell_h) {
    rc.width = static_cast<std::int32_t>(static_cast<std::int64_t>(src_w) * cell_h / src_h);
    rc.height = cell_h;
    rc.x += (cell_w - rc.width) / 2;
  } else {
    rc.height = static_cast<std::int32_t>(h);
    rc.y += (cell_h - rc.height) / 2;
  }
  return rc;
}

// Canvas limits the encoders can write; larger sheets are refused before any grab.
constexpr std::int64_t kMaxCanvasSide = 65535;
constexpr std::int64_t kMaxCanvasBytes = std::int64_t{1} << 30;

std::optional<std::string> CanvasProblem(std::int64_t width, std::int64_t height) {
  if (width <= 0 || height <= 0)
    return "size " + std::to_string(width) + "x" + std::to_string(height);
  if (width > kMaxCanvasSide || height > kMaxCanvasSide || width * height * 4 > kMaxCanvasBytes)
    return "size " + std::to_string(width) + "x" + std::to_string(height) + " too large";
  return std::nullopt;
}

}  // namespace

HRESULT SheetGenerator(RunSettings& settings, bool* image_written, const MediaDetFactory& factory) {
  *image_written = false;
  FrameSource source(factory);

  if (HRESULT hr = source.Open(settings.src); Failed(hr)) {
    Diagnose(kCannotOpen, source.LastErrorText());
    return hr;
  }
  if (HRESULT hr = source.SelectFirstVideoStream(); Failed(hr)) {
    Diagnose(kNoVideo, source.LastErrorText());
    return hr;
  }
  if (HRESULT hr = source.ReadFrameSize(); Failed(hr)) {
    Diagnose(kNoVideo, source.LastErrorText());
    return hr;
  }
  HRESULT hr = source.AllocateFrameRecord();
  if (Failed(hr)) {
    Diagnose(kNoFrame, source.LastErrorText());
    return hr;
  }
  const std::int32_t src_w = source.width();
  const std::int32_t src_h = source.height();

  try {
    settings.cellWidth = CellPixels(settings.width, src_w);
    settings.cellHeight = CellPixels(settings.height, src_h);
    const std::int64_t canvas_w = std::int64_t{settings.cellWidth} * settings.cols;
    const std::int64_t canvas_h = std::int64_t{settings.cellHeight} * settings.rows;
    if (auto problem = CanvasProblem(canvas_w, canvas_h)) {
      // A sheet that can never be saved is not worth grabbing for.
      Diagnose(kNoCanvas, *problem);
      return E_INVALIDARG;
    }

    Bitmap canvas(static_cast<int>(canvas_w), static_cast<int>(canvas_h), PixelFormat32bppARGB);
    if (canvas.get() == nullptr) {
      Diagnose(kNoCanvas, "size " + std::to_string(canvas_w) + "x" + std::to_string(canvas_h));
      return E_OUTOFMEMORY;
    }
    Graphics graphics(canvas);
    graphics.Clear(0xFF000000u | settings.bgcolor);
    graphics.SetCompositingMode(CompositingModeSourceOver);
    graphics.SetInterpolationMode(InterpolationModeHighQuality);

    double length = 0;
    source.ReadLength(&length);
    const std::int64_t cells = std::int64_t{settings.cols} * settings.rows;
    const double interval = length / static_cast<double>(cells + 2);
    double sample = interval;
    const ColorMatrix cm = SheetColorMatrix();

    std::int64_t drawn = 0;
    std::string grab_error;
    for (std::int32_t r = 0; r < settings.rows; ++r) {
      for (std::int32_t c = 0; c < settings.cols; ++c) {
        hr = source.Grab(sample);
        sample += interval;
        if (Failed(hr)) {
          grab_error = source.LastErrorText();
          continue;
        }
        std::uint8_t* record = source.frame_record();
        Bitmap frame(reinterpret_cast<const BITMAPINFO*>(record),
                     record + sizeof(BITMAPINFOHEADER));
        ImageAttributes attributes;
        attributes.SetColorMatrix(cm);
        const CellRect rc = FitFrame(c, r, settings.cellWidth, settings.cellHeight, src_w, src_h);
        graphics.DrawImage(frame, rc.x, rc.y, rc.width, rc.height, 0, 0, src_w, src_h, UnitPixel,
                           &attributes);
        Print("O");
        ++drawn;
      }
      Print("\r\n");
    }
    Print("\r\ncomplete\n");
    source.FreeFrameRecord();

    if (drawn == 0) {
      // An all-background sheet would only block the re-run that could make a real one.
      Diagnose(kNoFrame, grab_error);
      return Failed(hr) ? hr : E_FAIL;
    }
    const SaveOutcome saved = SaveSheet(canvas.get(), settings);
    switch (saved.kind) {
      case SaveOutcome::Kind::kWritten:
        *image_written = true;
        break;
      case SaveOutcome::Kind::kNoEncoder:
        Diagnose(kNoEncoder, saved.cause.empty() ? settings.format : saved.cause);
        break;
      case SaveOutcome::Kind::kFailed:
        Diagnose(kCannotSave, saved.cause);
        break;
    }
    return hr;
  } catch (...) {
    std::fflush(stdout);
    std::perror(ConsoleText(kCatchAll).c_str());
    source.FreeFrameRecord();
    *image_written = false;
    return E_OUTOFMEMORY;
  }
}
