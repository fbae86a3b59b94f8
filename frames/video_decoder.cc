// SPDX-License-Identifier: GPL-3.0-or-later
// The decode cursor: opening, seeking and decoding forward (keyframes decoded alone are in
// video_decoder_keyframes.cc).
#include "frames/video_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/cpu.h>
}

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "frames/av1_obu.h"
#include "frames/demuxer.h"
#include "frames/hevc_nal.h"

namespace {
// Times of the last packets sent to the decoder that are remembered to learn whether a
// picture can be the one wanted; B-frame reordering never reaches further back.
constexpr std::size_t kRecentlySent = 16;
// The most pixels a decoded picture may have.
constexpr std::int64_t kMaxPicturePixels = std::int64_t{8192} * 8192;

// The decoder for stream `st`. VP8 and VP9 keep a picture's transparency in a second stream
// beside each packet (Matroska's block additions, which WebM tags with alpha_mode), which
// FFmpeg's own decoders drop and libvpx's decode: those take a stream that says it has one.
const AVCodec* DecoderFor(const AVStream* st) {
  const AVCodecID id = st->codecpar->codec_id;
  if (id == AV_CODEC_ID_VP8 || id == AV_CODEC_ID_VP9) {
    const AVDictionaryEntry* alpha = av_dict_get(st->metadata, "alpha_mode", nullptr, 0);
    if (alpha != nullptr && std::strcmp(alpha->value, "1") == 0) {
      if (const AVCodec* libvpx =
              avcodec_find_decoder_by_name(id == AV_CODEC_ID_VP8 ? "libvpx" : "libvpx-vp9"))
        return libvpx;
    }
  }
  return avcodec_find_decoder(id);
}

// The codec's threads for `asked` (0: one a core, as many as the picture's rows of 16 pixels
// allow, 16 at most). FFmpeg's own choice is one more than the cores, and each frame thread
// keeps its own pictures: on 2 cores 4K HEVC took 15 % more memory and 6 % longer with 3.
int DecodeThreads(int asked, int height) {
  if (asked != 0) return asked;
  int threads = std::min(av_cpu_count(), 16);
  if (height > 0) threads = std::min(threads, (height + 15) / 16);
  return std::max(threads, 1);
}
}  // namespace

VideoDecoder::VideoDecoder(Demuxer& demuxer, int stream)
    : demuxer_(demuxer),
      stream_(stream),
      packets_(demuxer, stream),
      last_pts_(AV_NOPTS_VALUE),
      landed_(AV_NOPTS_VALUE),
      min_pts_(AV_NOPTS_VALUE) {}

VideoDecoder::~VideoDecoder() = default;

