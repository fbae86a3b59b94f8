// SPDX-License-Identifier: GPL-3.0-or-later
#include "frames/ffmpeg_media_det.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "frames/av_handles.h"
#include "frames/display_geometry.h"
#include "frames/file_input.h"
#include "frames/frame_convert.h"
#include "frames/frame_filter.h"
#include "frames/hevc_nal.h"
#include "platform/imaging.h"
#include "platform/text_conv.h"

namespace {

// A grab that has fed this many packets of its stream to the decoder without getting a
// picture gives up: the stream is broken beyond what seeking around can mend.
constexpr int kMaxPacketsWithoutPicture = 600;
// Packets of other streams read in one grab before it gives up (a file whose video ends
// long before its audio still finishes, a hostile one does not read forever).
constexpr int kMaxForeignPackets = 200000;
// Seeks that land after the target are retried this often, each time further back; the
// last resort is the start of the stream.
constexpr int kMaxSeekRetries = 5;
// A target this close ahead of the decoder is reached by decoding on rather than seeking.
constexpr double kForwardDecodeSeconds = 2.0;
// Bytes before the end of a file from which its last timestamps are looked for.
constexpr int64_t kTailScanBytes = 4 << 20;
// Bytes before the end of a file read to check a stated length, and how much shorter than
// stated the data found there must end for the length to be taken from it.
constexpr int64_t kTailCheckBytes = 512 << 10;
constexpr double kLengthCheckMargin = 0.5;
// Packets read ahead of the decoder to learn whether a frame can be the one wanted; B-frame
// reordering never reaches further than this.
constexpr size_t kLookaheadPackets = 16;
// Times of the last packets sent to the decoder that are remembered for the same purpose.
constexpr size_t kRecentlySent = 16;
// Pictures this large (4K UHD) are decoded by one detector with the codec's threads.
constexpr int64_t kLargePicturePixels = int64_t{3840} * 2160;

bool IsVideo(const AVStream* st) {
  // Cover art is stored as a one-picture video stream; it is no movie.
  return st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
         !(st->disposition & AV_DISPOSITION_ATTACHED_PIC);
}

// Stream ticks of one frame at the stream's frame rate; 0 when it states none.
int64_t TicksPerFrame(const AVStream* st) {
  AVRational rate = st->avg_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = st->r_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) return 0;
  return av_rescale_q(1, av_inv_q(rate), st->time_base);
}

// Seconds as a count of `tb` ticks, saturated; a hair of slack so that a time computed in
// floating point a rounding error short of a frame's time still shows that frame.
int64_t SecondsToTicks(double seconds, AVRational tb) {
  const double ticks = std::floor(seconds * tb.den / tb.num + 1e-3);
  constexpr double kLimit = static_cast<double>(int64_t{1} << 62);
  if (!(ticks > -kLimit)) return -(int64_t{1} << 62);
  if (!(ticks < kLimit)) return int64_t{1} << 62;
  return static_cast<int64_t>(ticks);
}

}  // namespace

struct FfmpegMediaDet::State {
  // Declared before the demuxer that reads through it, so that it is destroyed after it.
  std::unique_ptr<FileInput> input;
  FormatPtr fmt;
  int current = -1;
  std::string error;
  // Nothing has been read since the file was opened: the demuxer is at the start.
  bool fresh = true;

  // Decoding of one video stream, kept between grabs.
  int video = -1;
  CodecPtr dec;
  PacketPtr pkt;
  FramePtr shown;  // the last frame decoded whose time is not after the last target
  FramePtr next;   // the frame decoded after it, not yet shown
  bool have_shown = false;
  bool have_next = false;
  int64_t shown_pts = 0;
  int64_t next_pts = 0;
  int64_t last_pts = AV_NOPTS_VALUE;  // of the last frame out of the decoder
  bool input_ended = false;           // the end of the file has been sent to the decoder
  bool drained = false;               // and the decoder has given every frame it held
  // Frames before this time (leading frames of an open GOP after a seek) may lack their
  // references and are dropped.
  int64_t min_pts = AV_NOPTS_VALUE;
  bool at_start = true;             // the decoder is fed from the start of the stream
  bool wait_keyframe = false;       // after a seek, packets up to the first keyframe are skipped
  int64_t origin = AV_NOPTS_VALUE;  // time of the stream's first frame
  // The decoder was drained for a lone keyframe: it cannot decode on, the next grab seeks.
  bool detached = false;
  // Video packets read ahead of the decoder, and the result of the read that ended them.
  std::deque<PacketPtr> ahead;
  int ahead_rc = 0;
  std::deque<int64_t> recently_sent;  // times of the last packets sent since the seek
  int hevc_length_size = -1;          // NAL length field for HEVC (0: start codes), else -1
  // Keyframe times of each stream from the container's index as it stood when the stream
  // was chosen (indexes can grow as a file is read; this copy does not). Only chosen video
  // streams are listed; the tables are as long as the stream count was then, and a demuxer
  // may add streams while reading, so an index past their end is a stream not listed.
  std::vector<std::vector<int64_t>> keyframes;
  // What to add to an index time for the keyframe's presentation time: some containers list
  // decoding times, which B-frames put a few frames earlier. As long as `keyframes`.
  std::vector<int64_t> key_shift;
  std::vector<bool> indexed;  // which streams have their keyframes listed; as long, too
  // The stream proved unreadable from this time on (-infinity: the decoder could not even
  // open on it): a grab there failed after reading to the end of the file, and every later
  // one would read the same bytes to the same end. They fail at once with the same cause.
  int unreadable_stream = -1;
  double unreadable_from = 0;
  HRESULT unreadable_hr = S_OK;
  std::string unreadable_error;
  void NoteUnreadable(double from, HRESULT hr) {
    // Running out of memory may pass; and a stream noted once keeps its earliest time.
    if (hr == E_OUTOFMEMORY || (unreadable_stream == current && unreadable_from <= from)) return;
    unreadable_stream = current;
    unreadable_from = from;
    unreadable_hr = hr;
    unreadable_error = error;
  }

  // Threads the decoder is opened with (0: as many as the codec likes).
  int decode_threads = 0;

  FrameConverter convert;
  FrameFilter filter;  // deinterlacing and tone mapping, for the pictures that need them

