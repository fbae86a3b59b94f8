// SPDX-License-Identifier: GPL-3.0-or-later
#include "sheet/sheet_generator.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "frames/display_geometry.h"
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
// The results fit the cell and so 32 bits.
CellRect FitFrame(std::int32_t col, std::int32_t row, std::int32_t cell_w, std::int32_t cell_h,
                  std::int32_t src_w, std::int32_t src_h) {
  if (src_w == 0 || src_h == 0) throw ComError(E_FAIL, "zero source size");
  const FittedSize fit = FitInto(src_w, src_h, cell_w, cell_h);
  CellRect rc;
  rc.width = static_cast<std::int32_t>(fit.width);
  rc.height = static_cast<std::int32_t>(fit.height);
  rc.x = col * cell_w + (cell_w - rc.width) / 2;
  rc.y = row * cell_h + (cell_h - rc.height) / 2;
  return rc;
}

// Larger sheets than the imaging layer's canvas limits are refused before any grab.
std::optional<std::string> CanvasProblem(std::int64_t width, std::int64_t height) {
  if (width <= 0 || height <= 0)
    return "size " + std::to_string(width) + "x" + std::to_string(height);
  if (width > kMaxCanvasSide || height > kMaxCanvasSide || width * height * 4 > kMaxCanvasBytes)
    return "size " + std::to_string(width) + "x" + std::to_string(height) + " too large";
  return std::nullopt;
}

using Clock = std::chrono::steady_clock;

// Opening a source this fast makes another detector worth starting with the first.
constexpr double kCheapOpenSeconds = 0.02;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Frame records the ring may hold at once, in bytes; the count is kept between one more than
// the workers and kMaxFramesInFlight. Frames grabbed at cell size are small, so a worker can
// run a job or two ahead of the drawing.
constexpr std::size_t kRingBytes = std::size_t{48} << 20;

// Grabs the cells on worker threads, each with its own frame source, into a ring of
// FrameRecords, and hands them to the drawing thread in reading order, so that drawing a cell
// overlaps grabbing the next. The cells are dealt out in jobs: a run of consecutive cells whose
// grabs decode from the same group of pictures (IMediaDet::GrabGroup), grabbed one after the
// other by one worker so that they share their decoding; the workers take the jobs in time
// order. A worker grabs a cell (at the next sample time of the clock) only when the record the
// cell takes in the ring has been drawn, so the frames held never grow with the grid.
class GrabPipeline {
 public:
  struct Slot {
    std::int64_t cell = -1;
    bool ready = false;
    HRESULT hr = S_OK;
    std::string error;
    std::exception_ptr failure;
    double seconds = 0;  // the grab took
    FrameRecord record;
  };

  // The first worker grabs with `main`, already open; the others open `src` themselves and
  // leave the work to the rest when they cannot. With `start_at_once`, or when opening `main`
  // took less than kCheapOpenSeconds (`open_seconds`), all of `workers` start now: their
  // start-up runs beside the first worker's. Otherwise (a long movie's large index, say) the
  // others start only once the first worker's grabs show that they pay for it. Every source
  // grabs at `main`'s grab size and decodes with `decode_threads` threads.
  GrabPipeline(FrameSource& main, const MediaDetFactory& factory, const std::string& src,
               int workers, bool start_at_once, double open_seconds, std::int64_t cells,
               double interval, double tolerance, std::size_t record_bytes, int decode_threads)
      : factory_(factory),
        src_(src),
        cells_(cells),
        interval_(interval),
        tolerance_(tolerance),
        sample_(interval),
        width_(main.width()),
        height_(main.height()),
        grab_width_(main.grab_width()),
        grab_height_(main.grab_height()),
        decode_threads_(decode_threads),
        workers_(workers),
        open_seconds_(open_seconds),
        slots_(RingSlots(workers, record_bytes, cells)) {
    for (Slot& slot : slots_) slot.record = FrameRecord(record_bytes);
    live_ = 1;
    threads_.emplace_back([this, &main] { Work(&main); });
    if (start_at_once || open_seconds < kCheapOpenSeconds) StartOthers();
  }

  ~GrabPipeline() {
    {
      std::lock_guard<std::mutex> lock(m_);
      stop_ = true;
    }
    cv_.notify_all();
    for (std::thread& t : threads_) t.join();
  }