HRESULT VideoDecoder::Open(Demuxer& demuxer, int stream, int threads, std::int64_t known_origin,
                           std::unique_ptr<VideoDecoder>* out, std::string* error) {
  const AVStream* st = demuxer.stream(stream);
  const AVCodec* codec = DecoderFor(st);
  if (codec == nullptr) {
    *error = std::string("no decoder for ") + avcodec_get_name(st->codecpar->codec_id);
    return VFW_E_INVALIDMEDIATYPE;
  }
  std::unique_ptr<VideoDecoder> dec(new (std::nothrow) VideoDecoder(demuxer, stream));
  if (!dec) {
    *error = AvErrorText(AVERROR(ENOMEM));
    return E_OUTOFMEMORY;
  }
  dec->packet_.reset(av_packet_alloc());
  dec->shown_.reset(av_frame_alloc());
  dec->next_.reset(av_frame_alloc());
  if (!dec->packet_ || !dec->shown_ || !dec->next_) {
    *error = AvErrorText(AVERROR(ENOMEM));
    return E_OUTOFMEMORY;
  }
  threads = DecodeThreads(threads, st->codecpar->height);
  for (;;) {
    CodecPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx) {
      *error = AvErrorText(AVERROR(ENOMEM));
      return E_OUTOFMEMORY;
    }
    if (int rc = avcodec_parameters_to_context(ctx.get(), st->codecpar); rc < 0) {
      *error = AvErrorText(rc);
      return FromAvError(rc, E_FAIL);
    }
    ctx->pkt_timebase = st->time_base;
    ctx->thread_count = threads;
    ctx->thread_type = threads == 1 ? 0 : FF_THREAD_FRAME | FF_THREAD_SLICE;
    // A crop the stream states is taken to the pixel, as players take it, not rounded to keep
    // the rows aligned (which left 8 columns of a left crop in the picture, and a picture wider
    // than the stream's shape); the scaler reads unaligned rows.
    ctx->flags |= AV_CODEC_FLAG_UNALIGNED;
    // A picture larger than any level of any codec allows (8K is 35 megapixels) is damage or
    // an attack: a 64-megapixel bound keeps a few bytes of header from costing a gigabyte.
    ctx->max_pixels = kMaxPicturePixels;
    const int rc = avcodec_open2(ctx.get(), codec, nullptr);
    if (rc == 0) {
      dec->codec_ = std::move(ctx);
      break;
    }
    // Threads that cannot be had (no memory left for their stacks) leave the decoding to
    // this one.
    if (rc == AVERROR(EAGAIN) && threads != 1) {
      threads = 1;
      continue;
    }
    *error = AvErrorText(rc);
    return FromAvError(rc, E_FAIL);
  }
  if (st->codecpar->codec_id == AV_CODEC_ID_HEVC)
    dec->hevc_length_size_ =
        HevcLengthFieldSize(st->codecpar->extradata, st->codecpar->extradata_size);
  if (st->codecpar->codec_id == AV_CODEC_ID_AV1) {
    dec->av1_ = true;
    dec->av1_sequence_ =
        Av1SequenceFromExtradata(st->codecpar->extradata, st->codecpar->extradata_size);
  }
  // Every grab positions the demuxer before it decodes: a decoder told its origin needs
  // nothing more.
  if (known_origin != AV_NOPTS_VALUE) {
    dec->origin_ = known_origin;
    *out = std::move(dec);
    return S_OK;
  }
  // The first picture decoded from the start is time 0. Pictures before the first
  // keyframe's are dropped (the leading pictures of an open group), so that picture is the
  // keyframe's own unless the decoder hands out a later one ahead of it, which no movie
  // tried did. Decoded alone, the keyframe costs one picture, where decoding on until the
  // decoder lets go of its first costs as many as its reordering holds (3 or 4 at 1080p
  // H.264). When the keyframe alone gives no picture at its own time (damage, a picture the
  // container cuts away, no timestamp) the stream is decoded from the start.
  if (HRESULT hr = dec->Seek(0, SeekMode::kStart, error); Failed(hr)) return hr;
  if (dec->DecodeFirstKeyframe()) {
    dec->origin_ = dec->shown_pts_;
    *out = std::move(dec);
    return S_OK;
  }
  if (HRESULT hr = dec->Seek(0, SeekMode::kStart, error); Failed(hr)) return hr;
  if (HRESULT hr = dec->DecodeTo(std::numeric_limits<std::int64_t>::min(), error); Failed(hr))
    return hr;
  if (!dec->have_next_) {
    *error = "the video stream has no picture";
    return E_FAIL;
  }
  dec->origin_ = dec->next_pts_;
  *out = std::move(dec);
  return S_OK;
}

bool VideoDecoder::DemuxerMoved() const { return demuxer_.moves() != moves_seen_; }

bool VideoDecoder::ShowsFrameAt(std::int64_t target) const {
  if (DemuxerMoved() || !have_shown_ || lone_keyframe_ || shown_pts_ > target) return false;
  return have_next_ ? next_pts_ > target : drained_;
}

bool VideoDecoder::HoldsLoneKeyframeAt(std::int64_t time) const {
  return !DemuxerMoved() && have_shown_ && lone_keyframe_ && shown_pts_ == time;
}

