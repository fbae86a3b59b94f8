// SPDX-License-Identifier: GPL-3.0-or-later
#include "sheet/grab_pipeline.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "frames/frame_record.h"
#include "sheet/dull_frames.h"

namespace {

using Clock = std::chrono::steady_clock;

// Opening a source this fast makes another detector worth starting with the first.
constexpr double kCheapOpenSeconds = 0.02;

// Frame records the ring may hold at once, in bytes; the count is kept between one more than
// the workers and kMaxFramesInFlight. Frames grabbed at cell size are small, so a worker can
// run a job or two ahead of the drawing.
constexpr std::size_t kRingBytes = std::size_t{48} << 20;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A cell's frame, into `record` (the source's own when null): whichever frame within the plan's
// tolerance of `time` the detector reaches at least cost, or in place of a dull one the first
// lively one of that window when the plan says so. *frame_time is when the frame starts. Both
// ways of grabbing take it here.
HRESULT GrabCell(FrameSource& source, const GrabPlan& plan, double time, double* frame_time,
                 std::uint8_t* record = nullptr) {
  const HRESULT hr = source.GrabNear(time, plan.tolerance, record);
  if (Failed(hr)) return hr;
  *frame_time = source.LastFrameTimes().start;
  if (plan.skip_dull) {
    PassOverDullFrame(source, time, plan.tolerance, record ? record : source.frame_record(),
                      plan.record_bytes, frame_time);
  }
  return hr;
}

// The one detector grabs each cell when the drawing asks for it, into the source's own record.
class GrabsOnDrawingThread final : public CellGrabs {
 public:
  GrabsOnDrawingThread(FrameSource& source, const GrabPlan& plan)
      : source_(source), plan_(plan), sample_(plan.interval) {}
  ~GrabsOnDrawingThread() override { source_.FreeFrameRecord(); }

  CellGrab Take(std::int64_t) override {
    CellGrab grab;
    grab.hr = GrabCell(source_, plan_, sample_, &grab.frame_time);
    sample_ += plan_.interval;
    if (Failed(grab.hr))
      grab.error = source_.LastErrorText();
    else
      grab.record = source_.frame_record();
    return grab;
  }

  void Release(std::int64_t) override {}

 private:
  FrameSource& source_;
  const GrabPlan plan_;
  double sample_;
};

// Grabs the cells on worker threads, each with its own frame source, into a ring of
// FrameRecords, and hands them to the drawing thread in reading order, so that drawing a cell
// overlaps grabbing the next. The cells are dealt out in jobs: a run of consecutive cells whose
// grabs decode from the same group of pictures (FrameSource::GrabGroup), grabbed one after the
// other by one worker so that they share their decoding; the workers take the jobs in time
// order. A worker grabs a cell (at the next sample time of the clock) only when the record the
// cell takes in the ring has been drawn, so the frames held never grow with the grid.
class GrabPipeline final : public CellGrabs {
 public:
  // The first worker grabs with `main`; the others open the file `main` has open (never the
  // name again: it may name another file by now) and leave the work to the rest when they
  // cannot. With plan.start_at_once, or when opening `main` took less
  // than kCheapOpenSeconds, all the workers start now: their start-up runs beside the first
  // worker's. Otherwise (a long movie's large index, say) the others start only once the first
  // worker's grabs show that they pay for it. Every source grabs at `main`'s grab size.
  GrabPipeline(FrameSource& main, const MediaDetFactory& factory, const GrabPlan& plan)
      : main_(main),
        factory_(factory),
        plan_(plan),
        sample_(plan.interval),
        width_(main.width()),
        height_(main.height()),
        grab_width_(main.grab_width()),
        grab_height_(main.grab_height()),
        background_(main.background()),
        slots_(RingSlots(plan)) {
    for (Slot& slot : slots_) slot.record = FrameRecord(plan_.record_bytes);
    live_ = 1;
    threads_.emplace_back([this] { RunWorker([this] { Work(&main_); }); });
    if (plan_.start_at_once || plan_.open_seconds < kCheapOpenSeconds) StartOthers();
  }

  ~GrabPipeline() override {
    {
      std::lock_guard<std::mutex> lock(m_);
      stop_ = true;
    }
    cv_.notify_all();
    for (std::thread& t : threads_) t.join();
  }

  GrabPipeline(const GrabPipeline&) = delete;
  GrabPipeline& operator=(const GrabPipeline&) = delete;

