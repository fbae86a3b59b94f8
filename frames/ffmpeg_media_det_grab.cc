// SPDX-License-Identifier: GPL-3.0-or-later
// The detector's grab: a keyframe decoded alone, decoding on, or seeking, retried further back
// when a seek lands too late, a grab made again on one thread once damage shows, and the
// delivery of the picture as a FrameRecord with the times of the frame delivered.
#include "frames/ffmpeg_media_det.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "frames/display_geometry.h"
#include "frames/keyframe_index.h"
#include "frames/open_movie.h"
#include "frames/video_decoder.h"

namespace {

// Seeks that land after the target are retried this often, each time further back; the
// last resort is the start of the stream.
constexpr int kMaxSeekRetries = 5;

}  // namespace

HRESULT FfmpegMediaDet::Grab(double seconds, double tolerance, std::int32_t* size, char* buffer,
                             std::int32_t width, std::int32_t height) {
  const std::int32_t bytes = FrameRecordSize(width, height);
  if (bytes == 0) return Fail(E_INVALIDARG, "bad picture size");
  if (size != nullptr) *size = bytes;
  if (buffer == nullptr) return size != nullptr ? S_OK : E_POINTER;
  if (!movie_ || movie_->current < 0) return Fail(E_UNEXPECTED, "no current stream");
  OpenMovie& movie = *movie_;
  if (!movie.CurrentIsVideo())
    return Fail(VFW_E_INVALIDMEDIATYPE, "the current stream is not video");
  if (movie.unreadable_stream == movie.current && !(seconds < movie.unreadable_from))
    return Fail(movie.unreadable_hr, movie.unreadable_error);
  if (!movie.decoder || movie.decoder->stream() != movie.current) {
    if (HRESULT hr = OpenDecoder(); Failed(hr)) return hr;
  }
  const bool more_of_group = more_of_group_;
  more_of_group_ = false;
  HRESULT grabbed = GrabAt(seconds, tolerance, more_of_group);
  if (movie.decoder->MetDamage() && !one_thread_ && decode_threads_ != 1) {
    // A decoder running threads of its own conceals damage with whatever its other threads
    // had reached by then, differently from run to run. Once damage shows, the movie is
    // decoded on one thread, and the grab made again as one thread makes it: after the grabs
    // of its group of pictures that came before it, as a detector of its own would have.
    one_thread_ = true;
    std::vector<double> before = movie.group_times;
    if (!before.empty()) before.pop_back();
    if (HRESULT hr = OpenDecoder(); Failed(hr)) return hr;
    for (double t : before)
      if (Failed(GrabAt(t, tolerance, true))) break;
    grabbed = GrabAt(seconds, tolerance, more_of_group);
  }
  if (HRESULT hr = grabbed; Failed(hr)) {
    if (movie.decoder->ReachedEndOfFile() && !std::isnan(seconds))
      movie.NoteUnreadable(seconds, hr, error_);
    return hr;
  }
  if (HRESULT hr = Deliver(width, height, reinterpret_cast<std::uint8_t*>(buffer)); Failed(hr))
    return hr;
  NoteFrameTimes();
  return S_OK;
}

