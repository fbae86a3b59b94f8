// SPDX-License-Identifier: GPL-3.0-or-later
// An in-memory media detector for tests of the sheet: a configurable list of streams, a
// video stream of a given size and length, and frames whose solid colour tells which grab
// produced them. Every call is recorded.
#pragma once

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "frames/media_det.h"
#include "platform/imaging.h"

struct FakeMovie {
  std::int32_t width = 640;
  std::int32_t height = 480;
  double length = 14.0;
  std::vector<GUID> streams = {MEDIATYPE_Video};
  GUID format_type = FORMAT_VideoInfo;
  std::uint32_t format_size = kVideoInfoHeaderSize;
  HRESULT open_result = S_OK;
  std::set<int> failing_grabs;  ///< indices (0-based) of grabs that fail
  int grab_workers = 1;         ///< what SuggestedGrabWorkers answers
  /// Frames coloured by their time (FakeFrameColourAt) instead of by the order of the grabs,
  /// so that grabs on several threads give the same frames as one after the other.
  bool colour_by_time = false;
  double open_seconds = 0;  ///< how long opening takes
  double grab_seconds = 0;  ///< how long each grab takes
  double slow_before = 0;   ///< grabs before this time take five times as long
  /// With a positive length, GrabGroup answers floor(seconds / group_seconds): the movie's
  /// groups of pictures; otherwise -1 (every grab stands alone).
  double group_seconds = 0;
  /// Every frame wholly transparent: delivered in the colour its detector was handed to lay
  /// transparent frames over (IMediaDet::SetBackground).
  bool transparent = false;
};

/// The colour (0xRRGGBB) of the frame that grab number `index` delivers.
inline std::uint32_t FakeFrameColour(int index) {
  return 0x102030u + static_cast<std::uint32_t>(index) * 0x0B0905u;
}

/// The colour of the frame at `seconds` when the movie is coloured by time.
inline std::uint32_t FakeFrameColourAt(double seconds) {
  return FakeFrameColour(static_cast<int>(std::lround(seconds * 64.0)) % 4096);
}

/// What the fakes of one run saw; safe to share between fakes on several threads.
struct FakeLog {
  std::mutex mutex;
  std::vector<double> grab_times;   ///< in the order the grabs were made
  std::vector<int> grab_detectors;  ///< which detector (in order of making) made each grab
  std::vector<int> decode_threads;  ///< the threads each detector was last set to (-1: never)
  int made = 0;                     ///< detectors made
  int released = 0;                 ///< detectors destroyed
};

class FakeMediaDet : public IMediaDet {
 public:
  FakeMediaDet(FakeMovie movie, FakeLog* log) : movie_(std::move(movie)), log_(log) {
    std::lock_guard<std::mutex> lock(log_->mutex);
    id_ = log_->made++;
    log_->decode_threads.push_back(-1);
  }
  ~FakeMediaDet() override {
    std::lock_guard<std::mutex> lock(log_->mutex);
    ++log_->released;
  }

  HRESULT get_OutputStreams(std::int32_t* count) override {
    *count = static_cast<std::int32_t>(movie_.streams.size());
    return S_OK;
  }
  HRESULT put_CurrentStream(std::int32_t index) override {
    if (index < 0 || index >= static_cast<std::int32_t>(movie_.streams.size())) return E_INVALIDARG;
    current_ = index;
    return S_OK;
  }
  HRESULT get_StreamType(GUID* major_type) override {
    *major_type = movie_.streams[current_];
    return S_OK;
  }
  HRESULT get_StreamLength(double* seconds) override {
    *seconds = movie_.length;
    return S_OK;
  }
  HRESULT put_Filename(const char16_t*) override {
    std::this_thread::sleep_for(std::chrono::duration<double>(movie_.open_seconds));
    return movie_.open_result;
  }
  HRESULT OpenSameMovie(const IMediaDet&) override { return put_Filename(u""); }
  HRESULT GetBitmapBits(double seconds, std::int32_t* size, char* buffer, std::int32_t width,
                        std::int32_t height) override {
    const auto stride = static_cast<std::int32_t>(DibRowBytes(width, 24));
    const std::int32_t bytes = 40 + stride * height;
    if (buffer == nullptr) {
      if (size) *size = bytes;
      return S_OK;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(
        movie_.grab_seconds * (seconds < movie_.slow_before ? 5 : 1)));
    int index;
    {
      std::lock_guard<std::mutex> lock(log_->mutex);
      index = static_cast<int>(log_->grab_times.size());
      log_->grab_times.push_back(seconds);
      log_->grab_detectors.push_back(id_);
    }
    if (movie_.failing_grabs.count(index)) return E_FAIL;
    const BITMAPINFOHEADER h = Dib24Header(width, height);
    std::memcpy(buffer, &h, sizeof h);
    std::uint32_t rgb = movie_.colour_by_time ? FakeFrameColourAt(seconds) : FakeFrameColour(index);
    if (movie_.transparent) rgb = background_;
    for (std::int32_t y = 0; y < height; ++y) {
      std::uint8_t* row = reinterpret_cast<std::uint8_t*>(buffer) + 40 + y * stride;
      for (std::int32_t x = 0; x < width; ++x) {
        row[3 * x + 0] = rgb & 0xFF;
        row[3 * x + 1] = (rgb >> 8) & 0xFF;
        row[3 * x + 2] = (rgb >> 16) & 0xFF;
      }
    }
    return S_OK;
  }
  HRESULT get_StreamMediaType(AM_MEDIA_TYPE* mt) override {
    *mt = {};
    mt->majortype = movie_.streams[current_];
    mt->formattype = movie_.format_type;
    mt->cbFormat = movie_.format_size;
    mt->pbFormat = static_cast<std::uint8_t*>(CoTaskMemAlloc(movie_.format_size));
    std::memset(mt->pbFormat, 0, movie_.format_size);
    if (movie_.format_size >= kVideoInfoHeaderSize) {
      std::memcpy(mt->pbFormat + kVideoInfoWidthOffset, &movie_.width, 4);
      std::memcpy(mt->pbFormat + kVideoInfoHeightOffset, &movie_.height, 4);
    }
    return S_OK;
  }
  int SuggestedGrabWorkers(double) const override { return movie_.grab_workers; }
  std::int64_t GrabGroup(double seconds, double) const override {
    return movie_.group_seconds > 0
               ? static_cast<std::int64_t>(std::floor(seconds / movie_.group_seconds))
               : -1;
  }
  void SetDecodeThreads(int threads) override {
    std::lock_guard<std::mutex> lock(log_->mutex);
    log_->decode_threads[static_cast<std::size_t>(id_)] = threads;
  }
  void SetBackground(std::uint32_t rgb) override { background_ = rgb; }
  std::string LastErrorText() const override { return {}; }

 private:
  FakeMovie movie_;
  FakeLog* log_;
  int id_ = 0;
  std::int32_t current_ = 0;
  std::uint32_t background_ = 0;
};

/// A factory that makes a FakeMediaDet of `movie`, logging into `log`.
inline MediaDetFactory FakeFactory(const FakeMovie& movie, FakeLog* log) {
  return [movie, log](MediaDetPtr* out) {
    *out = std::make_unique<FakeMediaDet>(movie, log);
    return S_OK;
  };
}
