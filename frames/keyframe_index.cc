// SPDX-License-Identifier: GPL-3.0-or-later
// Taking a stream's keyframe table, and planning a grab on it.
#include "frames/keyframe_index.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cmath>
#include <limits>

#include "frames/demuxer.h"

void KeyframeIndex::Take(Demuxer& demuxer, int index) {
  if (index < 0 || index >= demuxer.stream_count()) return;
  auto [entry, taken] = tables_.try_emplace(index);
  if (!taken) return;
  AVStream* st = demuxer.stream(index);
  if (!IsVideo(st)) return;
  std::vector<std::int64_t>& keys = entry->second.times;
  const int n = avformat_index_get_entries_count(st);
  for (int k = 0; k < n; ++k) {
    const AVIndexEntry* e = avformat_index_get_entry(st, k);
    if (e != nullptr && (e->flags & AVINDEX_KEYFRAME) && e->timestamp != AV_NOPTS_VALUE)
      keys.push_back(e->timestamp);
  }
  std::sort(keys.begin(), keys.end());
  if (keys.empty()) return;
  PacketPtr p(av_packet_alloc());
  if (!p) return;
  // The first listed keyframe tells which time the index holds. Reading may add streams
  // (and reallocate the demuxer's stream list): nothing here holds on to either.
  const std::int64_t first = keys.front();
  if (demuxer.SeekBackward(index, first) < 0) return;
  for (int k = 0; k < kMaxPacketsWithoutPicture && demuxer.Read(p.get()) >= 0; ++k) {
    const bool found = p->stream_index == index && (p->flags & AV_PKT_FLAG_KEY);
    if (found && p->dts == first && p->pts != AV_NOPTS_VALUE && p->pts > p->dts)
      entry->second.presentation_shift = p->pts - p->dts;
    av_packet_unref(p.get());
    if (found) break;
  }
}

const KeyframeTable& KeyframeIndex::Table(int index) const {
  static const KeyframeTable kNone;
  const auto entry = tables_.find(index);
  return entry != tables_.end() ? entry->second : kNone;
}

namespace {

// Stream ticks of one frame at the stream's frame rate; 0 when it states none.
std::int64_t TicksPerFrame(const AVStream* st) {
  AVRational rate = st->avg_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = st->r_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) return 0;
  return av_rescale_q(1, av_inv_q(rate), st->time_base);
}

// Seconds as a count of `tb` ticks, saturated; a hair of slack so that a time computed in
// floating point a rounding error short of a frame's time still shows that frame.
std::int64_t SecondsToTicks(double seconds, AVRational tb) {
  const double ticks = std::floor(seconds * tb.den / tb.num + 1e-3);
  constexpr double kLimit = static_cast<double>(std::int64_t{1} << 62);
  if (!(ticks > -kLimit)) return -(std::int64_t{1} << 62);
  if (!(ticks < kLimit)) return std::int64_t{1} << 62;
  return static_cast<std::int64_t>(ticks);
}

// Where to seek to decode the listed keyframe `key` alone. Some indexes list decoding times,
// which a seek may take for presentation times a few frames later; aiming halfway to the next
// keyframe lands on this one either way.
std::int64_t KeyframeSeek(const std::vector<std::int64_t>& keys, std::ptrdiff_t key,
                          AVRational time_base) {
  const auto listed = keys.begin() + key;
  std::int64_t gap = listed + 1 != keys.end() ? listed[1] - listed[0] : 0;
  if (gap <= 0 && keys.size() > 1)
    gap = (keys.back() - keys.front()) / static_cast<std::int64_t>(keys.size() - 1);
  if (gap <= 0) gap = av_rescale_q(1, AVRational{1, 1}, time_base);
  return *listed + gap / 2;
}

}  // namespace

StreamClock ClockOf(const AVStream* st, std::int64_t origin) {
  return StreamClock{st->time_base, TicksPerFrame(st), origin};
}

GrabPlan PlanGrab(double seconds, double tolerance, const StreamClock& clock,
                  const KeyframeTable& keys) {
  GrabPlan plan;
  if (std::isnan(seconds)) seconds = 0;
  std::int64_t target = SecondsToTicks(seconds, clock.time_base);
  target = target > (std::int64_t{1} << 61) ? std::numeric_limits<std::int64_t>::max() / 2
                                            : target + clock.origin;
  if (target < clock.origin) target = clock.origin;
  const std::int64_t frame = std::max<std::int64_t>(clock.ticks_per_frame, 1);
  std::int64_t half_window = tolerance > 0 ? SecondsToTicks(tolerance, clock.time_base) : 0;
  // A window narrower than a frame holds no choice worth making.
  if (half_window < frame) half_window = 0;
  plan.target = target;
  plan.half_window = half_window;
  plan.decode_to = target;
  if (half_window > 0) {
    // The first picture inside the window, kept a frame inside its edge.
    const std::int64_t first = target - half_window + frame;
    if (first > clock.origin && first < target) {
      plan.decode_to = first - 1;
      plan.take_first_in_window = true;
    }
  }
  const std::vector<std::int64_t>& times = keys.times;
  const std::int64_t shift = keys.presentation_shift;
  if (half_window > 0) {
    const std::int64_t lo = target - half_window, hi = target + half_window;
    auto after = std::lower_bound(times.begin(), times.end(), target - shift);
    auto best = times.end();
    if (after != times.end() && *after + shift <= hi) best = after;
    if (after != times.begin() && *(after - 1) + shift >= lo &&
        (best == times.end() || target - (*(after - 1) + shift) <= *best + shift - target))
      best = after - 1;
    if (best != times.end()) {
      plan.nearest_keyframe = best - times.begin();
      plan.keyframe_seek = KeyframeSeek(times, plan.nearest_keyframe, clock.time_base);
    }
  }
  plan.keyframe_before =
      (std::upper_bound(times.begin(), times.end(), plan.decode_to - shift) - times.begin()) - 1;
  return plan;
}