  HRESULT Fail(HRESULT hr, std::string text) {
    error = std::move(text);
    return hr;
  }
  AVStream* Stream(int index) const { return fmt->streams[index]; }
  void CloseDecoder();
  HRESULT OpenDecoder(int index);
  enum class SeekMode { kKeyframeBefore, kStart, kStartByByte };
  HRESULT SeekTo(int64_t ts, SeekMode mode);
  bool LandedAtStart(int64_t start, PacketPtr* key);
  HRESULT Advance(int64_t target);
  int ReadVideoPacket(AVPacket* out, int* foreign);
  int DemuxVideoPacket(AVPacket* out, int* foreign);
  void ReadAhead(int64_t target, int* foreign);
  bool Dispensable(const AVPacket* p, int64_t target);
  int64_t FramePts(const AVFrame* f);
  bool CheapToDecodeOn(int64_t target);
  void SnapshotIndex(int index);
  HRESULT GrabKeyframe(int64_t index_ts, int64_t lo, int64_t hi, bool* in_window);
  struct Plan;
  // Lets go of the pictures held (before a seek: they cannot be shown after it).
  void DropPictures() {
    have_shown = have_next = false;
    av_frame_unref(shown.get());
    av_frame_unref(next.get());
  }
  Plan PlanGrab(int index, int64_t origin_ts, double seconds, double tolerance) const;
  HRESULT GrabAt(double seconds, double tolerance);
  HRESULT Deliver(std::int32_t width, std::int32_t height, uint8_t* out);
  double Length(int index);
  enum class StatedLength { kTrusted, kToCheck, kPastTheEnd };
  StatedLength TrustInLength(int index);
};

void FfmpegMediaDet::State::CloseDecoder() {
  video = -1;
  dec.reset();
  shown.reset();
  next.reset();
  have_shown = have_next = false;
  origin = AV_NOPTS_VALUE;
  ahead.clear();
  recently_sent.clear();
  ahead_rc = 0;
  detached = false;
}

HRESULT FfmpegMediaDet::State::OpenDecoder(int index) {
  CloseDecoder();
  AVStream* st = Stream(index);
  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  if (codec == nullptr)
    return Fail(VFW_E_INVALIDMEDIATYPE,
                std::string("no decoder for ") + avcodec_get_name(st->codecpar->codec_id));
  CodecPtr ctx(avcodec_alloc_context3(codec));
  pkt.reset(av_packet_alloc());
  shown.reset(av_frame_alloc());
  next.reset(av_frame_alloc());
  if (!ctx || !pkt || !shown || !next) return Fail(E_OUTOFMEMORY, AvErrorText(AVERROR(ENOMEM)));
  if (int rc = avcodec_parameters_to_context(ctx.get(), st->codecpar); rc < 0)
    return Fail(FromAvError(rc, E_FAIL), AvErrorText(rc));
  ctx->pkt_timebase = st->time_base;
  ctx->thread_count = decode_threads;
  ctx->thread_type = decode_threads == 1 ? 0 : FF_THREAD_FRAME | FF_THREAD_SLICE;
  if (int rc = avcodec_open2(ctx.get(), codec, nullptr); rc < 0)
    return Fail(FromAvError(rc, E_FAIL), AvErrorText(rc));
  dec = std::move(ctx);
  video = index;
  hevc_length_size = -1;
  if (st->codecpar->codec_id == AV_CODEC_ID_HEVC)
    hevc_length_size = HevcLengthFieldSize(st->codecpar->extradata, st->codecpar->extradata_size);
  // The first frame decoded from the start is time 0.
  if (HRESULT hr = SeekTo(0, SeekMode::kStart); Failed(hr)) return hr;
  if (HRESULT hr = Advance(std::numeric_limits<int64_t>::min()); Failed(hr)) return hr;
  if (!have_next) return Fail(E_FAIL, "the video stream has no picture");
  origin = next_pts;
  return S_OK;
}

// Positions the demuxer at the keyframe at or before `ts`, or at the stream's start, and
// forgets everything the decoder held.
HRESULT FfmpegMediaDet::State::SeekTo(int64_t ts, SeekMode mode) {
  AVStream* st = Stream(video);
  const int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
  const bool byte_seekable = !(fmt->iformat->flags & AVFMT_NO_BYTE_SEEK);
  int rc = 0;
  PacketPtr first_key;  // read after a seek to the start, to check where it landed
  if (mode == SeekMode::kKeyframeBefore) {
    rc = av_seek_frame(fmt.get(), video, ts, AVSEEK_FLAG_BACKWARD);
  } else if (mode == SeekMode::kStartByByte && byte_seekable) {
    rc = av_seek_frame(fmt.get(), -1, 0, AVSEEK_FLAG_BYTE);
  } else if (!fresh) {
    rc = av_seek_frame(fmt.get(), video, start, AVSEEK_FLAG_BACKWARD);
    // A seek by time can land on a later GOP (MPEG program streams do); unless the first
    // keyframe it reaches is the stream's first, the file is read from its first byte.
    if (rc >= 0 && byte_seekable && !LandedAtStart(start, &first_key)) {
      first_key.reset();
      rc = -1;
    }
    if (rc < 0 && byte_seekable) rc = av_seek_frame(fmt.get(), -1, 0, AVSEEK_FLAG_BYTE);
  }
  at_start = mode != SeekMode::kKeyframeBefore;
  fresh = false;
  if (rc < 0) return Fail(FromAvError(rc, E_FAIL), "seek failed: " + AvErrorText(rc));
  avcodec_flush_buffers(dec.get());
  ahead.clear();
  if (first_key) ahead.push_back(std::move(first_key));
  ahead_rc = 0;
  recently_sent.clear();
  detached = false;
  have_shown = have_next = false;
  input_ended = drained = false;
  last_pts = AV_NOPTS_VALUE;
  min_pts = AV_NOPTS_VALUE;
  wait_keyframe = true;
  return S_OK;
}

// Reads the video packets after a seek up to the first keyframe, into *key, and tells
// whether that keyframe is decoded no later than `start`, the stream's first time: only the
// first GOP's keyframe is.
bool FfmpegMediaDet::State::LandedAtStart(int64_t start, PacketPtr* key) {
  PacketPtr p(av_packet_alloc());
  if (!p) return false;
  int foreign = 0;
  for (int n = 0; n < kMaxPacketsWithoutPicture; ++n) {
    if (DemuxVideoPacket(p.get(), &foreign) < 0) return false;
    if (p->flags & AV_PKT_FLAG_KEY) {
      const int64_t t = p->dts != AV_NOPTS_VALUE ? p->dts : p->pts;
      *key = std::move(p);
      return t != AV_NOPTS_VALUE && t <= start;
    }
    av_packet_unref(p.get());
  }
  return false;
}