bool VideoDecoder::CheapToDecodeOn(std::int64_t target, bool file_indexed) const {
  if (DemuxerMoved() || lone_keyframe_) return false;
  // Right after the first picture was found, the decoder stands at the start, before `next_`.
  std::int64_t at;
  if (!have_shown_) {
    if (!have_next_ || next_pts_ > target) return false;
    at = next_pts_;
  } else {
    if (target < shown_pts_) return false;
    if (drained_) return true;
    at = shown_pts_;
  }
  AVStream* st = demuxer_.stream(stream_);
  if ((target - at) * av_q2d(st->time_base) < kDecodeOnSeconds) return true;
  // A file without an index lists only the keyframes read so far: that none lies between the
  // decoder and the target says nothing, and a seek is cheaper than decoding on that far.
  if (!file_indexed) return false;
  const int idx = av_index_search_timestamp(st, target, AVSEEK_FLAG_BACKWARD);
  if (idx < 0) return false;
  const AVIndexEntry* entry = avformat_index_get_entry(st, idx);
  return entry != nullptr && entry->timestamp <= at;
}

// Each operation that moves the demuxer notes where it left it.
HRESULT VideoDecoder::Seek(std::int64_t ts, SeekMode mode, std::string* error) {
  const HRESULT hr = Reposition(ts, mode, error);
  moves_seen_ = demuxer_.moves();
  return hr;
}

HRESULT VideoDecoder::DecodeTo(std::int64_t target, std::string* error) {
  const HRESULT hr = Advance(target, error);
  moves_seen_ = demuxer_.moves();
  return hr;
}

void VideoDecoder::ShowNext() {
  std::swap(shown_, next_);
  shown_pts_ = next_pts_;
  have_shown_ = true;
  have_next_ = false;
  av_frame_unref(next_.get());  // the picture shown before goes back to the decoder's pool
}

void VideoDecoder::DropPictures() {
  have_shown_ = have_next_ = false;
  av_frame_unref(shown_.get());
  av_frame_unref(next_.get());
}

HRESULT VideoDecoder::Reposition(std::int64_t ts, SeekMode mode, std::string* error) {
  const AVStream* st = demuxer_.stream(stream_);
  const std::int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
  const bool byte_seekable = demuxer_.ByteSeekable();
  int rc = 0;
  PacketPtr first_key;  // read after a seek to the start, to check where it landed
  if (mode == SeekMode::kKeyframeBefore) {
    rc = demuxer_.SeekBackward(stream_, ts);
  } else if (mode == SeekMode::kStartByByte && byte_seekable) {
    rc = demuxer_.SeekToByte(0);
  } else if (demuxer_.moves() > 0) {
    rc = demuxer_.SeekBackward(stream_, start);
    // A seek by time can land on a later GOP (MPEG program streams do); unless the first
    // keyframe it reaches is the stream's first, the file is read from its first byte.
    if (rc >= 0 && byte_seekable && !LandedAtStart(start, &first_key)) {
      first_key.reset();
      rc = -1;
    }
    if (rc < 0 && byte_seekable) rc = demuxer_.SeekToByte(0);
  }
  // (A demuxer that was never moved stands at the start already.)
  from_start_ = mode != SeekMode::kKeyframeBefore;
  if (rc < 0) {
    *error = "seek failed: " + AvErrorText(rc);
    return FromAvError(rc, E_FAIL);
  }
  avcodec_flush_buffers(codec_.get());
  packets_.Clear();
  if (first_key) packets_.PutBack(std::move(first_key));
  recently_sent_.clear();
  lone_keyframe_ = false;
  palette_given_ = false;
  met_damage_ = false;
  have_shown_ = have_next_ = false;
  input_ended_ = drained_ = false;
  last_pts_ = AV_NOPTS_VALUE;
  landed_ = AV_NOPTS_VALUE;
  min_pts_ = AV_NOPTS_VALUE;
  wait_keyframe_ = true;
  return S_OK;
}

