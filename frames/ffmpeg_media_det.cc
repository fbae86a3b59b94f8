// SPDX-License-Identifier: GPL-3.0-or-later
// The IMediaDet operations on the frame source's parts: opening a movie and choosing its
// stream, the grab (a keyframe decoded alone, decoding on, or seeking, retried further back
// when a seek lands too late), the delivery of the picture as a FrameRecord, and how many
// detectors are worth grabbing at once.
#include "frames/ffmpeg_media_det.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <thread>
#include <vector>

#include "frames/demuxer.h"
#include "frames/display_geometry.h"
#include "frames/keyframe_index.h"
#include "frames/movie_facts.h"
#include "frames/stream_length.h"
#include "frames/video_decoder.h"
#include "platform/imaging.h"
#include "platform/text_conv.h"

namespace {

// Seeks that land after the target are retried this often, each time further back; the
// last resort is the start of the stream.
constexpr int kMaxSeekRetries = 5;
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

}  // namespace

struct FfmpegMediaDet::OpenMovie {
  std::unique_ptr<Demuxer> demuxer;
  std::shared_ptr<StreamOrigins> origins;  // shared with the detectors of OpenSameMovie
  std::int64_t pictures_decoded = 0;       // by the decoders let go so far
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

HRESULT FfmpegMediaDet::put_Filename(const char16_t* path) {
  movie_.reset();
  converter_.Reset();
  one_thread_ = false;
  delivered_start_ = delivered_next_ = std::numeric_limits<double>::quiet_NaN();
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
  movie_.reset();
  converter_.Reset();
  one_thread_ = false;
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
  if (movie_ && movie_->decoder) {
    movie_->pictures_decoded += movie_->decoder->pictures_decoded();
    movie_->decoder.reset();
  }
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

std::string FfmpegMediaDet::LastErrorText() const { return error_; }

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
  HRESULT grabbed = GrabAt(seconds, tolerance);
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
      if (Failed(GrabAt(t, tolerance))) break;
    grabbed = GrabAt(seconds, tolerance);
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
HRESULT FfmpegMediaDet::GrabAt(double seconds, double tolerance) {
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
  if (movie.decoder) movie.pictures_decoded += movie.decoder->pictures_decoded();
  movie.decoder.reset();
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