int64_t FfmpegMediaDet::State::FramePts(const AVFrame* f) {
  int64_t pts = f->best_effort_timestamp;
  if (pts == AV_NOPTS_VALUE) pts = f->pts;
  if (pts == AV_NOPTS_VALUE) {
    // No timestamp: one frame duration after the previous frame.
    AVStream* st = Stream(video);
    int64_t step = std::max<int64_t>(FrameDuration(f), 0);
    if (step == 0 && st->avg_frame_rate.num > 0)
      step = std::max<int64_t>(1, av_rescale_q(1, av_inv_q(st->avg_frame_rate), st->time_base));
    if (last_pts != AV_NOPTS_VALUE) return last_pts + std::max<int64_t>(step, 1);
    // The first frame after a seek into the middle cannot be placed without a timestamp
    // (some decoders hand out a picture from before the seek this way); it is dropped.
    if (!at_start) return AV_NOPTS_VALUE;
    pts = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
  }
  return pts;
}

// The next packet of the video stream, read ahead earlier or now; packets of other streams
// are dropped on the way and counted in *foreign. Returns what av_read_frame would.
int FfmpegMediaDet::State::ReadVideoPacket(AVPacket* out, int* foreign) {
  if (!ahead.empty()) {
    av_packet_move_ref(out, ahead.front().get());
    ahead.pop_front();
    return 0;
  }
  if (ahead_rc < 0) {
    const int rc = ahead_rc;
    ahead_rc = 0;
    return rc;
  }
  return DemuxVideoPacket(out, foreign);
}

int FfmpegMediaDet::State::DemuxVideoPacket(AVPacket* out, int* foreign) {
  for (;;) {
    const int rc = av_read_frame(fmt.get(), out);
    if (rc < 0 || out->stream_index == video) return rc;
    av_packet_unref(out);
    if (++*foreign > kMaxForeignPackets) return AVERROR_INVALIDDATA;
  }
}

// Reads packets ahead until one is known to come after `target` in decoding order (its
// decoding time is later, and presentation never precedes decoding), or the read-ahead is
// full, or the file ends.
void FfmpegMediaDet::State::ReadAhead(int64_t target, int* foreign) {
  while (ahead.size() < kLookaheadPackets && ahead_rc == 0) {
    if (!ahead.empty()) {
      const AVPacket* last = ahead.back().get();
      if (last->dts != AV_NOPTS_VALUE && last->dts > target) return;
    }
    PacketPtr p(av_packet_alloc());
    if (!p) return;
    const int rc = DemuxVideoPacket(p.get(), foreign);
    if (rc < 0) {
      ahead_rc = rc;
      return;
    }
    ahead.push_back(std::move(p));
  }
}

// A packet whose picture cannot be the one shown at `target` (a later picture at or before
// the target is known) and that no other picture needs may stay undecoded. Whether another
// picture needs it only the bitstream says: the decoder's non-reference skipping, or for
// HEVC (which that skipping does not cover) the NAL unit types.
bool FfmpegMediaDet::State::Dispensable(const AVPacket* p, int64_t target) {
  if (p->pts == AV_NOPTS_VALUE || p->pts >= target || (p->flags & AV_PKT_FLAG_KEY)) return false;
  bool superseded = min_pts != AV_NOPTS_VALUE && p->pts < min_pts;  // a dropped leading frame
  for (int64_t t : recently_sent) superseded = superseded || (t > p->pts && t <= target);
  for (const PacketPtr& q : ahead)
    superseded = superseded || (q->pts != AV_NOPTS_VALUE && q->pts > p->pts && q->pts <= target);
  return superseded;
}

// Decodes on until the frame shown at `target` is known: `shown` is then the last frame not
// after the target (if one was decoded since the last seek) and `next` the one after it
// (unless the stream ended). Pictures that cannot be the target and that nothing refers to
// are skipped.
HRESULT FfmpegMediaDet::State::Advance(int64_t target) {
  int without_picture = 0;
  int foreign = 0;
  for (;;) {
    if (have_next) {
      if (next_pts > target) return S_OK;
      std::swap(shown, next);
      shown_pts = next_pts;
      have_shown = true;
      have_next = false;
      continue;
    }
    if (drained) return S_OK;
    int rc = avcodec_receive_frame(dec.get(), next.get());
    if (rc == 0) {
      const int64_t pts = FramePts(next.get());
      const bool unplaced = pts == AV_NOPTS_VALUE;
      last_pts = pts;
      if (unplaced || (min_pts != AV_NOPTS_VALUE && pts < min_pts)) {
        av_frame_unref(next.get());
        continue;
      }
      next_pts = pts;
      have_next = true;
      without_picture = 0;
      continue;
    }
    if (rc == AVERROR_EOF) {
      drained = true;
      continue;
    }
    if (rc != AVERROR(EAGAIN)) return Fail(FromAvError(rc, E_FAIL), AvErrorText(rc));
    if (input_ended) {
      drained = true;
      continue;
    }
    rc = ReadVideoPacket(pkt.get(), &foreign);
    if (rc < 0) {
      if (foreign > kMaxForeignPackets)
        return Fail(E_FAIL, "no picture of the video stream in the rest of the file");
      if (rc != AVERROR_EOF && !avio_feof(fmt->pb))
        return Fail(FromAvError(rc, E_FAIL), "read failed: " + AvErrorText(rc));
      // The end of the file: let the decoder give up the frames it still holds.
      avcodec_send_packet(dec.get(), nullptr);
      input_ended = true;
      continue;
    }
    if (wait_keyframe) {
      // A seek may land between keyframes; what precedes the next keyframe would decode
      // against missing references.
      if (!(pkt->flags & AV_PKT_FLAG_KEY)) {
        av_packet_unref(pkt.get());
        if (++without_picture > kMaxPacketsWithoutPicture)
          return Fail(E_FAIL, "no keyframe found after seeking");
        continue;
      }
      wait_keyframe = false;
      if (pkt->pts != AV_NOPTS_VALUE) min_pts = pkt->pts;
    }
    bool dispensable = false;
    if (pkt->pts != AV_NOPTS_VALUE && pkt->pts < target && !(pkt->flags & AV_PKT_FLAG_KEY)) {
      dispensable = Dispensable(pkt.get(), target);
      if (!dispensable) {
        ReadAhead(target, &foreign);
        dispensable = Dispensable(pkt.get(), target);
      }
    }
    if (pkt->pts != AV_NOPTS_VALUE) {
      recently_sent.push_back(pkt->pts);
      if (recently_sent.size() > kRecentlySent) recently_sent.pop_front();
    }
    if (dispensable && hevc_length_size >= 0 &&
        HevcPacketIsDisposable(pkt->data, pkt->size, hevc_length_size)) {
      av_packet_unref(pkt.get());
      continue;
    }
    dec->skip_frame = dispensable ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
    rc = avcodec_send_packet(dec.get(), pkt.get());
    av_packet_unref(pkt.get());
    // A packet the decoder rejects (typically right after a seek) is skipped; only a run of
    // them without any picture ends the grab.
    (void)rc;
    if (++without_picture > kMaxPacketsWithoutPicture)
      return Fail(E_FAIL, "the decoder gave no picture for " +
                              std::to_string(kMaxPacketsWithoutPicture) + " packets");
  }
}