  GrabPipeline(const GrabPipeline&) = delete;
  GrabPipeline& operator=(const GrabPipeline&) = delete;

  // Waits for `cell`; rethrows what its grab threw.
  Slot& Wait(std::int64_t cell) {
    Slot& slot = SlotOf(cell);
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [&] { return (slot.ready && slot.cell == cell) || live_ == 0; });
    if (cell == 0 && slot.ready && slot.cell == 0) first_grab_seconds_ = slot.seconds;
    if (cell == 1 && threads_.size() == 1 && workers_ > 1 && slot.ready && slot.cell == 1 &&
        Succeeded(slot.hr)) {
      // Cell 0 took the first worker's start-up besides its grab, cell 1 a grab alone. Another
      // worker needs about both start-ups before it grabs, and slows the first meanwhile; it
      // is started when the cells no worker has taken yet would keep the first busy twice as
      // long as that.
      const double startup = open_seconds_ + first_grab_seconds_;
      const double left = static_cast<double>(cells_ - next_cell_) * slot.seconds;
      if (left > 2 * startup) {
        lock.unlock();
        StartOthers();
        lock.lock();
      }
    }
    if (!(slot.ready && slot.cell == cell)) {
      slot.hr = E_UNEXPECTED;
      slot.error = "no grab for this cell";
      slot.failure = nullptr;
    } else if (slot.failure) {
      std::rethrow_exception(slot.failure);
    }
    return slot;
  }

  // The cell is drawn: its record may take the next one.
  void Release(std::int64_t cell) {
    {
      std::lock_guard<std::mutex> lock(m_);
      Slot& slot = SlotOf(cell);
      slot.ready = false;
      slot.cell = -1;
      released_ = cell + 1;
    }
    cv_.notify_all();
  }

 private:
  // Consecutive cells [first, end), the first at `start` seconds.
  struct Job {
    std::int64_t first = 0, end = 0;
    double start = 0;
  };

  static std::size_t RingSlots(int workers, std::size_t record_bytes, std::int64_t cells) {
    std::size_t n = kRingBytes / std::max<std::size_t>(record_bytes, 1);
    n = std::clamp<std::size_t>(n, static_cast<std::size_t>(workers) + 1, kMaxFramesInFlight);
    return static_cast<std::size_t>(
        std::clamp<std::int64_t>(cells, 1, static_cast<std::int64_t>(n)));
  }

  Slot& SlotOf(std::int64_t cell) {
    return slots_[static_cast<std::size_t>(cell % static_cast<std::int64_t>(slots_.size()))];
  }

  void StartOthers() {
    for (int i = 1; i < workers_; ++i) {
      try {
        {
          std::lock_guard<std::mutex> lock(m_);
          ++live_;
        }
        threads_.emplace_back([this] { WorkOnOwnSource(); });
      } catch (const std::system_error&) {
        std::lock_guard<std::mutex> lock(m_);
        --live_;
        break;
      }
    }
  }

  void WorkOnOwnSource() {
    FrameSource own(factory_);
    const bool usable = Succeeded(own.Open(src_)) && Succeeded(own.SelectFirstVideoStream()) &&
                        Succeeded(own.ReadFrameSize()) && own.width() == width_ &&
                        own.height() == height_;
    if (usable) {
      own.SetGrabSize(grab_width_, grab_height_);
      own.detector()->SetDecodeThreads(decode_threads_);
      Work(&own);
      return;
    }
    {
      std::lock_guard<std::mutex> lock(m_);
      --live_;
    }
    cv_.notify_all();
  }

  // The next job, with the cells after it that share its group; under the lock. The sample
  // clock advances cell by cell, as the grabs' times do.
  bool TakeJob(FrameSource* source, Job* job) {
    if (next_cell_ >= cells_) return false;
    IMediaDet* det = source->detector();
    job->first = next_cell_;
    job->start = sample_;
    const std::int64_t group = det->GrabGroup(sample_, tolerance_);
    do {
      ++next_cell_;
      sample_ += interval_;
    } while (group >= 0 && next_cell_ < cells_ && det->GrabGroup(sample_, tolerance_) == group);
    job->end = next_cell_;
    return true;
  }

  void Work(FrameSource* source) {
    for (bool more = true; more;) {
      Job job;
      {
        std::lock_guard<std::mutex> lock(m_);
        more = !stop_ && TakeJob(source, &job);
      }
      double time = job.start;
      for (std::int64_t cell = job.first; more && cell < job.end; ++cell, time += interval_) {
        {
          std::unique_lock<std::mutex> lock(m_);
          cv_.wait(lock, [&] {
            return stop_ || cell < released_ + static_cast<std::int64_t>(slots_.size());
          });
          if (stop_) {
            more = false;
            break;
          }
        }
        Slot& slot = SlotOf(cell);
        HRESULT hr = E_FAIL;
        std::string error;
        std::exception_ptr failure;
        const Clock::time_point started = Clock::now();
        try {
          hr = source->GrabNear(time, tolerance_, slot.record.data());
          if (Failed(hr)) error = source->LastErrorText();
        } catch (...) {
          failure = std::current_exception();
        }
        {
          std::lock_guard<std::mutex> lock(m_);
          slot.cell = cell;
          slot.hr = hr;
          slot.error = std::move(error);
          slot.failure = failure;
          slot.seconds = SecondsSince(started);
          slot.ready = true;
        }
        cv_.notify_all();
      }
    }
    {
      std::lock_guard<std::mutex> lock(m_);
      --live_;
    }
    cv_.notify_all();
  }

  const MediaDetFactory& factory_;
  const std::string src_;
  const std::int64_t cells_;
  const double interval_;
  const double tolerance_;
  double sample_;
  const std::int32_t width_;
  const std::int32_t height_;
  const std::int32_t grab_width_;
  const std::int32_t grab_height_;
  const int decode_threads_;
  const int workers_;
  const double open_seconds_;
  double first_grab_seconds_ = 0;
  std::vector<Slot> slots_;
  std::mutex m_;
  std::condition_variable cv_;
  std::int64_t next_cell_ = 0;  // the first cell no worker has taken
  std::int64_t released_ = 0;
  int live_ = 0;
  bool stop_ = false;
  std::vector<std::thread> threads_;
};