// Reads the video packets after a seek up to the first keyframe, into *key, and tells
// whether that keyframe is decoded no later than `start`, the stream's first time: only the
// first GOP's keyframe is.
bool VideoDecoder::LandedAtStart(std::int64_t start, PacketPtr* key) {
  PacketPtr p(av_packet_alloc());
  if (!p) return false;
  int foreign = 0;
  for (int n = 0; n < kMaxPacketsWithoutPicture; ++n) {
    if (packets_.Demux(p.get(), &foreign) < 0) return false;
    if (p->flags & AV_PKT_FLAG_KEY) {
      const std::int64_t t = p->dts != AV_NOPTS_VALUE ? p->dts : p->pts;
      *key = std::move(p);
      return t != AV_NOPTS_VALUE && t <= start;
    }
    av_packet_unref(p.get());
  }
  return false;
}

HRESULT VideoDecoder::Advance(std::int64_t target, std::string* error) {
  int without_picture = 0;  // packets sent since the decoder last gave a picture
  int foreign = 0;
  for (;;) {
    if (have_next_) {
      if (next_pts_ > target) return S_OK;
      ShowNext();
      continue;
    }
    if (drained_) return S_OK;
    const int rc = avcodec_receive_frame(codec_.get(), next_.get());
    if (rc == 0) {
      ++pictures_decoded_;
      NoteDamage(next_.get());
      if (KeepDecodedPicture()) without_picture = 0;
      continue;
    }
    if (rc == AVERROR_EOF || (rc == AVERROR(EAGAIN) && input_ended_)) {
      drained_ = true;
      continue;
    }
    if (rc != AVERROR(EAGAIN)) {
      *error = AvErrorText(rc);
      return FromAvError(rc, E_FAIL);
    }
    if (HRESULT hr = FeedPacket(target, &without_picture, &foreign, error); Failed(hr)) return hr;
  }
}

// Takes the picture just decoded into next_ as the next one, unless it cannot be placed in
// time or is a leading picture that may lack its references.
bool VideoDecoder::KeepDecodedPicture() {
  const std::int64_t pts = FramePts(next_.get());
  last_pts_ = pts;
  if (pts == AV_NOPTS_VALUE || (min_pts_ != AV_NOPTS_VALUE && pts < min_pts_)) {
    av_frame_unref(next_.get());
    return false;
  }
  next_pts_ = pts;
  have_next_ = true;
  return true;
}

// Sends the decoder the stream's next packet on the way to `target`, the end of the file when
// it has come, or nothing for a packet that need not be decoded.
HRESULT VideoDecoder::FeedPacket(std::int64_t target, int* without_picture, int* foreign,
                                 std::string* error) {
  AVPacket* pkt = packet_.get();
  if (int rc = packets_.Next(pkt, foreign); rc < 0) {
    if (*foreign > kMaxForeignPackets) {
      *error = "no picture of the video stream in the rest of the file";
      return E_FAIL;
    }
    if (rc != AVERROR_EOF && !demuxer_.AtEndOfFile()) {
      *error = "read failed: " + AvErrorText(rc);
      return FromAvError(rc, E_FAIL);
    }
    // The end of the file: let the decoder give up the pictures it still holds.
    avcodec_send_packet(codec_.get(), nullptr);
    input_ended_ = true;
    return S_OK;
  }
  if (landed_ == AV_NOPTS_VALUE) landed_ = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
  if (wait_keyframe_) {
    // A seek may land between keyframes; what precedes the next keyframe would decode
    // against missing references.
    if (!(pkt->flags & AV_PKT_FLAG_KEY)) {
      av_packet_unref(pkt);
      if (++*without_picture > kMaxPacketsWithoutPicture) {
        *error = "no keyframe found after seeking";
        return E_FAIL;
      }
      return S_OK;
    }
    wait_keyframe_ = false;
    if (pkt->pts != AV_NOPTS_VALUE) min_pts_ = pkt->pts;
  }
  bool dispensable = false;
  if (pkt->pts != AV_NOPTS_VALUE && pkt->pts < target && !(pkt->flags & AV_PKT_FLAG_KEY)) {
    dispensable = Dispensable(pkt, target);
    if (!dispensable) {
      packets_.ReadAhead(target, foreign);
      dispensable = Dispensable(pkt, target);
    }
  }
  if (pkt->pts != AV_NOPTS_VALUE) {
    recently_sent_.push_back(pkt->pts);
    if (recently_sent_.size() > kRecentlySent) recently_sent_.pop_front();
  }
  // Every AV1 packet is read, for the sequence headers the later ones are read with.
  const bool av1_disposable = av1_ && Av1PacketIsDisposable(pkt->data, pkt->size, &av1_sequence_);
  if (dispensable &&
      (av1_disposable || (hevc_length_size_ >= 0 &&
                          HevcPacketIsDisposable(pkt->data, pkt->size, hevc_length_size_)))) {
    av_packet_unref(pkt);
    return S_OK;
  }
  codec_->skip_frame = dispensable ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
  GivePalette(pkt);
  const int sent = avcodec_send_packet(codec_.get(), pkt);
  ++packets_decoded_;
  if (sent < 0 && sent != AVERROR(EAGAIN)) met_damage_ = true;
  av_packet_unref(pkt);
  // A packet the decoder rejects (typically right after a seek) is skipped; only a run of
  // them without any picture ends the grab.
  if (++*without_picture > kMaxPacketsWithoutPicture) {
    *error =
        "the decoder gave no picture for " + std::to_string(kMaxPacketsWithoutPicture) + " packets";
    return E_FAIL;
  }
  return S_OK;
}