// Decoding on from where the decoder stands is cheaper than seeking when the target is
// near, or when no keyframe lies between the decoder and the target.
bool FfmpegMediaDet::State::CheapToDecodeOn(int64_t target) {
  if (detached) return false;
  // Right after the first frame was found, the decoder stands at the start, before `next`.
  int64_t at;
  if (!have_shown) {
    if (!have_next || next_pts > target) return false;
    at = next_pts;
  } else {
    if (target < shown_pts) return false;
    if (drained) return true;
    at = shown_pts;
  }
  AVStream* st = Stream(video);
  if ((target - at) * av_q2d(st->time_base) < kForwardDecodeSeconds) return true;
  // A file without an index lists only the keyframes read so far: that none lies between the
  // decoder and the target says nothing, and a seek is cheaper than decoding on that far.
  if (static_cast<size_t>(video) >= keyframes.size() || keyframes[video].empty()) return false;
  const int idx = av_index_search_timestamp(st, target, AVSEEK_FLAG_BACKWARD);
  if (idx < 0) return false;
  const AVIndexEntry* entry = avformat_index_get_entry(st, idx);
  return entry != nullptr && entry->timestamp <= at;
}

// Keeps the keyframe times the container's index holds for stream `index`, once per stream.
// Only the stream that is grabbed from needs them: listing every track would seek and read
// for each one. Matroska reads its index at the first seek, which put_Filename makes.
void FfmpegMediaDet::State::SnapshotIndex(int index) {
  if (index < 0 || static_cast<unsigned>(index) >= fmt->nb_streams) return;
  const size_t need = std::max<size_t>(fmt->nb_streams, static_cast<size_t>(index) + 1);
  if (keyframes.size() < need) {
    keyframes.resize(need);
    key_shift.resize(need, 0);
    indexed.resize(need, false);
  }
  if (indexed[index]) return;
  indexed[index] = true;
  AVStream* st = fmt->streams[index];
  if (!IsVideo(st)) return;
  std::vector<int64_t>& keys = keyframes[index];
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
  const int64_t first = keys.front();
  fresh = false;
  if (av_seek_frame(fmt.get(), index, first, AVSEEK_FLAG_BACKWARD) < 0) return;
  for (int k = 0; k < kMaxPacketsWithoutPicture && av_read_frame(fmt.get(), p.get()) >= 0; ++k) {
    const bool found = p->stream_index == index && (p->flags & AV_PKT_FLAG_KEY);
    if (found && p->dts == first && p->pts != AV_NOPTS_VALUE && p->pts > p->dts)
      key_shift[index] = p->pts - p->dts;
    av_packet_unref(p.get());
    if (found) break;
  }
}

// Seeks to the keyframe the index lists at `seek_ts` or just before, and decodes it alone.
// *in_window tells whether the picture's time lies in [lo, hi]; a keyframe outside it leaves
// nothing shown.
HRESULT FfmpegMediaDet::State::GrabKeyframe(int64_t seek_ts, int64_t lo, int64_t hi,
                                            bool* in_window) {
  *in_window = false;
  DropPictures();
  if (HRESULT hr = SeekTo(seek_ts, SeekMode::kKeyframeBefore); Failed(hr)) return hr;
  int foreign = 0;
  int skipped = 0;
  for (;;) {
    const int rc = ReadVideoPacket(pkt.get(), &foreign);
    if (rc < 0) return S_OK;
    if (pkt->flags & AV_PKT_FLAG_KEY) break;
    av_packet_unref(pkt.get());
    if (++skipped > kMaxPacketsWithoutPicture) return S_OK;
  }
  if (pkt->pts == AV_NOPTS_VALUE || pkt->pts < lo || pkt->pts > hi) {
    // Not the keyframe the index promised; keep the packet for decoding on from here.
    PacketPtr keep(av_packet_alloc());
    if (keep) {
      av_packet_move_ref(keep.get(), pkt.get());
      ahead.push_front(std::move(keep));
    }
    av_packet_unref(pkt.get());
    return S_OK;
  }
  min_pts = pkt->pts;
  wait_keyframe = false;
  dec->skip_frame = AVDISCARD_DEFAULT;
  // The keyframe and then the end of input: the decoder hands out this one picture without
  // waiting for the packets that reordering would otherwise ask for.
  avcodec_send_packet(dec.get(), pkt.get());
  av_packet_unref(pkt.get());
  avcodec_send_packet(dec.get(), nullptr);
  detached = true;
  for (;;) {
    const int rc = avcodec_receive_frame(dec.get(), next.get());
    if (rc != 0) break;
    const int64_t pts = FramePts(next.get());
    if (!have_shown && pts != AV_NOPTS_VALUE && pts >= min_pts) {
      std::swap(shown, next);
      shown_pts = pts;
      have_shown = true;
    }
    av_frame_unref(next.get());
  }
  avcodec_flush_buffers(dec.get());
  have_next = false;
  input_ended = drained = false;
  *in_window = have_shown && shown_pts >= lo && shown_pts <= hi;
  if (!*in_window) have_shown = false;
  return S_OK;
}

// How a grab is made, worked out from the time, the tolerance and the index alone.
struct FfmpegMediaDet::State::Plan {
  int64_t target = 0;  // the time asked for, in stream ticks from the stream's origin
  int64_t slack = 0;   // half the window (0: the exact frame is asked for)
  // Decoding forward stops at the first picture after this time; with first_in_window that
  // picture is taken when it is not after the target, else the one shown at the target.
  int64_t aim = 0;
  bool first_in_window = false;
  std::ptrdiff_t key = -1;   // the listed keyframe in the window nearest to the target
  std::ptrdiff_t from = -1;  // the listed keyframe at or before `aim`
};