// The picture to show for `seconds`, as the decoder's shown picture. With a tolerance, any
// frame within that many seconds of it will do: the keyframe the index lists nearest to it, or
// in a file without an index the first keyframe in the window, decoded alone, when there is
// one; otherwise the first picture inside the window, reached by decoding forward (or the
// frame shown at `seconds` when no picture starts in the window before it). The choice
// depends only on the time and the tolerance, never on what was decoded before.
HRESULT FfmpegMediaDet::GrabAt(double seconds, double tolerance, bool more_of_group) {
  VideoDecoder& dec = *movie_->decoder;
  const AVStream* st = movie_->Stream(dec.stream());
  const KeyframeTable& keys = movie_->keyframes.Table(dec.stream());
  const GrabPlan plan = PlanGrab(seconds, tolerance, ClockOf(st, dec.origin()), keys);
  const std::int64_t target = plan.target;
  // Nor does the picture depend on what was decoded before, damage included: a windowed grab
  // decodes on from the last one only within the group of pictures that one decoded from (one
  // job of the sheet's grabs, taken in time order by one detector, whichever); any other
  // starts from a seek of its own, which leaves the decoder's earlier state behind. Exact
  // grabs decode on wherever that is cheaper.
  const std::int64_t group = tolerance > 0 ? GrabGroup(seconds, tolerance) : -1;
  const bool may_decode_on = !(tolerance > 0) || (group >= 0 && group == movie_->last_group);
  if (!may_decode_on) movie_->group_times.clear();
  if (tolerance > 0) movie_->group_times.push_back(seconds);
  movie_->last_group = group;

  // The picture at hand already answers a repeated time, or a window in which no picture
  // starts (a gap in the recording, where the picture before it is held).
  if (dec.ShowsFrameAt(target) &&
      (!plan.take_first_in_window || dec.shown_time() <= plan.decode_to))
    return S_OK;
  if (dec.HoldsLoneKeyframeAt(target)) return S_OK;

  if (plan.nearest_keyframe >= 0) {
    bool in_window = false;
    // A keyframe decoded alone is decoded again by a grab that decodes on from it; with such
    // grabs to come it is decoded on from here. Not an interlaced one: the picture after it
    // would change how it is deinterlaced. Whatever else comes of it (a failure to read on,
    // say) is settled as before, with the keyframe alone.
    if (more_of_group && !IsInterlaced(st->codecpar)) {
      std::string why;
      const HRESULT hr = dec.DecodeKeyframeOnward(plan.keyframe_seek, target - plan.half_window,
                                                  target + plan.half_window, &in_window, &why);
      if (Succeeded(hr) && in_window && !IsInterlaced(dec.shown())) return S_OK;
    }
    if (HRESULT hr = dec.DecodeKeyframeAlone(plan.keyframe_seek, target - plan.half_window,
                                             target + plan.half_window, &in_window, &error_);
        Failed(hr))
      return hr;
    if (in_window) return S_OK;
  } else if (keys.times.empty() && plan.half_window > 0) {
    bool in_window = false;
    if (HRESULT hr = dec.DecodeFirstKeyframeIn(target - plan.half_window, target + plan.half_window,
                                               &in_window, &error_);
        Failed(hr))
      return hr;
    if (in_window) return S_OK;
  }
  // The shown picture is the last one not after decode_to; the next one is taken instead when
  // it lies in the window and not after the target.
  auto settle = [&] {
    if (plan.take_first_in_window && dec.has_next() && dec.next_time() <= target) dec.ShowNext();
  };
  if (may_decode_on && dec.CheapToDecodeOn(plan.decode_to, !keys.times.empty())) {
    if (HRESULT hr = dec.DecodeTo(plan.decode_to, &error_); Failed(hr)) return hr;
    if (dec.has_shown()) {
      settle();
      return S_OK;
    }
  }
  // Seek to the keyframe before decode_to and decode forward. Some files seek to a keyframe
  // after it; then seek again, further back each time, then to the start by time, and last
  // to the first byte of the file (a timestamp seek in MPEG-TS can miss the first keyframe).
  // The pictures held are let go first, so that the decoder reuses their memory.
  using SeekMode = VideoDecoder::SeekMode;
  dec.DropPictures();
  std::int64_t seek_ts = plan.decode_to;
  std::int64_t back = std::max<std::int64_t>(1, av_rescale_q(1, AVRational{1, 1}, st->time_base));
  for (int attempt = 0;; ++attempt) {
    SeekMode mode = SeekMode::kKeyframeBefore;
    if (attempt > kMaxSeekRetries)
      mode = SeekMode::kStartByByte;
    else if (attempt == kMaxSeekRetries || seek_ts <= dec.origin())
      mode = SeekMode::kStart;
    HRESULT hr = dec.Seek(seek_ts, mode, &error_);
    if (Failed(hr) && mode == SeekMode::kKeyframeBefore) {
      mode = SeekMode::kStart;
      hr = dec.Seek(0, mode, &error_);
    }
    if (Failed(hr)) return hr;
    if (HRESULT decoded = dec.DecodeTo(plan.decode_to, &error_); Failed(decoded)) return decoded;
    if (dec.has_shown()) {
      settle();
      return S_OK;
    }
    if (mode == SeekMode::kStartByByte) {
      // From the very start nothing lies at or before decode_to: the first picture shows.
      if (!dec.has_next()) return Fail(E_FAIL, "no picture at this time");
      dec.ShowNext();
      return S_OK;
    }
    if (mode == SeekMode::kStart) attempt = kMaxSeekRetries;
    // A seek that landed well before where it was asked (in a gap in the recording, nothing
    // lies between) lands there again for any time in between: the steps back are taken from
    // where it landed.
    std::int64_t from = plan.decode_to;
    if (dec.landed_time() != AV_NOPTS_VALUE && dec.landed_time() < from) from = dec.landed_time();
    seek_ts = from - back;
    back *= 2;
  }
}

