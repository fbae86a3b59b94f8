// SPDX-License-Identifier: GPL-3.0-or-later
// The movie a detector has open, shared by the detector's operations and its grabs: the
// demuxer, the keyframe index, the decode cursor, what proved unreadable, and the stream
// origins shared with the other detectors of the same open file.
#pragma once

extern "C" {
#include <libavutil/avutil.h>
}

#include <condition_variable>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "frames/demuxer.h"
#include "frames/ffmpeg_media_det.h"
#include "frames/keyframe_index.h"
#include "frames/video_decoder.h"

// The time of each stream's first picture, once a detector's decoder has found it, for the
// other detectors of the same open movie (they may run on other threads): each decoder would
// otherwise decode that picture once more before seeking to its own grabs. One detector at a
// time looks for it; the others wait for its answer, which comes after one picture.
class StreamOrigins {
 public:
  // The origin of `stream`, waiting while another detector looks for it; AV_NOPTS_VALUE when
  // none was found, and then the caller looks for it and must call Found. A search that
  // failed (the stream's first picture cannot be reached) fails for every detector alike, as
  // *failed and *why say: whether a grab succeeds must not depend on which detector made it.
  std::int64_t FindOrLook(int stream, HRESULT* failed, std::string* why) {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [&] { return looking_.count(stream) == 0; });
    if (const auto failure = failures_.find(stream); failure != failures_.end()) {
      *failed = failure->second.first;
      *why = failure->second.second;
      return AV_NOPTS_VALUE;
    }
    const auto found = origins_.find(stream);
    if (found != origins_.end()) return found->second;
    looking_.insert(stream);
    return AV_NOPTS_VALUE;
  }
  // Ends the caller's search, with the origin, or with its failure `hr` for `why` (memory
  // that ran out may be had by the next one to look).
  void Found(int stream, std::int64_t origin, HRESULT hr, const std::string& why) {
    {
      std::lock_guard<std::mutex> lock(m_);
      looking_.erase(stream);
      if (Succeeded(hr) && origin != AV_NOPTS_VALUE) origins_.emplace(stream, origin);
      if (Failed(hr) && hr != E_OUTOFMEMORY) failures_.emplace(stream, std::make_pair(hr, why));
    }
    cv_.notify_all();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::map<int, std::int64_t> origins_;
  std::map<int, std::pair<HRESULT, std::string>> failures_;
  std::set<int> looking_;
};

struct FfmpegMediaDet::OpenMovie {
  std::unique_ptr<Demuxer> demuxer;
  std::shared_ptr<StreamOrigins> origins;  // shared with the detectors of OpenSameMovie
  std::int64_t pictures_decoded = 0;       // by the decoders let go so far
  std::int64_t packets_decoded = 0;        // sent to them
  KeyframeIndex keyframes;                 // of the streams chosen so far
  int current = -1;                        // the stream put_CurrentStream chose
  // The group of pictures (GrabGroup) the last windowed grab decoded from, or -1, and the
  // times of the grabs made in it so far.
  std::int64_t last_group = -1;
  std::vector<double> group_times;
  // The decode cursor of the current stream, kept between grabs; the first grab opens it.
  std::unique_ptr<VideoDecoder> decoder;
  // The current stream proved unreadable from this time on (-infinity: no decoder could even
  // open on it): a grab there failed after reading to the end of the file, and every later
  // one would read the same bytes to the same end. They fail at once with the same cause.
  int unreadable_stream = -1;
  double unreadable_from = 0;
  HRESULT unreadable_hr = S_OK;
  std::string unreadable_error;

  AVStream* Stream(int index) const { return demuxer->stream(index); }
  bool CurrentIsVideo() const { return current >= 0 && demuxer->IsMovie(current); }
  void NoteUnreadable(double from, HRESULT hr, const std::string& error) {
    // Running out of memory may pass; and a stream noted once keeps its earliest time.
    if (hr == E_OUTOFMEMORY || (unreadable_stream == current && unreadable_from <= from)) return;
    unreadable_stream = current;
    unreadable_from = from;
    unreadable_hr = hr;
    unreadable_error = error;
  }
};