FfmpegMediaDet::State::Plan FfmpegMediaDet::State::PlanGrab(int index, int64_t origin_ts,
                                                            double seconds,
                                                            double tolerance) const {
  Plan plan;
  const AVStream* st = Stream(index);
  if (std::isnan(seconds)) seconds = 0;
  int64_t target = SecondsToTicks(seconds, st->time_base);
  target =
      target > (int64_t{1} << 61) ? std::numeric_limits<int64_t>::max() / 2 : target + origin_ts;
  if (target < origin_ts) target = origin_ts;
  const int64_t frame = std::max<int64_t>(TicksPerFrame(st), 1);
  int64_t slack = tolerance > 0 ? SecondsToTicks(tolerance, st->time_base) : 0;
  // A window narrower than a frame holds no choice worth making.
  if (slack < frame) slack = 0;
  plan.target = target;
  plan.slack = slack;
  plan.aim = target;
  if (slack > 0) {
    // The first picture inside the window, kept a frame inside its edge: decoding forward to
    // it rather than to the target saves most of a quarter interval of pictures.
    const int64_t first = target - slack + frame;
    if (first > origin_ts && first < target) {
      plan.aim = first - 1;
      plan.first_in_window = true;
    }
  }
  if (index < 0 || static_cast<size_t>(index) >= keyframes.size()) return plan;
  const std::vector<int64_t>& keys = keyframes[index];
  const int64_t shift = static_cast<size_t>(index) < key_shift.size() ? key_shift[index] : 0;
  if (slack > 0) {
    const int64_t lo = target - slack, hi = target + slack;
    auto after = std::lower_bound(keys.begin(), keys.end(), target - shift);
    auto best = keys.end();
    if (after != keys.end() && *after + shift <= hi) best = after;
    if (after != keys.begin() && *(after - 1) + shift >= lo &&
        (best == keys.end() || target - (*(after - 1) + shift) <= *best + shift - target))
      best = after - 1;
    if (best != keys.end()) plan.key = best - keys.begin();
  }
  plan.from = (std::upper_bound(keys.begin(), keys.end(), plan.aim - shift) - keys.begin()) - 1;
  return plan;
}

// The frame to show for `seconds`, into `shown`. With a tolerance, any frame within that
// many seconds of it will do: the keyframe the index lists nearest to it, decoded alone, when
// there is one; otherwise the first picture inside the window, reached by decoding forward
// (or the frame shown at `seconds` when no picture starts in the window before it). The
// choice depends only on the time and the tolerance, never on what was decoded before.
HRESULT FfmpegMediaDet::State::GrabAt(double seconds, double tolerance) {
  AVStream* st = Stream(video);
  const Plan plan = PlanGrab(video, origin, seconds, tolerance);
  const int64_t target = plan.target;
  const int64_t aim = plan.aim;

  // The frame at hand already answers a repeated time.
  if (!plan.first_in_window && have_shown && shown_pts <= target && !detached) {
    if (have_next ? next_pts > target : drained) return S_OK;
  }
  if (have_shown && detached && shown_pts == target) return S_OK;

  if (plan.key >= 0) {
    const std::vector<int64_t>& keys = keyframes[video];
    auto best = keys.begin() + plan.key;
    // Some indexes list decoding times, which a seek may take for presentation times a
    // few frames later; aiming halfway to the next keyframe lands on this one either way.
    int64_t gap = best + 1 != keys.end() ? best[1] - best[0] : 0;
    if (gap <= 0 && keys.size() > 1)
      gap = (keys.back() - keys.front()) / static_cast<int64_t>(keys.size() - 1);
    if (gap <= 0) gap = av_rescale_q(1, AVRational{1, 1}, st->time_base);
    bool in_window = false;
    if (HRESULT hr =
            GrabKeyframe(*best + gap / 2, target - plan.slack, target + plan.slack, &in_window);
        Failed(hr))
      return hr;
    if (in_window) return S_OK;
  }
  // `shown` is the last picture not after `aim`; the next one is taken instead when it lies
  // in the window and not after the target.
  auto settle = [&] {
    if (plan.first_in_window && have_next && next_pts <= target) {
      std::swap(shown, next);
      shown_pts = next_pts;
      have_next = false;
      av_frame_unref(next.get());  // its picture goes back to the decoder's pool
    }
  };
  if (CheapToDecodeOn(aim)) {
    if (HRESULT hr = Advance(aim); Failed(hr)) return hr;
    if (have_shown) {
      settle();
      return S_OK;
    }
  }
  // Seek to the keyframe before the aim and decode forward. Some files seek to a keyframe
  // after it; then seek again, further back each time, then to the start by time, and last
  // to the first byte of the file (a timestamp seek in MPEG-TS can miss the first keyframe).
  // The pictures held are let go first, so that the decoder reuses their memory.
  DropPictures();
  int64_t seek_ts = aim;
  int64_t back = std::max<int64_t>(1, av_rescale_q(1, AVRational{1, 1}, st->time_base));
  for (int attempt = 0;; ++attempt) {
    SeekMode mode = SeekMode::kKeyframeBefore;
    if (attempt > kMaxSeekRetries)
      mode = SeekMode::kStartByByte;
    else if (attempt == kMaxSeekRetries || seek_ts <= origin)
      mode = SeekMode::kStart;
    HRESULT hr = SeekTo(seek_ts, mode);
    if (Failed(hr) && mode == SeekMode::kKeyframeBefore) {
      mode = SeekMode::kStart;
      hr = SeekTo(0, mode);
    }
    if (Failed(hr)) return hr;
    if (HRESULT adv = Advance(aim); Failed(adv)) return adv;
    if (have_shown) {
      settle();
      return S_OK;
    }
    if (mode == SeekMode::kStartByByte) {
      // From the very start nothing lies at or before the aim: the first frame shows.
      if (!have_next) return Fail(E_FAIL, "no picture at this time");
      std::swap(shown, next);
      shown_pts = next_pts;
      have_shown = true;
      have_next = false;
      return S_OK;
    }
    if (mode == SeekMode::kStart) attempt = kMaxSeekRetries;
    seek_ts = aim - back;
    back *= 2;
  }
}

