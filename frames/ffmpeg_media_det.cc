#include "frames/ffmpeg_media_det.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <vector>

#include "platform/imaging.h"
#include "platform/text_conv.h"

namespace {

struct FormatCloser {
  void operator()(AVFormatContext* p) const { avformat_close_input(&p); }
};
struct CodecCloser {
  void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct FrameFreer {
  void operator()(AVFrame* p) const { av_frame_free(&p); }
};
struct PacketFreer {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsFreer {
  void operator()(SwsContext* p) const { sws_freeContext(p); }
};
struct DictFreer {
  void operator()(AVDictionary* p) const { av_dict_free(&p); }
};
using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecCloser>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;
using SwsPtr = std::unique_ptr<SwsContext, SwsFreer>;

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

std::string AvErrorText(int rc) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(rc, text, sizeof text);
  return text;
}

// System errors keep their number; anything else the libraries report is a file they
// cannot read as a movie (or, for a grab, a failure of the grab).
HRESULT FromAvError(int rc, HRESULT otherwise) {
  if (rc == AVERROR(ENOMEM)) return E_OUTOFMEMORY;
  if (rc < 0 && -rc < 4096) return HresultFromErrno(-rc);
  return otherwise;
}

int ClockwiseRotation(const AVStream* st) {
  size_t size = 0;
  const uint8_t* matrix = av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, &size);
  if (matrix == nullptr || size < 9 * sizeof(int32_t)) return 0;
  // The matrix gives the counter-clockwise angle; a player turns the picture back by it.
  const double angle = -av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
  if (std::isnan(angle)) return 0;
  int quarter = static_cast<int>(std::lround(angle / 90.0)) % 4;
  if (quarter < 0) quarter += 4;
  return quarter * 90;
}

struct Geometry {
  int rotation = 0;   // clockwise degrees a player turns the decoded picture by
  int display_w = 0;  // the size a player shows
  int display_h = 0;
};

Geometry GeometryOf(const AVStream* st) {
  Geometry g;
  const AVCodecParameters* par = st->codecpar;
  AVRational sar = st->sample_aspect_ratio;
  if (sar.num <= 0 || sar.den <= 0) sar = par->sample_aspect_ratio;
  int64_t w = par->width;
  // Non-square pixels: a player stretches the width, the height stays.
  if (sar.num > 0 && sar.den > 0 && sar.num != sar.den)
    w = std::clamp<int64_t>(av_rescale(par->width, sar.num, sar.den), 1, 1 << 16);
  g.rotation = ClockwiseRotation(st);
  const bool sideways = g.rotation == 90 || g.rotation == 270;
  g.display_w = static_cast<int>(sideways ? par->height : w);
  g.display_h = static_cast<int>(sideways ? w : par->height);
  return g;
}

bool IsVideo(const AVStream* st) {
  // Cover art is stored as a one-picture video stream; it is no movie.
  return st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
         !(st->disposition & AV_DISPOSITION_ATTACHED_PIC);
}

int SwsColorspace(const AVFrame* f) {
  switch (f->colorspace) {
    case AVCOL_SPC_BT709:
      return SWS_CS_ITU709;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
      return SWS_CS_ITU601;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
      return SWS_CS_BT2020;
    case AVCOL_SPC_FCC:
      return SWS_CS_FCC;
    case AVCOL_SPC_SMPTE240M:
      return SWS_CS_SMPTE240M;
    default:
      // Untagged: players take HD pictures for BT.709 and smaller ones for BT.601.
      return (f->width >= 1280 || f->height > 576) ? SWS_CS_ITU709 : SWS_CS_ITU601;
  }
}

// The yuvj formats are the plain ones in full range; swscale wants them said that way.
AVPixelFormat PlainFormat(AVPixelFormat fmt, bool* full_range) {
  switch (fmt) {
    case AV_PIX_FMT_YUVJ420P:
      *full_range = true;
      return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P:
      *full_range = true;
      return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P:
      *full_range = true;
      return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P:
      *full_range = true;
      return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P:
      *full_range = true;
      return AV_PIX_FMT_YUV411P;
    default:
      return fmt;
  }
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

  SwsPtr sws;
  std::vector<uint8_t> scaled;

  HRESULT Fail(HRESULT hr, std::string text) {
    error = std::move(text);
    return hr;
  }
  AVStream* Stream(int index) const { return fmt->streams[index]; }
  void CloseDecoder();
  HRESULT OpenDecoder(int index);
  enum class SeekMode { kKeyframeBefore, kStart, kStartByByte };
  HRESULT SeekTo(int64_t ts, SeekMode mode);
  HRESULT Advance(int64_t target);
  int64_t FramePts(const AVFrame* f);
  bool CheapToDecodeOn(int64_t target);
  HRESULT GrabAt(double seconds, double tolerance);
  HRESULT Deliver(std::int32_t width, std::int32_t height, uint8_t* out);
  double Length(int index);
};

void FfmpegMediaDet::State::CloseDecoder() {
  video = -1;
  dec.reset();
  shown.reset();
  next.reset();
  have_shown = have_next = false;
  origin = AV_NOPTS_VALUE;
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
  ctx->thread_count = 0;
  ctx->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
  if (int rc = avcodec_open2(ctx.get(), codec, nullptr); rc < 0)
    return Fail(FromAvError(rc, E_FAIL), AvErrorText(rc));
  dec = std::move(ctx);
  video = index;
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
  if (mode == SeekMode::kKeyframeBefore) {
    rc = av_seek_frame(fmt.get(), video, ts, AVSEEK_FLAG_BACKWARD);
  } else if (mode == SeekMode::kStartByByte && byte_seekable) {
    rc = av_seek_frame(fmt.get(), -1, 0, AVSEEK_FLAG_BYTE);
  } else if (!fresh) {
    rc = av_seek_frame(fmt.get(), video, start, AVSEEK_FLAG_BACKWARD);
    if (rc < 0 && byte_seekable) rc = av_seek_frame(fmt.get(), -1, 0, AVSEEK_FLAG_BYTE);
  }
  at_start = mode != SeekMode::kKeyframeBefore;
  fresh = false;
  if (rc < 0) return Fail(FromAvError(rc, E_FAIL), "seek failed: " + AvErrorText(rc));
  avcodec_flush_buffers(dec.get());
  have_shown = have_next = false;
  input_ended = drained = false;
  last_pts = AV_NOPTS_VALUE;
  min_pts = AV_NOPTS_VALUE;
  wait_keyframe = true;
  return S_OK;
}

int64_t FfmpegMediaDet::State::FramePts(const AVFrame* f) {
  int64_t pts = f->best_effort_timestamp;
  if (pts == AV_NOPTS_VALUE) pts = f->pts;
  if (pts == AV_NOPTS_VALUE) {
    // No timestamp: one frame duration after the previous frame.
    AVStream* st = Stream(video);
    int64_t step = f->pkt_duration > 0 ? f->pkt_duration : 0;
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

// Decodes on until the frame shown at `target` is known: `shown` is then the last frame
// not after the target (if one was decoded since the last seek) and `next` the one after
// it (unless the stream ended).
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
    rc = av_read_frame(fmt.get(), pkt.get());
    if (rc < 0) {
      if (rc != AVERROR_EOF && !avio_feof(fmt->pb))
        return Fail(FromAvError(rc, E_FAIL), "read failed: " + AvErrorText(rc));
      // The end of the file: let the decoder give up the frames it still holds.
      avcodec_send_packet(dec.get(), nullptr);
      input_ended = true;
      continue;
    }
    if (pkt->stream_index != video) {
      av_packet_unref(pkt.get());
      if (++foreign > kMaxForeignPackets)
        return Fail(E_FAIL, "no picture of the video stream in the rest of the file");
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
  // Right after the first frame was found, the decoder stands at the start.
  if (!have_shown) return have_next && next_pts <= target;
  if (target < shown_pts) return false;
  if (drained) return true;
  AVStream* st = Stream(video);
  if ((target - shown_pts) * av_q2d(st->time_base) < kForwardDecodeSeconds) return true;
  const int idx = av_index_search_timestamp(st, target, AVSEEK_FLAG_BACKWARD);
  if (idx < 0) return false;
  const AVIndexEntry* entry = avformat_index_get_entry(st, idx);
  return entry != nullptr && entry->timestamp <= shown_pts;
}

// The frame shown at `seconds`, into `shown`. Any frame within `tolerance` seconds of it
// would do; a tolerance of 0 asks for exactly that frame.
HRESULT FfmpegMediaDet::State::GrabAt(double seconds, double tolerance) {
  AVStream* st = Stream(video);
  if (std::isnan(seconds)) seconds = 0;
  int64_t target = SecondsToTicks(seconds, st->time_base);
  target = target > (int64_t{1} << 61) ? std::numeric_limits<int64_t>::max() / 2 : target + origin;
  if (target < origin) target = origin;
  const int64_t slack = tolerance > 0 ? SecondsToTicks(tolerance, st->time_base) : 0;

  // The frame at hand already answers: a repeated time, or one within the tolerance.
  if (have_shown && shown_pts <= target) {
    if (have_next ? next_pts > target : drained) return S_OK;
    if (slack > 0 && target - shown_pts <= slack) return S_OK;
  }
  if (CheapToDecodeOn(target)) {
    if (HRESULT hr = Advance(target); Failed(hr)) return hr;
    if (have_shown) return S_OK;
  }
  // Seek to the keyframe before the target and decode forward. Some files seek to a
  // keyframe after the target; then seek again, further back each time, then to the start
  // by time, and last to the first byte of the file (a timestamp seek in MPEG-TS can miss
  // the first keyframe).
  int64_t seek_ts = target;
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
    if (HRESULT adv = Advance(target); Failed(adv)) return adv;
    if (have_shown) return S_OK;
    if (mode == SeekMode::kStartByByte) {
      // From the very start nothing lies at or before the target: the first frame shows.
      if (!have_next) return Fail(E_FAIL, "no picture at this time");
      std::swap(shown, next);
      shown_pts = next_pts;
      have_shown = true;
      have_next = false;
      return S_OK;
    }
    if (mode == SeekMode::kStart) attempt = kMaxSeekRetries;
    seek_ts = target - back;
    back *= 2;
  }
}

HRESULT FfmpegMediaDet::State::Deliver(std::int32_t width, std::int32_t height, uint8_t* out) {
  const AVFrame* f = shown.get();
  const Geometry g = GeometryOf(Stream(video));
  const bool sideways = g.rotation == 90 || g.rotation == 270;
  // Scale to the requested size before turning the picture upright.
  const int sw = sideways ? height : width;
  const int sh = sideways ? width : height;
  bool full_range = f->color_range == AVCOL_RANGE_JPEG;
  const AVPixelFormat src_fmt = PlainFormat(static_cast<AVPixelFormat>(f->format), &full_range);
  SwsContext* ctx = sws_getCachedContext(
      sws.release(), f->width, f->height, src_fmt, sw, sh, AV_PIX_FMT_BGR24,
      SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr);
  sws.reset(ctx);
  if (ctx == nullptr) return Fail(E_FAIL, "cannot convert this picture format");
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(src_fmt);
  if (desc != nullptr && !(desc->flags & AV_PIX_FMT_FLAG_RGB)) {
    sws_setColorspaceDetails(ctx, sws_getCoefficients(SwsColorspace(f)), full_range ? 1 : 0,
                             sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
  }
  const int scaled_stride = (sw * 3 + 63) & ~63;
  scaled.resize(static_cast<size_t>(scaled_stride) * sh + 64);
  uint8_t* dst[4] = {scaled.data(), nullptr, nullptr, nullptr};
  int dst_stride[4] = {scaled_stride, 0, 0, 0};
  if (sws_scale(ctx, f->data, f->linesize, 0, f->height, dst, dst_stride) <= 0)
    return Fail(E_FAIL, "picture conversion failed");

  const std::int32_t row_bytes = (width * 3 + 3) & ~3;
  BITMAPINFOHEADER header = {};
  header.biSize = sizeof(BITMAPINFOHEADER);
  header.biWidth = width;
  header.biHeight = height;
  header.biPlanes = 1;
  header.biBitCount = 24;
  header.biCompression = BI_RGB;
  header.biSizeImage = static_cast<std::uint32_t>(row_bytes) * static_cast<std::uint32_t>(height);
  std::memcpy(out, &header, sizeof header);
  uint8_t* rows = out + sizeof header;
  for (int y = 0; y < height; ++y) {
    // Bottom-up: the top row of the picture is the last row in memory.
    uint8_t* row = rows + static_cast<size_t>(height - 1 - y) * row_bytes;
    std::memset(row + width * 3, 0, row_bytes - width * 3);
    if (g.rotation == 0) {
      std::memcpy(row, scaled.data() + static_cast<size_t>(y) * scaled_stride, width * 3);
      continue;
    }
    for (int x = 0; x < width; ++x) {
      int sx, sy;  // where the player's upright pixel (x, y) sits in the scaled picture
      if (g.rotation == 90) {
        sx = y;
        sy = sh - 1 - x;
      } else if (g.rotation == 180) {
        sx = sw - 1 - x;
        sy = sh - 1 - y;
      } else {
        sx = sw - 1 - y;
        sy = x;
      }
      std::memcpy(row + x * 3, scaled.data() + static_cast<size_t>(sy) * scaled_stride + sx * 3, 3);
    }
  }
  return S_OK;
}

double FfmpegMediaDet::State::Length(int index) {
  AVStream* st = Stream(index);
  if (st->duration != AV_NOPTS_VALUE && st->duration > 0)
    return st->duration * av_q2d(st->time_base);
  // A duration guessed from the bit rate is no statement of the container.
  if (fmt->duration != AV_NOPTS_VALUE && fmt->duration > 0 &&
      fmt->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE) {
    double length = fmt->duration / static_cast<double>(AV_TIME_BASE);
    if (st->start_time != AV_NOPTS_VALUE && fmt->start_time != AV_NOPTS_VALUE)
      length -= st->start_time * av_q2d(st->time_base) - fmt->start_time / double(AV_TIME_BASE);
    return std::max(0.0, length);
  }
  // The container states none: the end of the last packet of the stream near the file's
  // end, counted from the stream's first timestamp.
  int64_t first = st->start_time;
  int64_t end = AV_NOPTS_VALUE;
  int64_t total_duration = 0;  // of every packet, for a stream without timestamps
  const int64_t file_size = fmt->pb ? avio_size(fmt->pb) : -1;
  PacketPtr p(av_packet_alloc());
  if (!p) return 0;
  for (int pass = 0; pass < 2 && end == AV_NOPTS_VALUE; ++pass) {
    int rc;
    if (pass == 0 && file_size > kTailScanBytes)
      rc = av_seek_frame(fmt.get(), -1, file_size - kTailScanBytes, AVSEEK_FLAG_BYTE);
    else if (pass == 0)
      continue;
    else
      rc = av_seek_frame(fmt.get(), -1, 0, AVSEEK_FLAG_BYTE);
    fresh = false;
    if (rc < 0) continue;
    while (av_read_frame(fmt.get(), p.get()) >= 0) {
      if (p->stream_index == index) {
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
  if (end == AV_NOPTS_VALUE) return total_duration * av_q2d(st->time_base);
  if (first == AV_NOPTS_VALUE) first = 0;
  return std::max(0.0, (end - first) * av_q2d(st->time_base));
}

FfmpegMediaDet::FfmpegMediaDet() : state_(std::make_unique<State>()) {
  // The libraries' own log would talk about every damaged packet; a failure that matters
  // reaches the caller through its result code and LastErrorText.
  static std::once_flag quiet;
  std::call_once(quiet, [] { av_log_set_level(AV_LOG_FATAL); });
}

FfmpegMediaDet::~FfmpegMediaDet() = default;

std::int32_t FfmpegMediaDet::FrameRecordSize(std::int32_t width, std::int32_t height) {
  if (width <= 0 || height <= 0) return 0;
  const int64_t row = (static_cast<int64_t>(width) * 3 + 3) & ~int64_t{3};
  const int64_t bytes = 40 + row * height;
  return bytes > std::numeric_limits<std::int32_t>::max() ? 0 : static_cast<std::int32_t>(bytes);
}

HRESULT FfmpegMediaDet::put_Filename(const char16_t* path) {
  State& s = *state_;
  s.CloseDecoder();
  s.sws.reset();
  s.fmt.reset();
  s.current = -1;
  s.fresh = true;
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
  struct stat info;
  if (stat(name.c_str(), &info) != 0) return s.Fail(HresultFromErrno(errno), std::strerror(errno));
  if (S_ISDIR(info.st_mode)) return s.Fail(HresultFromErrno(EISDIR), std::strerror(EISDIR));
  if (!S_ISREG(info.st_mode)) return s.Fail(VFW_E_INVALID_FILE_FORMAT, "not a regular file");

  // "file:" keeps a name with a colon from being taken for a protocol, and the whitelist
  // keeps a playlist-like file from reaching out to anything but local files.
  AVDictionary* raw_options = nullptr;
  av_dict_set(&raw_options, "protocol_whitelist", "file", 0);
  std::unique_ptr<AVDictionary, DictFreer> options(raw_options);
  AVFormatContext* raw = nullptr;
  raw_options = options.release();
  int rc = avformat_open_input(&raw, ("file:" + name).c_str(), nullptr, &raw_options);
  options.reset(raw_options);
  if (rc < 0) return s.Fail(FromAvError(rc, VFW_E_INVALID_FILE_FORMAT), AvErrorText(rc));
  FormatPtr fmt(raw);
  if (rc = avformat_find_stream_info(fmt.get(), nullptr); rc < 0)
    return s.Fail(FromAvError(rc, VFW_E_INVALID_FILE_FORMAT), AvErrorText(rc));
  s.fmt = std::move(fmt);
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
  const Geometry g = GeometryOf(st);
  auto put32 = [block](std::uint32_t offset, std::int32_t v) {
    std::memcpy(block + offset, &v, 4);
  };
  // rcSource and rcTarget: the whole picture.
  put32(8, g.display_w);
  put32(12, g.display_h);
  put32(24, g.display_w);
  put32(28, g.display_h);
  put32(32, static_cast<std::int32_t>(std::clamp<int64_t>(st->codecpar->bit_rate, 0, INT32_MAX)));
  if (st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0) {
    // Average time per frame in units of 100 ns.
    const std::int64_t per_frame =
        av_rescale(10000000, st->avg_frame_rate.den, st->avg_frame_rate.num);
    std::memcpy(block + 40, &per_frame, 8);
  }
  BITMAPINFOHEADER bih = {};
  bih.biSize = sizeof(BITMAPINFOHEADER);
  bih.biWidth = g.display_w;
  bih.biHeight = g.display_h;
  bih.biPlanes = 1;
  bih.biBitCount = 24;
  bih.biCompression = BI_RGB;
  const std::int32_t record = FrameRecordSize(g.display_w, g.display_h);
  bih.biSizeImage = record > 40 ? static_cast<std::uint32_t>(record - 40) : 0;
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
  State& s = *state_;
  const std::int32_t bytes = FrameRecordSize(width, height);
  if (bytes == 0) return s.Fail(E_INVALIDARG, "bad picture size");
  if (size != nullptr) *size = bytes;
  if (buffer == nullptr) return size != nullptr ? S_OK : E_POINTER;
  if (!s.fmt || s.current < 0) return s.Fail(E_UNEXPECTED, "no current stream");
  if (!IsVideo(s.Stream(s.current)))
    return s.Fail(VFW_E_INVALIDMEDIATYPE, "the current stream is not video");
  if (s.video != s.current) {
    if (HRESULT hr = s.OpenDecoder(s.current); Failed(hr)) {
      s.CloseDecoder();
      return hr;
    }
  }
  if (HRESULT hr = s.GrabAt(seconds, 0.0); Failed(hr)) return hr;
  return s.Deliver(width, height, reinterpret_cast<uint8_t*>(buffer));
}

std::string FfmpegMediaDet::LastErrorText() const { return state_->error; }