// A packet whose picture cannot be the one shown at `target` (a later picture at or before
// the target is known) and that no other picture needs may stay undecoded. Whether another
// picture needs it only the bitstream says: the decoder's non-reference skipping, or for
// HEVC (which that skipping does not cover) the NAL unit types, for AV1 (whose decoders may
// ignore it) the frame headers.
bool VideoDecoder::Dispensable(const AVPacket* p, std::int64_t target) const {
  if (p->pts == AV_NOPTS_VALUE || p->pts >= target || (p->flags & AV_PKT_FLAG_KEY)) return false;
  if (min_pts_ != AV_NOPTS_VALUE && p->pts < min_pts_) return true;  // a dropped leading picture
  for (std::int64_t t : recently_sent_)
    if (t > p->pts && t <= target) return true;
  return packets_.AheadPresentsBetween(p->pts, target);
}

void VideoDecoder::NoteDamage(const AVFrame* f) {
  if (f->decode_error_flags != 0 || (f->flags & AV_FRAME_FLAG_CORRUPT)) met_damage_ = true;
}

// The first packet sent after a seek takes the stream's palette along, unless it brings one of
// its own: the container gave it with a packet read before the seek (a stream's first, in AVI
// and QuickTime), and a decoder without it shows every picture black.
void VideoDecoder::GivePalette(AVPacket* p) {
  if (palette_given_) return;
  palette_given_ = true;
  const std::uint8_t* palette = demuxer_.Palette(stream_);
  if (palette == nullptr || av_packet_get_side_data(p, AV_PKT_DATA_PALETTE, nullptr) != nullptr)
    return;
  if (std::uint8_t* side = av_packet_new_side_data(p, AV_PKT_DATA_PALETTE, AVPALETTE_SIZE))
    std::memcpy(side, palette, AVPALETTE_SIZE);
}

std::int64_t VideoDecoder::FramePts(const AVFrame* f) const {
  std::int64_t pts = f->best_effort_timestamp;
  if (pts == AV_NOPTS_VALUE) pts = f->pts;
  if (pts == AV_NOPTS_VALUE) {
    // No timestamp: one frame duration after the previous picture.
    const AVStream* st = demuxer_.stream(stream_);
    std::int64_t step = std::max<std::int64_t>(FrameDuration(f), 0);
    if (step == 0 && st->avg_frame_rate.num > 0)
      step =
          std::max<std::int64_t>(1, av_rescale_q(1, av_inv_q(st->avg_frame_rate), st->time_base));
    if (last_pts_ != AV_NOPTS_VALUE) return last_pts_ + std::max<std::int64_t>(step, 1);
    // The first picture after a seek into the middle cannot be placed without a timestamp
    // (some decoders hand out a picture from before the seek this way); it is dropped.
    if (!from_start_) return AV_NOPTS_VALUE;
    pts = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
  }
  return pts;
}