HRESULT FfmpegMediaDet::State::Deliver(std::int32_t width, std::int32_t height, uint8_t* out) {
  const DisplayGeometry g = GeometryOf(Stream(video));
  // A picture of another shape than the stream's keeps its own aspect inside the size asked
  // for; the record's header tells the size delivered.
  const FittedSize size =
      DeliveredSize(g, FrameGeometry(Stream(video), shown.get()), width, height);
  width = static_cast<std::int32_t>(size.width);
  height = static_cast<std::int32_t>(size.height);
  std::string why;
  const AVFrame* picture = filter.Apply(shown.get(), Stream(video), g.Sideways() ? height : width,
                                        g.Sideways() ? width : height);
  if (!convert.Convert(picture, g.rotation, width, height, out, &why))
    return Fail(E_FAIL, std::move(why));
  return S_OK;
}

// How far the length the container states for a stream can be trusted: a stream whose data
// the index places within the file (MP4, AVI), or whose length the demuxer took from the
// timestamps at the file's end (MPEG-TS and PS), has it; one whose index lists data past the
// end of the file (a download cut short, its index at the front) has not; for the rest
// (Matroska, whose cues are lost with the end of a file) the end of the file is checked.
FfmpegMediaDet::State::StatedLength FfmpegMediaDet::State::TrustInLength(int index) {
  AVStream* st = Stream(index);
  const int n = avformat_index_get_entries_count(st);
  const int64_t file_size = fmt->pb ? avio_size(fmt->pb) : -1;
  if (file_size <= 0) return StatedLength::kTrusted;
  if (n > 0) {
    const AVIndexEntry* last = avformat_index_get_entry(st, n - 1);
    if (last != nullptr && last->pos + std::max(last->size, 0) > file_size)
      return StatedLength::kPastTheEnd;
    if (last != nullptr && last->size > 0) return StatedLength::kTrusted;
  }
  if (fmt->duration_estimation_method == AVFMT_DURATION_FROM_PTS) return StatedLength::kTrusted;
  return StatedLength::kToCheck;
}

double FfmpegMediaDet::State::Length(int index) {
  AVStream* st = Stream(index);
  double stated = -1;
  if (st->duration != AV_NOPTS_VALUE && st->duration > 0) {
    stated = st->duration * av_q2d(st->time_base);
  } else if (fmt->duration != AV_NOPTS_VALUE && fmt->duration > 0 &&
             fmt->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE) {
    // A duration guessed from the bit rate is no statement of the container.
    stated = fmt->duration / static_cast<double>(AV_TIME_BASE);
    if (st->start_time != AV_NOPTS_VALUE && fmt->start_time != AV_NOPTS_VALUE)
      stated -= st->start_time * av_q2d(st->time_base) - fmt->start_time / double(AV_TIME_BASE);
    stated = std::max(0.0, stated);
  }
  const StatedLength trust = stated >= 0 ? TrustInLength(index) : StatedLength::kPastTheEnd;
  if (trust == StatedLength::kTrusted) return stated;
  // The end of the last packet of the stream near the file's end, counted from the stream's
  // first timestamp. Where the demuxer cannot seek by byte, reading starts at the last
  // keyframe whose data the index places within the file. A stated length that is only
  // checked gets a shorter look at the end, and no reading of the whole file.
  const bool byte_seekable = !(fmt->iformat->flags & AVFMT_NO_BYTE_SEEK);
  const int64_t tail = trust == StatedLength::kToCheck ? kTailCheckBytes : kTailScanBytes;
  int64_t first = st->start_time;
  int64_t end = AV_NOPTS_VALUE;
  int64_t total_duration = 0;  // of every packet, for a stream without timestamps
  const int64_t file_size = fmt->pb ? avio_size(fmt->pb) : -1;
  PacketPtr p(av_packet_alloc());
  if (!p) return std::max(stated, 0.0);
  for (int pass = 0; pass < 2 && end == AV_NOPTS_VALUE; ++pass) {
    int rc = -1;
    if (pass == 0 && !byte_seekable) {
      for (int k = avformat_index_get_entries_count(st) - 1; k >= 0; --k) {
        const AVIndexEntry* e = avformat_index_get_entry(st, k);
        if (e != nullptr && (e->flags & AVINDEX_KEYFRAME) &&
            e->pos + std::max(e->size, 0) <= file_size) {
          rc = av_seek_frame(fmt.get(), index, e->timestamp, AVSEEK_FLAG_BACKWARD);
          break;
        }
      }
    } else if (pass == 0 && file_size > tail) {
      rc = av_seek_frame(fmt.get(), -1, file_size - tail, AVSEEK_FLAG_BYTE);
    } else if (pass == 0 || !byte_seekable || (stated >= 0 && file_size > tail)) {
      continue;
    } else {
      // A small file read whole to check it: from the start by time, which also revives a
      // Matroska demuxer that reached the file's end while the file was opened.
      if (trust == StatedLength::kToCheck && st->start_time != AV_NOPTS_VALUE)
        rc = av_seek_frame(fmt.get(), index, st->start_time, AVSEEK_FLAG_BACKWARD);
      if (rc < 0) rc = av_seek_frame(fmt.get(), -1, 0, AVSEEK_FLAG_BYTE);
    }
    fresh = false;
    if (rc < 0) continue;
    while (av_read_frame(fmt.get(), p.get()) >= 0) {
      // A packet cut off by the end of the file is no frame.
      if (p->stream_index == index && !(p->flags & AV_PKT_FLAG_CORRUPT)) {
        if (pass == 1) total_duration += std::max<int64_t>(p->duration, 0);
        int64_t ts = p->pts != AV_NOPTS_VALUE ? p->pts : p->dts;
        if (ts != AV_NOPTS_VALUE) {
          ts += std::max<int64_t>(p->duration, 0);
          if (end == AV_NOPTS_VALUE || ts > end) end = ts;
          if (pass == 1 && (first == AV_NOPTS_VALUE || ts - p->duration < first))
            first = ts - std::max<int64_t>(p->duration, 0);
        }
      }
      av_packet_unref(p.get());
    }
  }
  // The demuxer has moved: the next grab must seek.
  have_shown = have_next = false;
  double length;
  if (end == AV_NOPTS_VALUE) {
    length = total_duration * av_q2d(st->time_base);
  } else {
    if (first == AV_NOPTS_VALUE) first = 0;
    length = std::max(0.0, (end - first) * av_q2d(st->time_base));
  }
  if (stated < 0) return length;
  // The data ends before the stated length: the length is what is there. A checked length
  // keeps a small difference (audio lasting a little longer than the video, say).
  const double margin = trust == StatedLength::kToCheck ? kLengthCheckMargin : 0;
  return end != AV_NOPTS_VALUE && length < stated - margin ? length : stated;
}

