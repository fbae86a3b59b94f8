// SPDX-License-Identifier: GPL-3.0-or-later
// The IMediaDet operations on the frame source's parts: opening a movie and choosing its
// stream, its facts and length, and how many detectors are worth grabbing at once (the grab
// itself is in ffmpeg_media_det_grab.cc).
#include "frames/ffmpeg_media_det.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <thread>

#include "frames/demuxer.h"
#include "frames/display_geometry.h"
#include "frames/keyframe_index.h"
#include "frames/movie_facts.h"
#include "frames/open_movie.h"
#include "frames/stream_length.h"
#include "frames/video_decoder.h"
#include "platform/imaging.h"
#include "platform/text_conv.h"

namespace {

// Pictures this large (4K UHD) are decoded by one detector with the codec's threads.
constexpr std::int64_t kLargePicturePixels = std::int64_t{3840} * 2160;

// The libraries' own log would talk about every damaged packet; a failure that matters
// reaches the caller through its result code and LastErrorText. Nothing of it, not even
// what they log as fatal, may reach the console.
void DropLibraryLog(void*, int, const char*, va_list) {}

// The most the libraries allocate in one piece: a frame of 8K at 64 bits a pixel and the
// index of a very long movie stay well below it, while a size read from a damaged header
// (a 1 GB tag in a 68 KB file) fails as the out-of-memory it would become.
constexpr std::size_t kMaxLibraryAllocation = std::size_t{512} << 20;

}  // namespace

FfmpegMediaDet::FfmpegMediaDet()
    : delivered_start_(std::numeric_limits<double>::quiet_NaN()),
      delivered_next_(std::numeric_limits<double>::quiet_NaN()) {
  static std::once_flag quiet;
  std::call_once(quiet, [] {
    av_log_set_level(AV_LOG_FATAL);
    av_log_set_callback(&DropLibraryLog);
    av_max_alloc(kMaxLibraryAllocation);
  });
}

FfmpegMediaDet::~FfmpegMediaDet() = default;

HRESULT FfmpegMediaDet::Fail(HRESULT hr, std::string text) {
  error_ = std::move(text);
  return hr;
}

std::int32_t FfmpegMediaDet::FrameRecordSize(std::int32_t width, std::int32_t height) {
  if (width <= 0 || height <= 0) return 0;
  const std::int64_t bytes =
      std::int64_t{sizeof(BITMAPINFOHEADER)} + DibRowBytes(width, 24) * height;
  return bytes > std::numeric_limits<std::int32_t>::max() ? 0 : static_cast<std::int32_t>(bytes);
}

void FfmpegMediaDet::CloseMovie() {
  movie_.reset();
  converter_.Reset();
  one_thread_ = false;
  delivered_start_ = delivered_next_ = std::numeric_limits<double>::quiet_NaN();
}

HRESULT FfmpegMediaDet::put_Filename(const char16_t* path) {
  CloseMovie();
  if (path == nullptr) return Fail(E_POINTER, "no file name");
  std::string name;
  try {
    WideToMultibyte converted(path);
    name = converted.get();
  } catch (const ComError& e) {
    return Fail(e.code(), e.what());
  } catch (const std::bad_alloc&) {
    return Fail(E_OUTOFMEMORY, "out of memory");
  }
  auto movie = std::unique_ptr<OpenMovie>(new (std::nothrow) OpenMovie);
  if (!movie) return Fail(E_OUTOFMEMORY, "out of memory");
  try {
    movie->origins = std::make_shared<StreamOrigins>();
  } catch (const std::bad_alloc&) {
    return Fail(E_OUTOFMEMORY, "out of memory");
  }
  std::string why;
  if (HRESULT hr = Demuxer::Open(name, &movie->demuxer, &why); Failed(hr))
    return Fail(hr, std::move(why));
  movie_ = std::move(movie);
  error_.clear();
  return S_OK;
}

HRESULT FfmpegMediaDet::OpenSameMovie(const IMediaDet& other) {
  CloseMovie();
  const auto* first = dynamic_cast<const FfmpegMediaDet*>(&other);
  if (first == nullptr || !first->movie_) return Fail(E_INVALIDARG, "no movie to open again");
  auto movie = std::unique_ptr<OpenMovie>(new (std::nothrow) OpenMovie);
  if (!movie) return Fail(E_OUTOFMEMORY, "out of memory");
  std::string why;
  if (HRESULT hr = Demuxer::OpenSame(*first->movie_->demuxer, &movie->demuxer, &why); Failed(hr))
    return Fail(hr, std::move(why));
  // The tables of the first, taken before it read anything: the same plans, without the seek
  // and reads of taking them again. (The first changes them only when it chooses a stream.)
  movie->origins = first->movie_->origins;
  try {
    movie->keyframes = first->movie_->keyframes;
  } catch (const std::bad_alloc&) {
    return Fail(E_OUTOFMEMORY, "out of memory");
  }
  movie_ = std::move(movie);
  error_.clear();
  return S_OK;
}

HRESULT FfmpegMediaDet::get_OutputStreams(std::int32_t* count) {
  if (count == nullptr) return E_POINTER;
  if (!movie_) return Fail(E_UNEXPECTED, "no file is open");
  *count = movie_->demuxer->stream_count();
  return S_OK;
}

