// SPDX-License-Identifier: GPL-3.0-or-later
// A video stream's packets with a read-ahead queue.
#include "frames/video_packets.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <utility>

#include "frames/demuxer.h"

namespace {
// B-frame reordering never reaches further ahead than this many packets.
constexpr std::size_t kLookaheadPackets = 16;
}  // namespace

int VideoPackets::Next(AVPacket* out, int* foreign) {
  if (!ahead_.empty()) {
    av_packet_move_ref(out, ahead_.front().get());
    ahead_.pop_front();
    return 0;
  }
  if (ahead_end_ < 0) {
    const int rc = ahead_end_;
    ahead_end_ = 0;
    return rc;
  }
  return Demux(out, foreign);
}

int VideoPackets::Demux(AVPacket* out, int* foreign) {
  for (;;) {
    const int rc = demuxer_.Read(out);
    if (rc < 0 || out->stream_index == stream_) return rc;
    av_packet_unref(out);
    if (++*foreign > kMaxForeignPackets) return AVERROR_INVALIDDATA;
  }
}

void VideoPackets::ReadAhead(std::int64_t target, int* foreign) {
  while (ahead_.size() < kLookaheadPackets && ahead_end_ == 0) {
    if (!ahead_.empty()) {
      const AVPacket* last = ahead_.back().get();
      if (last->dts != AV_NOPTS_VALUE && last->dts > target) return;
    }
    PacketPtr p(av_packet_alloc());
    if (!p) return;
    const int rc = Demux(p.get(), foreign);
    if (rc < 0) {
      ahead_end_ = rc;
      return;
    }
    ahead_.push_back(std::move(p));
  }
}

void VideoPackets::PutBack(PacketPtr packet) { ahead_.push_front(std::move(packet)); }

void VideoPackets::Clear() {
  ahead_.clear();
  ahead_end_ = 0;
}

bool VideoPackets::AheadPresentsBetween(std::int64_t pts, std::int64_t target) const {
  for (const PacketPtr& q : ahead_)
    if (q->pts != AV_NOPTS_VALUE && q->pts > pts && q->pts <= target) return true;
  return false;
}