// The libraries' own log would talk about every damaged packet; a failure that matters
// reaches the caller through its result code and LastErrorText. Nothing of it, not even
// what they log as fatal, may reach the console.
static void DropLibraryLog(void*, int, const char*, va_list) {}

// The most the libraries allocate in one piece: a frame of 8K at 64 bits a pixel and the
// index of a very long movie stay well below it, while a size read from a damaged header
// (a 1 GB tag in a 68 KB file) fails as the out-of-memory it would become.
static constexpr size_t kMaxLibraryAllocation = size_t{512} << 20;

FfmpegMediaDet::FfmpegMediaDet() : state_(std::make_unique<State>()) {
  static std::once_flag quiet;
  std::call_once(quiet, [] {
    av_log_set_level(AV_LOG_FATAL);
    av_log_set_callback(&DropLibraryLog);
    av_max_alloc(kMaxLibraryAllocation);
  });
}

FfmpegMediaDet::~FfmpegMediaDet() = default;

std::int32_t FfmpegMediaDet::FrameRecordSize(std::int32_t width, std::int32_t height) {
  if (width <= 0 || height <= 0) return 0;
  const int64_t bytes = int64_t{sizeof(BITMAPINFOHEADER)} + DibRowBytes(width, 24) * height;
  return bytes > std::numeric_limits<std::int32_t>::max() ? 0 : static_cast<std::int32_t>(bytes);
}

HRESULT FfmpegMediaDet::put_Filename(const char16_t* path) {
  State& s = *state_;
  s.CloseDecoder();
  s.convert.Reset();
  s.fmt.reset();
  s.input.reset();
  s.current = -1;
  s.fresh = true;
  s.keyframes.clear();
  s.key_shift.clear();
  s.indexed.clear();
  s.unreadable_stream = -1;
  if (path == nullptr) return s.Fail(E_POINTER, "no file name");
  std::string name;
  try {
    WideToMultibyte converted(path);
    name = converted.get();
  } catch (const ComError& e) {
    return s.Fail(e.code(), e.what());
  } catch (const std::bad_alloc&) {
    return s.Fail(E_OUTOFMEMORY, "out of memory");
  }
  // Only regular files: a FIFO would block the open and a device could be read forever.
  std::unique_ptr<FileInput> input;
  std::string open_error;
  if (HRESULT hr = FileInput::Open(name, &input, &open_error); Failed(hr))
    return s.Fail(hr, open_error);

  // "file:" keeps a name with a colon from being taken for a protocol. The movie is this one
  // file, read through `input`, which needs no protocol: a playlist (concat, HLS) or any
  // other demuxer that would open further files itself is refused every one of them, those
  // that open through the context by FileInput::Confine, those that open a context of their
  // own (which inherits the whitelist) by options that name no protocol.
  DictPtr options = FileInput::NoProtocolOptions();
  AVFormatContext* raw = avformat_alloc_context();
  if (raw == nullptr) return s.Fail(E_OUTOFMEMORY, "out of memory");
  input->Confine(raw);
  AVDictionary* raw_options = options.release();
  // On failure the context is freed; the reading stays with `input`.
  int rc = avformat_open_input(&raw, ("file:" + name).c_str(), nullptr, &raw_options);
  options.reset(raw_options);
  if (rc < 0 && input->NestedOpenRefused())
    return s.Fail(VFW_E_INVALID_FILE_FORMAT, kRefersToOtherFiles);
  if (rc < 0) return s.Fail(FromAvError(rc, VFW_E_INVALID_FILE_FORMAT), AvErrorText(rc));
  FormatPtr fmt(raw);
  rc = avformat_find_stream_info(fmt.get(), nullptr);
  if (input->NestedOpenRefused()) return s.Fail(VFW_E_INVALID_FILE_FORMAT, kRefersToOtherFiles);
  if (rc < 0) return s.Fail(FromAvError(rc, VFW_E_INVALID_FILE_FORMAT), AvErrorText(rc));
  // Matroska reads its index at the first seek: one now, before anything is read, gives the
  // index its whole content for the keyframe lists taken when a stream is chosen.
  if (std::strncmp(fmt->iformat->name, "matroska", 8) == 0) {
    av_seek_frame(fmt.get(), -1, fmt->start_time != AV_NOPTS_VALUE ? fmt->start_time : 0,
                  AVSEEK_FLAG_BACKWARD);
    s.fresh = false;
  }
  s.fmt = std::move(fmt);
  s.input = std::move(input);
  s.error.clear();
  return S_OK;
}

HRESULT FfmpegMediaDet::get_OutputStreams(std::int32_t* count) {
  State& s = *state_;
  if (count == nullptr) return E_POINTER;
  if (!s.fmt) return s.Fail(E_UNEXPECTED, "no file is open");
  *count = static_cast<std::int32_t>(s.fmt->nb_streams);
  return S_OK;
}

HRESULT FfmpegMediaDet::put_CurrentStream(std::int32_t index) {
  State& s = *state_;
  if (!s.fmt) return s.Fail(E_UNEXPECTED, "no file is open");
  if (index < 0 || static_cast<unsigned>(index) >= s.fmt->nb_streams)
    return s.Fail(E_INVALIDARG, "no stream " + std::to_string(index));
  s.current = index;
  s.SnapshotIndex(index);
  return S_OK;
}

HRESULT FfmpegMediaDet::get_StreamType(GUID* major_type) {
  State& s = *state_;
  if (major_type == nullptr) return E_POINTER;
  if (!s.fmt || s.current < 0) return s.Fail(E_UNEXPECTED, "no current stream");
  const AVStream* st = s.Stream(s.current);
  if (IsVideo(st))
    *major_type = MEDIATYPE_Video;
  else if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
    *major_type = MEDIATYPE_Audio;
  else if (st->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE)
    *major_type = MEDIATYPE_Text;
  else
    *major_type = GUID_NULL;
  return S_OK;
}