  CellGrab Take(std::int64_t cell) override {
    Slot& slot = SlotOf(cell);
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [&] { return (slot.ready && slot.cell == cell) || live_ == 0 || failure_; });
    if (failure_) std::rethrow_exception(failure_);
    if (cell == 0 && slot.ready && slot.cell == 0) first_grab_seconds_ = slot.seconds;
    if (cell == 1 && threads_.size() == 1 && plan_.workers > 1 && slot.ready && slot.cell == 1 &&
        Succeeded(slot.hr)) {
      // Cell 0 took the first worker's start-up besides its grab, cell 1 a grab alone. Another
      // worker needs about both start-ups before it grabs, and slows the first meanwhile; it
      // is started when the cells no worker has taken yet would keep the first busy twice as
      // long as that.
      const double startup = plan_.open_seconds + first_grab_seconds_;
      const double left = static_cast<double>(plan_.cells - next_cell_) * slot.seconds;
      if (left > 2 * startup) {
        lock.unlock();
        StartOthers();
        lock.lock();
      }
    }
    CellGrab grab;
    if (!(slot.ready && slot.cell == cell)) {
      grab.hr = E_UNEXPECTED;
      grab.error = "no grab for this cell";
      return grab;
    }
    if (slot.failure) std::rethrow_exception(slot.failure);
    grab.hr = slot.hr;
    if (Failed(grab.hr)) {
      grab.error = slot.error;
    } else {
      grab.record = slot.record.data();
      grab.frame_time = slot.frame_time;
    }
    return grab;
  }

  void Release(std::int64_t cell) override {
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
  struct Slot {
    std::int64_t cell = -1;
    bool ready = false;
    HRESULT hr = S_OK;
    std::string error;
    std::exception_ptr failure;
    double seconds = 0;  // the grab took
    double frame_time = 0;
    FrameRecord record;
  };

  // Consecutive cells [first, end), the first at `start` seconds.
  struct Job {
    std::int64_t first = 0, end = 0;
    double start = 0;
  };

  static std::size_t RingSlots(const GrabPlan& plan) {
    std::size_t n = kRingBytes / std::max<std::size_t>(plan.record_bytes, 1);
    n = std::clamp<std::size_t>(n, static_cast<std::size_t>(plan.workers) + 1, kMaxFramesInFlight);
    return static_cast<std::size_t>(
        std::clamp<std::int64_t>(plan.cells, 1, static_cast<std::int64_t>(n)));
  }

  Slot& SlotOf(std::int64_t cell) {
    return slots_[static_cast<std::size_t>(cell % static_cast<std::int64_t>(slots_.size()))];
  }

  void StartOthers() {
    for (int i = 1; i < plan_.workers; ++i) {
      try {
        {
          std::lock_guard<std::mutex> lock(m_);
          ++live_;
        }
        threads_.emplace_back([this] { RunWorker([this] { WorkOnOwnSource(); }); });
      } catch (const std::exception&) {
        // No thread (or no memory for one): the workers that run do the work.
        std::lock_guard<std::mutex> lock(m_);
        --live_;
        break;
      }
    }
  }

  // A worker's whole life. Whatever it throws outside a grab (no memory for a helper's own
  // index of the movie, say) ends its work and reaches the drawing thread, whose next Take
  // rethrows it.
  template <typename Body>
  void RunWorker(Body body) {
    try {
      body();
    } catch (...) {
      {
        std::lock_guard<std::mutex> lock(m_);
        if (!failure_) failure_ = std::current_exception();
        --live_;
      }
      cv_.notify_all();
    }
  }

  void WorkOnOwnSource() {
    FrameSource own(factory_);
    const bool usable = Succeeded(own.OpenSameMovie(main_)) &&
                        Succeeded(own.SelectFirstVideoStream()) && Succeeded(own.ReadFrameSize()) &&
                        own.width() == width_ && own.height() == height_;
    if (usable) {
      own.SetGrabSize(grab_width_, grab_height_);
      own.SetBackground(background_);
      own.SetDecodeThreads(plan_.decode_threads);
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
    if (next_cell_ >= plan_.cells) return false;
    job->first = next_cell_;
    job->start = sample_;
    const std::int64_t group = source->GrabGroup(sample_, plan_.tolerance);
    do {
      ++next_cell_;
      sample_ += plan_.interval;
    } while (group >= 0 && next_cell_ < plan_.cells &&
             source->GrabGroup(sample_, plan_.tolerance) == group);
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
      for (std::int64_t cell = job.first; more && cell < job.end; ++cell, time += plan_.interval) {
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
        double frame_time = 0;
        const Clock::time_point started = Clock::now();
        try {
          // Frames passed over for being dull are sought from each grab's frame on.
          source->SetMoreOfGroupToFollow(cell + 1 < job.end && !plan_.skip_dull);
          hr = GrabCell(*source, plan_, time, &frame_time, slot.record.data());
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
          slot.frame_time = frame_time;
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

  FrameSource& main_;
  const MediaDetFactory& factory_;
  const GrabPlan plan_;
  double sample_;
  const std::int32_t width_;
  const std::int32_t height_;
  const std::int32_t grab_width_;
  const std::int32_t grab_height_;
  const std::uint32_t background_;  // under transparent frames
  double first_grab_seconds_ = 0;
  std::vector<Slot> slots_;
  std::mutex m_;
  std::condition_variable cv_;
  std::int64_t next_cell_ = 0;  // the first cell no worker has taken
  std::int64_t released_ = 0;
  int live_ = 0;
  bool stop_ = false;
  std::exception_ptr failure_;  // what a worker threw outside its grabs
  std::vector<std::thread> threads_;
};

}  // namespace

std::unique_ptr<CellGrabs> StartGrabs(FrameSource& source, const MediaDetFactory& factory,
                                      const GrabPlan& plan) {
  source.SetDecodeThreads(plan.decode_threads);
  if (plan.OnDrawingThread()) return std::make_unique<GrabsOnDrawingThread>(source, plan);
  // The pipeline's records take the place of the source's own.
  source.FreeFrameRecord();
  return std::make_unique<GrabPipeline>(source, factory, plan);
}