HRESULT FfmpegMediaDet::OpenDecoder() {
  OpenMovie& movie = *movie_;
  CloseDecoder();
  movie.last_group = -1;
  movie.group_times.clear();
  const int threads = one_thread_ ? 1 : decode_threads_;
  HRESULT looked = S_OK;
  const std::int64_t known_origin = movie.origins->FindOrLook(movie.current, &looked, &error_);
  HRESULT hr = looked;
  if (Succeeded(looked)) {
    hr = VideoDecoder::Open(*movie.demuxer, movie.current, threads, known_origin, &movie.decoder,
                            &error_);
    if (known_origin == AV_NOPTS_VALUE)
      movie.origins->Found(movie.current, Succeeded(hr) ? movie.decoder->origin() : AV_NOPTS_VALUE,
                           hr, error_);
  }
  if (Failed(hr)) {
    movie.NoteUnreadable(-std::numeric_limits<double>::infinity(), hr, error_);
    return hr;
  }
  // The picture decoded to learn the stream's origin is let go: only the detector that looked
  // for it would hold it, and a grab must not depend on which detector takes it.
  movie.decoder->DropPictures();
  return S_OK;
}

HRESULT FfmpegMediaDet::Deliver(std::int32_t width, std::int32_t height, std::uint8_t* out) {
  const VideoDecoder& dec = *movie_->decoder;
  const AVStream* st = movie_->Stream(dec.stream());
  const DisplayGeometry g = GeometryOf(st);
  // A picture of another shape than the stream's keeps its own aspect inside the size asked
  // for; the record's header tells the size delivered.
  const FittedSize size = DeliveredSize(g, FrameGeometry(st, dec.shown()), width, height);
  width = static_cast<std::int32_t>(size.width);
  height = static_cast<std::int32_t>(size.height);
  const AVFrame* picture =
      filter_.Apply(dec.shown(), dec.has_next() ? dec.next() : nullptr, st,
                    g.Sideways() ? height : width, g.Sideways() ? width : height);
  if (picture == nullptr) return Fail(E_OUTOFMEMORY, "out of memory");
  std::string why;
  if (!converter_.Convert(picture, g.rotation, g.mirror, width, height, out, &why))
    return Fail(E_FAIL, std::move(why));
  return S_OK;
}

void FfmpegMediaDet::NoteFrameTimes() {
  const VideoDecoder& dec = *movie_->decoder;
  const AVStream* st = movie_->Stream(dec.stream());
  std::int64_t next = AV_NOPTS_VALUE;
  if (dec.has_next()) {
    next = dec.next_time();
  } else if (const std::int64_t lasts = FrameDuration(dec.shown()); lasts > 0) {
    next = dec.shown_time() + lasts;
  } else if (const std::int64_t frame = ClockOf(st, dec.origin()).ticks_per_frame; frame > 0) {
    next = dec.shown_time() + frame;
  }
  const double tick = av_q2d(st->time_base);
  delivered_start_ = static_cast<double>(dec.shown_time() - dec.origin()) * tick;
  delivered_next_ = next == AV_NOPTS_VALUE ? std::numeric_limits<double>::quiet_NaN()
                                           : static_cast<double>(next - dec.origin()) * tick;
}