HRESULT FfmpegMediaDet::get_StreamMediaType(AM_MEDIA_TYPE* mt) {
  State& s = *state_;
  if (mt == nullptr) return E_POINTER;
  *mt = {};
  if (HRESULT hr = get_StreamType(&mt->majortype); Failed(hr)) return hr;
  const AVStream* st = s.Stream(s.current);
  mt->bFixedSizeSamples = false;
  mt->bTemporalCompression = true;
  mt->formattype = GUID_NULL;
  if (!(mt->majortype == MEDIATYPE_Video)) return S_OK;
  auto* block = static_cast<std::uint8_t*>(CoTaskMemAlloc(kVideoInfoHeaderSize));
  if (block == nullptr) return s.Fail(E_OUTOFMEMORY, "out of memory");
  std::memset(block, 0, kVideoInfoHeaderSize);
  const DisplayGeometry g = GeometryOf(st);
  auto put32 = [block](std::uint32_t offset, std::int32_t v) {
    std::memcpy(block + offset, &v, 4);
  };
  // rcSource and rcTarget: the whole picture.
  put32(8, g.width);
  put32(12, g.height);
  put32(24, g.width);
  put32(28, g.height);
  put32(32, static_cast<std::int32_t>(std::clamp<int64_t>(st->codecpar->bit_rate, 0, INT32_MAX)));
  if (st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0) {
    // Average time per frame in units of 100 ns.
    const std::int64_t per_frame =
        av_rescale(10000000, st->avg_frame_rate.den, st->avg_frame_rate.num);
    std::memcpy(block + 40, &per_frame, 8);
  }
  BITMAPINFOHEADER bih = Dib24Header(g.width, g.height);
  if (FrameRecordSize(g.width, g.height) == 0) bih.biSizeImage = 0;
  std::memcpy(block + kVideoInfoBitmapHeaderOffset, &bih, sizeof bih);
  mt->formattype = FORMAT_VideoInfo;
  mt->cbFormat = kVideoInfoHeaderSize;
  mt->pbFormat = block;
  return S_OK;
}

HRESULT FfmpegMediaDet::get_StreamLength(double* seconds) {
  State& s = *state_;
  if (seconds == nullptr) return E_POINTER;
  if (!s.fmt || s.current < 0) return s.Fail(E_UNEXPECTED, "no current stream");
  *seconds = s.Length(s.current);
  return S_OK;
}

HRESULT FfmpegMediaDet::GetBitmapBits(double seconds, std::int32_t* size, char* buffer,
                                      std::int32_t width, std::int32_t height) {
  return Grab(seconds, 0.0, size, buffer, width, height);
}

HRESULT FfmpegMediaDet::GetBitmapBitsNear(double seconds, double tolerance, char* buffer,
                                          std::int32_t width, std::int32_t height) {
  if (buffer == nullptr) return E_POINTER;
  return Grab(seconds, std::isnan(tolerance) ? 0.0 : tolerance, nullptr, buffer, width, height);
}

int FfmpegMediaDet::SuggestedGrabWorkers(double interval) const {
  const State& s = *state_;
  if (!s.fmt || s.current < 0 || !IsVideo(s.Stream(s.current))) return 1;
  if (!(interval > 0)) return 1;
  const unsigned cores = std::thread::hardware_concurrency();
  if (cores < 2) return 1;
  // Two single-threaded decoders, each taking the cells of whole groups of pictures (see
  // GrabGroup), decode more in the same time than one decoder with frame threads; a sheet
  // whose cells all lie in one group keeps one detector and its threads. Not so for pictures
  // of 4K and more: each decoder keeps its own reference pictures (some 100 MB at 4K HEVC),
  // more memory than the little time a second one saves there is worth.
  const AVCodecParameters* par = s.Stream(s.current)->codecpar;
  if (int64_t{par->width} * par->height >= kLargePicturePixels) return 1;
  return static_cast<int>(std::min<unsigned>(cores, kMaxGrabWorkers));
}

std::int64_t FfmpegMediaDet::GrabGroup(double seconds, double tolerance) const {
  const State& s = *state_;
  if (!s.fmt || s.current < 0 || !IsVideo(s.Stream(s.current))) return -1;
  const AVStream* st = s.Stream(s.current);
  // The stream's first timestamp stands for its first frame's time, known only once decoding
  // has begun: a group is a matter of speed, never of which frame is taken, and every
  // detector of the movie must give the same groups.
  const int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
  const State::Plan plan = s.PlanGrab(s.current, start, seconds, tolerance);
  const bool indexed =
      static_cast<size_t>(s.current) < s.keyframes.size() && !s.keyframes[s.current].empty();
  // Without an index, samples nearer than decoding on reaches are decoded on from one to the
  // next; further apart, each is a seek of its own.
  if (!indexed) return tolerance > 0 && 4 * tolerance < kForwardDecodeSeconds ? 0 : -1;
  if (plan.key >= 0) return plan.key;
  return std::max<std::ptrdiff_t>(plan.from, 0);
}

void FfmpegMediaDet::SetDecodeThreads(int threads) {
  State& s = *state_;
  threads = std::max(threads, 0);
  if (threads == s.decode_threads) return;
  s.decode_threads = threads;
  // An open decoder keeps its threads; the next grab opens it anew.
  if (s.dec) s.CloseDecoder();
}

std::int64_t FfmpegMediaDet::BytesRead() const {
  const State& s = *state_;
  return s.fmt && s.fmt->pb ? s.fmt->pb->bytes_read : 0;
}

HRESULT FfmpegMediaDet::Grab(double seconds, double tolerance, std::int32_t* size, char* buffer,
                             std::int32_t width, std::int32_t height) {
  State& s = *state_;
  const std::int32_t bytes = FrameRecordSize(width, height);
  if (bytes == 0) return s.Fail(E_INVALIDARG, "bad picture size");
  if (size != nullptr) *size = bytes;
  if (buffer == nullptr) return size != nullptr ? S_OK : E_POINTER;
  if (!s.fmt || s.current < 0) return s.Fail(E_UNEXPECTED, "no current stream");
  if (!IsVideo(s.Stream(s.current)))
    return s.Fail(VFW_E_INVALIDMEDIATYPE, "the current stream is not video");
  if (s.unreadable_stream == s.current && !(seconds < s.unreadable_from))
    return s.Fail(s.unreadable_hr, s.unreadable_error);
  if (s.video != s.current) {
    if (HRESULT hr = s.OpenDecoder(s.current); Failed(hr)) {
      s.CloseDecoder();
      s.NoteUnreadable(-std::numeric_limits<double>::infinity(), hr);
      return hr;
    }
  }
  if (HRESULT hr = s.GrabAt(seconds, tolerance); Failed(hr)) {
    if (s.input_ended && !std::isnan(seconds)) s.NoteUnreadable(seconds, hr);
    return hr;
  }
  return s.Deliver(width, height, reinterpret_cast<uint8_t*>(buffer));
}

std::string FfmpegMediaDet::LastErrorText() const { return state_->error; }
