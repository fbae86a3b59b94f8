// SPDX-License-Identifier: GPL-3.0-or-later
// The decode cursor's grabs of a keyframe decoded alone: the keyframe the index lists, or in a
// file without an index the first keyframe inside a window, found by seeking to its start.
#include "frames/video_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <utility>

#include "frames/demuxer.h"

namespace {
// A seek that lands after the time asked for is made again this often, each time further back.
constexpr int kMaxSeekRetries = 5;
}  // namespace

HRESULT VideoDecoder::DecodeKeyframeAlone(std::int64_t seek_ts, std::int64_t lo, std::int64_t hi,
                                          bool* in_window, std::string* error) {
  const HRESULT hr = DecodeKeyframe(seek_ts, lo, hi, false, in_window, error);
  moves_seen_ = demuxer_.moves();
  return hr;
}

HRESULT VideoDecoder::DecodeKeyframeOnward(std::int64_t seek_ts, std::int64_t lo, std::int64_t hi,
                                           bool* in_window, std::string* error) {
  const HRESULT hr = DecodeKeyframe(seek_ts, lo, hi, true, in_window, error);
  moves_seen_ = demuxer_.moves();
  return hr;
}

HRESULT VideoDecoder::DecodeFirstKeyframeIn(std::int64_t lo, std::int64_t hi, bool* in_window,
                                            std::string* error) {
  const HRESULT hr = FindFirstKeyframeIn(lo, hi, in_window, error);
  moves_seen_ = demuxer_.moves();
  return hr;
}

// The keyframe after a seek to `seek_ts`, decoded alone, or with `onward` decoded on from until
// the picture after its own is known.
HRESULT VideoDecoder::DecodeKeyframe(std::int64_t seek_ts, std::int64_t lo, std::int64_t hi,
                                     bool onward, bool* in_window, std::string* error) {
  *in_window = false;
  DropPictures();
  if (HRESULT hr = Reposition(seek_ts, SeekMode::kKeyframeBefore, error); Failed(hr)) return hr;
  AVPacket* pkt = packet_.get();
  if (!NextKeyframe(pkt)) return S_OK;
  const std::int64_t time = pkt->pts;
  const bool promised = time != AV_NOPTS_VALUE && time >= lo && time <= hi;
  if (!promised || onward) {
    // Decoded on from here: not the keyframe the index promised, or one to decode on from.
    PacketPtr keep(av_packet_alloc());
    const bool kept = keep != nullptr;
    if (kept) {
      av_packet_move_ref(keep.get(), pkt);
      packets_.PutBack(std::move(keep));
    }
    av_packet_unref(pkt);
    if (!promised || !kept) return S_OK;
    if (HRESULT hr = Advance(time, error); Failed(hr)) return hr;
    *in_window = have_shown_ && shown_pts_ == time;
    if (!*in_window) DropPictures();
    return S_OK;
  }
  DecodeAlone(pkt, lo, hi, in_window);
  return S_OK;
}

// Reads the stream's packets up to its next keyframe, into *pkt; false when none comes soon.
bool VideoDecoder::NextKeyframe(AVPacket* pkt) {
  int foreign = 0;
  for (int skipped = 0; skipped <= kMaxPacketsWithoutPicture; ++skipped) {
    if (packets_.Next(pkt, &foreign) < 0) return false;
    if (pkt->flags & AV_PKT_FLAG_KEY) return true;
    av_packet_unref(pkt);
  }
  return false;
}

HRESULT VideoDecoder::FindFirstKeyframeIn(std::int64_t lo, std::int64_t hi, bool* in_window,
                                          std::string* error) {
  *in_window = false;
  DropPictures();
  const AVStream* st = demuxer_.stream(stream_);
  std::int64_t back = std::max<std::int64_t>(1, av_rescale_q(1, AVRational{1, 1}, st->time_base));
  std::int64_t seek_ts = lo;
  AVPacket* pkt = packet_.get();
  for (int attempt = 0;; ++attempt) {
    if (HRESULT hr = Reposition(seek_ts, SeekMode::kKeyframeBefore, error); Failed(hr)) return hr;
    int foreign = 0;
    if (packets_.Next(pkt, &foreign) < 0) return S_OK;
    // A seek by time in a file without an index searches the file for it and can land after
    // the time asked for, past a keyframe that the window holds: the same window would then
    // give another frame from elsewhere. Such a landing is tried again further back; one at
    // the stream's start is where it is.
    const std::int64_t at = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
    if ((at != AV_NOPTS_VALUE && at <= lo) || seek_ts <= origin_) break;
    av_packet_unref(pkt);
    if (attempt == kMaxSeekRetries) return S_OK;
    seek_ts = lo - back;
    back *= 2;
  }
  // Keyframes before the window are passed by; a packet decoded after the window ends shows
  // that no keyframe lies in it (a keyframe's picture never precedes its decoding).
  for (int read = 0;; ++read) {
    const bool key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
    if (key && pkt->pts != AV_NOPTS_VALUE && pkt->pts >= lo) {
      if (pkt->pts <= hi) DecodeAlone(pkt, lo, hi, in_window);
      break;
    }
    if (pkt->dts != AV_NOPTS_VALUE && pkt->dts > hi) break;
    av_packet_unref(pkt);
    int foreign = 0;
    if (read == kMaxPacketsWithoutPicture || packets_.Next(pkt, &foreign) < 0) return S_OK;
  }
  av_packet_unref(pkt);
  return S_OK;
}

// Decodes alone the first keyframe read since the seek; true when its picture shows at the
// keyframe's own time.
bool VideoDecoder::DecodeFirstKeyframe() {
  AVPacket* pkt = packet_.get();
  if (!NextKeyframe(pkt)) return false;
  const std::int64_t key = pkt->pts;
  if (key == AV_NOPTS_VALUE) {
    av_packet_unref(pkt);
    return false;
  }
  bool in_window = false;
  DecodeAlone(pkt, key, key, &in_window);
  moves_seen_ = demuxer_.moves();
  return in_window;
}

// Sends the keyframe `key` alone and takes its picture as the one shown when it lies in
// [lo, hi] (*in_window); the packet is used up.
void VideoDecoder::DecodeAlone(AVPacket* pkt, std::int64_t lo, std::int64_t hi, bool* in_window) {
  min_pts_ = pkt->pts;
  wait_keyframe_ = false;
  codec_->skip_frame = AVDISCARD_DEFAULT;
  GivePalette(pkt);
  // The keyframe and then the end of input: the decoder hands out this one picture without
  // waiting for the packets that reordering would otherwise ask for.
  if (avcodec_send_packet(codec_.get(), pkt) < 0) met_damage_ = true;
  ++packets_decoded_;
  av_packet_unref(pkt);
  avcodec_send_packet(codec_.get(), nullptr);
  lone_keyframe_ = true;
  while (avcodec_receive_frame(codec_.get(), next_.get()) == 0) {
    ++pictures_decoded_;
    NoteDamage(next_.get());
    const std::int64_t pts = FramePts(next_.get());
    if (!have_shown_ && pts != AV_NOPTS_VALUE && pts >= min_pts_) {
      std::swap(shown_, next_);
      shown_pts_ = pts;
      have_shown_ = true;
    }
    av_frame_unref(next_.get());
  }
  avcodec_flush_buffers(codec_.get());
  have_next_ = false;
  input_ended_ = drained_ = false;
  *in_window = have_shown_ && shown_pts_ >= lo && shown_pts_ <= hi;
  if (!*in_window) have_shown_ = false;
}