// The system error number of the exception being handled, for the catch-all line: what
// happened, never what a call long before left in errno.
int ErrnoOfCurrentException() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  } catch (const std::system_error& e) {
    return e.code().category() == std::generic_category() ||
                   e.code().category() == std::system_category()
               ? e.code().value()
               : EIO;
  } catch (const ComError& e) {
    if (e.code() == E_OUTOFMEMORY) return ENOMEM;
    if ((static_cast<std::uint32_t>(e.code()) & 0xFFFF0000u) == 0x80070000u)
      return static_cast<int>(e.code() & 0xFFFF);
    return EINVAL;
  } catch (...) {
    return EIO;
  }
}

}  // namespace

HRESULT SheetGenerator(RunSettings& settings, bool* image_written, const MediaDetFactory& factory,
                       int grab_workers) {
  *image_written = false;
  FrameSource source(factory);

  const Clock::time_point open_started = Clock::now();
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
  const double open_seconds = SecondsSince(open_started);
  HRESULT hr = S_OK;
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
    if (auto problem = SaveSizeProblem(settings.format, canvas_w, canvas_h)) {
      Diagnose(kCannotSave, *problem);  // as the save would, but before any grab
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

    // Frames are grabbed at the size they are drawn, so that the detector's one scaling pass
    // does the colour conversion too. A rectangle under a pixel wide or high still takes a
    // grab of one, and draws nothing.
    const CellRect fit = FitFrame(0, 0, settings.cellWidth, settings.cellHeight, src_w, src_h);
    const std::int32_t box_w = std::max(fit.width, 1);
    const std::int32_t box_h = std::max(fit.height, 1);
    source.SetGrabSize(box_w, box_h);
    hr = source.AllocateFrameRecord();
    if (Failed(hr)) {
      Diagnose(kNoFrame, source.LastErrorText());
      return hr;
    }

    double length = 0;
    source.ReadLength(&length);
    const std::int64_t cells = std::int64_t{settings.cols} * settings.rows;
    const double interval = length / static_cast<double>(cells + 2);
    // A quarter of the interval either side keeps the cells in order and apart, and cannot
    // be seen on a sheet without timestamps; inside it the detector takes the cheapest frame.
    const double tolerance = interval / 4;
    const ColorMatrix cm = SheetColorMatrix();

    // Workers the caller asks for all start at once; those the detector suggests start when
    // they pay. Cells that all decode from one group of pictures are one job for one
    // detector, which then decodes with the codec's threads; otherwise each detector decodes
    // on one thread and the workers share the cores.
    IMediaDet* det = source.detector();
    const bool start_at_once = grab_workers > 0;
    if (grab_workers <= 0) grab_workers = det->SuggestedGrabWorkers(interval);
    const std::int64_t first_group = det->GrabGroup(interval, tolerance);
    const bool one_group =
        cells == 1 ||
        (first_group >= 0 && first_group == det->GrabGroup(interval * cells, tolerance));
    if (one_group && !start_at_once) grab_workers = 1;
    grab_workers = static_cast<int>(
        std::clamp<std::int64_t>(std::min<std::int64_t>(grab_workers, cells), 1, kMaxGrabWorkers));
    det->SetDecodeThreads(grab_workers > 1 && !one_group ? 1 : 0);

    std::int64_t drawn = 0;
    std::string grab_error;
    auto draw = [&](std::int32_t r, std::int32_t c, std::uint8_t* record) {
      BITMAPINFOHEADER got;
      std::memcpy(&got, record, sizeof got);
      const std::int32_t got_h = got.biHeight < 0 ? -got.biHeight : got.biHeight;
      // The record holds a grab of box_w x box_h at most; anything else is no frame.
      if (got.biWidth <= 0 || got.biWidth > box_w || got_h <= 0 || got_h > box_h) {
        grab_error = "the frame has a wrong size";
        return;
      }
      Bitmap frame(reinterpret_cast<const BITMAPINFO*>(record), record + sizeof(BITMAPINFOHEADER));
      ImageAttributes attributes;
      attributes.SetColorMatrix(cm);
      CellRect rc = FitFrame(c, r, settings.cellWidth, settings.cellHeight, src_w, src_h);
      // A frame of another shape than the stream's (it changed mid-stream) comes fitted into
      // the box with its own aspect; it is fitted into its cell the same way.
      if (got.biWidth != box_w || got_h != box_h)
        rc = FitFrame(c, r, settings.cellWidth, settings.cellHeight, got.biWidth, got_h);
      graphics.DrawImage(frame, rc.x, rc.y, rc.width, rc.height, 0, 0, got.biWidth, got_h,
                         UnitPixel, &attributes);
      Print("O");
      ++drawn;
    };
    if (start_at_once && grab_workers == 1) {
      double sample = interval;
      for (std::int32_t r = 0; r < settings.rows; ++r) {
        for (std::int32_t c = 0; c < settings.cols; ++c) {
          hr = source.GrabNear(sample, tolerance);
          sample += interval;
          if (Failed(hr)) {
            grab_error = source.LastErrorText();
            continue;
          }
          draw(r, c, source.frame_record());
        }
        Print("\r\n");
      }
      Print("\r\ncomplete\n");
      source.FreeFrameRecord();
    } else {
      // The pipeline's records take the place of the source's own.
      const std::size_t record_bytes = static_cast<std::size_t>(source.frame_record_size());
      source.FreeFrameRecord();
      {
        GrabPipeline pipeline(source, factory, settings.src, grab_workers, start_at_once,
                              open_seconds, cells, interval, tolerance, record_bytes,
                              grab_workers > 1 && !one_group ? 1 : 0);
        std::int64_t cell = 0;
        for (std::int32_t r = 0; r < settings.rows; ++r) {
          for (std::int32_t c = 0; c < settings.cols; ++c, ++cell) {
            GrabPipeline::Slot& slot = pipeline.Wait(cell);
            hr = slot.hr;
            if (Failed(hr))
              grab_error = slot.error;
            else
              draw(r, c, slot.record.data());
            pipeline.Release(cell);
          }
          Print("\r\n");
        }
        Print("\r\ncomplete\n");
      }
    }

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
    const int cause = ErrnoOfCurrentException();
    std::fflush(stdout);
    const std::string line = ConsoleText(kCatchAll);
    errno = cause;
    std::perror(line.c_str());
    source.FreeFrameRecord();
    *image_written = false;
    return E_OUTOFMEMORY;
  }
}