HRESULT FfmpegMediaDet::put_CurrentStream(std::int32_t index) {
  if (!movie_) return Fail(E_UNEXPECTED, "no file is open");
  if (index < 0 || index >= movie_->demuxer->stream_count())
    return Fail(E_INVALIDARG, "no stream " + std::to_string(index));
  movie_->current = index;
  // Before any grab has read the file: the index is as its container gives it (Matroska's was
  // read at the seek the demuxer made when it opened the file).
  movie_->keyframes.Take(*movie_->demuxer, index);
  return S_OK;
}

HRESULT FfmpegMediaDet::get_StreamType(GUID* major_type) {
  if (major_type == nullptr) return E_POINTER;
  if (!movie_ || movie_->current < 0) return Fail(E_UNEXPECTED, "no current stream");
  const AVStream* st = movie_->Stream(movie_->current);
  if (movie_->CurrentIsVideo())
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
  if (mt == nullptr) return E_POINTER;
  *mt = {};
  if (HRESULT hr = get_StreamType(&mt->majortype); Failed(hr)) return hr;
  const AVStream* st = movie_->Stream(movie_->current);
  mt->bFixedSizeSamples = false;
  mt->bTemporalCompression = true;
  mt->formattype = GUID_NULL;
  if (!(mt->majortype == MEDIATYPE_Video)) return S_OK;
  auto* block = static_cast<std::uint8_t*>(CoTaskMemAlloc(kVideoInfoHeaderSize));
  if (block == nullptr) return Fail(E_OUTOFMEMORY, "out of memory");
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
  put32(32,
        static_cast<std::int32_t>(std::clamp<std::int64_t>(st->codecpar->bit_rate, 0, INT32_MAX)));
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
  if (seconds == nullptr) return E_POINTER;
  if (!movie_ || movie_->current < 0) return Fail(E_UNEXPECTED, "no current stream");
  *seconds = StreamLength(*movie_->demuxer, movie_->current);
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
  if (!movie_ || !movie_->CurrentIsVideo()) return 1;
  if (!(interval > 0)) return 1;
  const unsigned cores = std::thread::hardware_concurrency();
  if (cores < 2) return 1;
  // Two single-threaded decoders, each taking the cells of whole groups of pictures (see
  // GrabGroup), decode more in the same time than one decoder with frame threads; a sheet
  // whose cells all lie in one group keeps one detector and its threads. Not so for pictures
  // of 4K and more: each decoder keeps its own reference pictures (some 100 MB at 4K HEVC),
  // more memory than the little time a second one saves there is worth.
  const AVCodecParameters* par = movie_->Stream(movie_->current)->codecpar;
  if (std::int64_t{par->width} * par->height >= kLargePicturePixels) return 1;
  return static_cast<int>(std::min<unsigned>(cores, kMaxGrabWorkers));
}

std::int64_t FfmpegMediaDet::GrabGroup(double seconds, double tolerance) const {
  if (!movie_ || !movie_->CurrentIsVideo()) return -1;
  const AVStream* st = movie_->Stream(movie_->current);
  // The stream's first timestamp stands for its first frame's time, known only once decoding
  // has begun: a group is a matter of speed, never of which frame is taken, and every
  // detector of the movie must give the same groups.
  const std::int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
  const KeyframeTable& keys = movie_->keyframes.Table(movie_->current);
  const GrabPlan plan = PlanGrab(seconds, tolerance, ClockOf(st, start), keys);
  // Without an index, samples nearer than decoding on reaches are decoded on from one to the
  // next; further apart, each is a seek of its own.
  if (keys.times.empty()) return tolerance > 0 && 4 * tolerance < kDecodeOnSeconds ? 0 : -1;
  if (plan.nearest_keyframe >= 0) return plan.nearest_keyframe;
  return std::max<std::ptrdiff_t>(plan.keyframe_before, 0);
}

void FfmpegMediaDet::SetDecodeThreads(int threads) {
  threads = std::max(threads, 0);
  if (threads == decode_threads_) return;
  decode_threads_ = threads;
  // An open decoder keeps its threads; the next grab opens it anew.
  if (movie_) CloseDecoder();
}

void FfmpegMediaDet::CloseDecoder() {
  if (!movie_->decoder) return;
  movie_->pictures_decoded += movie_->decoder->pictures_decoded();
  movie_->packets_decoded += movie_->decoder->packets_decoded();
  movie_->decoder.reset();
}

HRESULT FfmpegMediaDet::GetLastFrameTimes(double* start, double* next) const {
  if (start == nullptr || next == nullptr) return E_POINTER;
  if (std::isnan(delivered_start_)) return E_UNEXPECTED;
  *start = delivered_start_;
  *next = delivered_next_;
  return S_OK;
}

HRESULT FfmpegMediaDet::GetMovieFacts(MovieFacts* facts) const {
  if (facts == nullptr) return E_POINTER;
  if (!movie_ || !movie_->CurrentIsVideo()) return E_UNEXPECTED;
  *facts = ReadMovieFacts(*movie_->demuxer, movie_->current);
  return S_OK;
}

std::int64_t FfmpegMediaDet::BytesRead() const { return movie_ ? movie_->demuxer->BytesRead() : 0; }

std::int64_t FfmpegMediaDet::PicturesDecoded() const {
  if (!movie_) return 0;
  return movie_->pictures_decoded + (movie_->decoder ? movie_->decoder->pictures_decoded() : 0);
}

std::int64_t FfmpegMediaDet::PacketsDecoded() const {
  if (!movie_) return 0;
  return movie_->packets_decoded + (movie_->decoder ? movie_->decoder->packets_decoded() : 0);
}

std::string FfmpegMediaDet::LastErrorText() const { return error_; }
