// SPDX-License-Identifier: GPL-3.0-or-later
// Opening a movie file into a demuxer confined to it, and every seek and read, counted.
#include "frames/demuxer.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "frames/file_input.h"
#include "frames/index_claims.h"

bool IsVideo(const AVStream* st) {
  return st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
         !(st->disposition & AV_DISPOSITION_ATTACHED_PIC);
}

namespace {

// Whether the container says that stream `st` holds a single picture: its count of frames,
// or where it counts none, Matroska's statistics tags (a frame count, or a length of one
// frame). A stream it says nothing of may hold any number.
bool HoldsOnePicture(const AVStream* st) {
  if (st->nb_frames > 0) return st->nb_frames == 1;
  if (const AVDictionaryEntry* frames = av_dict_get(st->metadata, "NUMBER_OF_FRAMES", nullptr, 0))
    return std::strcmp(frames->value, "1") == 0;
  // The length as HH:MM:SS.nnnnnnnnn: no longer than one frame at the stream's rate.
  const AVDictionaryEntry* length = av_dict_get(st->metadata, "DURATION", nullptr, 0);
  int hours = 0, minutes = 0;
  double seconds = 0;
  if (length == nullptr ||
      std::sscanf(length->value, "%d:%d:%lf", &hours, &minutes, &seconds) != 3 ||
      st->avg_frame_rate.num <= 0 || st->avg_frame_rate.den <= 0)
    return false;
  return hours == 0 && minutes == 0 && seconds <= 1.001 / av_q2d(st->avg_frame_rate);
}

// The colour codes of a stream's parameters, kept as numbers.
struct StatedColours {
  int primaries, transfer, matrix, range;

  static StatedColours Of(const AVStream* st) {
    const AVCodecParameters* par = st->codecpar;
    return {CodeNumber(par->color_primaries), CodeNumber(par->color_trc),
            CodeNumber(par->color_space), CodeNumber(par->color_range)};
  }
  // Puts these codes into the stream's parameters where those say unspecified.
  void FillUnspecified(AVStream* st) const {
    AVCodecParameters* par = st->codecpar;
    Fill(primaries, AVCOL_PRI_UNSPECIFIED, &par->color_primaries);
    Fill(transfer, AVCOL_TRC_UNSPECIFIED, &par->color_trc);
    Fill(matrix, AVCOL_SPC_UNSPECIFIED, &par->color_space);
    Fill(range, AVCOL_RANGE_UNSPECIFIED, &par->color_range);
  }
  template <typename Code>
  static void Fill(int code, Code unspecified, Code* field) {
    if (CodeNumber(*field) != static_cast<int>(unspecified)) return;
    const auto raw = static_cast<std::underlying_type_t<Code>>(code);
    std::memcpy(field, &raw, sizeof raw);
  }
};

struct ParametersFreer {
  void operator()(AVCodecParameters* p) const { avcodec_parameters_free(&p); }
};

}  // namespace

// Finding the streams' parameters decodes each stream's first pictures and fills in the
// packets' missing times from what it found (a reordering delay), which stays inside the
// demuxer. A second demuxer of the same MP4 whose video is H.264 or HEVC need not find them
// again (and decode the first picture once more): the container gives every packet both its
// times, which those two codecs' packets keep whatever was found, so that the packets read
// are the same, and the parameters (what a decoder is set up with) and the times the first
// found are taken. (Cover art, one picture never decoded as the movie, may be anything.)
// Other formats and codecs find their own.
struct Demuxer::FoundStreams {
  struct Stream {
    std::unique_ptr<AVCodecParameters, ParametersFreer> par;
    std::int64_t start_time, duration, nb_frames;
    AVRational avg_frame_rate, r_frame_rate, sample_aspect_ratio;
  };
  std::vector<Stream> streams;
  std::int64_t start_time, duration, bit_rate;

  // Those of `fmt` as found, or null where another demuxer could not take them.
  static std::unique_ptr<const FoundStreams> Of(const AVFormatContext& fmt) {
    if (std::strcmp(fmt.iformat->name, "mov,mp4,m4a,3gp,3g2,mj2") != 0) return nullptr;
    auto found = std::unique_ptr<FoundStreams>(new (std::nothrow) FoundStreams);
    if (!found) return nullptr;
    for (unsigned i = 0; i < fmt.nb_streams; ++i) {
      const AVStream* st = fmt.streams[i];
      const AVCodecID codec = st->codecpar->codec_id;
      if (IsVideo(st) && codec != AV_CODEC_ID_H264 && codec != AV_CODEC_ID_HEVC) return nullptr;
      std::unique_ptr<AVCodecParameters, ParametersFreer> par(avcodec_parameters_alloc());
      if (!par || avcodec_parameters_copy(par.get(), st->codecpar) < 0) return nullptr;
      try {
        found->streams.push_back({std::move(par), st->start_time, st->duration, st->nb_frames,
                                  st->avg_frame_rate, st->r_frame_rate, st->sample_aspect_ratio});
      } catch (const std::bad_alloc&) {
        return nullptr;  // the other demuxer finds them itself
      }
    }
    found->start_time = fmt.start_time;
    found->duration = fmt.duration;
    found->bit_rate = fmt.bit_rate;
    return found;
  }

  // Whether `fmt`, just opened on the same file, has the streams these were found for.
  bool Fit(const AVFormatContext& fmt) const {
    if (fmt.nb_streams != streams.size()) return false;
    for (unsigned i = 0; i < fmt.nb_streams; ++i) {
      const AVCodecParameters* par = fmt.streams[i]->codecpar;
      if (par->codec_type != streams[i].par->codec_type ||
          par->codec_id != streams[i].par->codec_id)
        return false;
    }
    return true;
  }

  // Puts them into `fmt`; false when memory ran out.
  bool Into(AVFormatContext* fmt) const {
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
      const Stream& from = streams[i];
      AVStream* to = fmt->streams[i];
      if (avcodec_parameters_copy(to->codecpar, from.par.get()) < 0) return false;
      to->start_time = from.start_time;
      to->duration = from.duration;
      to->nb_frames = from.nb_frames;
      to->avg_frame_rate = from.avg_frame_rate;
      to->r_frame_rate = from.r_frame_rate;
      to->sample_aspect_ratio = from.sample_aspect_ratio;
    }
    fmt->start_time = start_time;
    fmt->duration = duration;
    fmt->bit_rate = bit_rate;
    return true;
  }
};

HRESULT Demuxer::Open(const std::string& name, std::unique_ptr<Demuxer>* out, std::string* error) {
  std::unique_ptr<Demuxer> demuxer(new (std::nothrow) Demuxer);
  if (!demuxer) {
    *error = "out of memory";
    return E_OUTOFMEMORY;
  }
  if (HRESULT hr = FileInput::Open(name, &demuxer->input_, error); Failed(hr)) return hr;
  FileInput& input = *demuxer->input_;
  // The demuxer builds the index of every track of an MP4 as it opens it, as large as the
  // sample tables claim; a few bytes of table can claim gigabytes. Such a file is refused
  // before the demuxer reads it.
  const ReadAtFunction read_at = [&input](std::uint64_t offset, std::uint8_t* bytes,
                                          std::size_t size) {
    return input.ReadAt(offset, bytes, size);
  };
  if (auto problem = IndexClaimProblem(read_at, input.Size())) {
    *error = std::move(*problem);
    return VFW_E_INVALID_FILE_FORMAT;
  }
  // "file:" keeps a name with a colon from being taken for a protocol.
  if (HRESULT hr = demuxer->OpenInput("file:" + name, nullptr, nullptr, error); Failed(hr))
    return hr;
  *out = std::move(demuxer);
  return S_OK;
}

HRESULT Demuxer::OpenSame(const Demuxer& first, std::unique_ptr<Demuxer>* out, std::string* error) {
  std::unique_ptr<Demuxer> demuxer(new (std::nothrow) Demuxer);
  if (!demuxer) {
    *error = "out of memory";
    return E_OUTOFMEMORY;
  }
  if (HRESULT hr = first.input_->Duplicate(&demuxer->input_, error); Failed(hr)) return hr;
  const AVFormatContext* fmt = first.format_.get();
  if (HRESULT hr =
          demuxer->OpenInput(fmt->url != nullptr ? fmt->url : "", fmt->iformat, &first, error);
      Failed(hr))
    return hr;
  // It counts as moved, as the first has always moved by then (it read the stream's length): a
  // decoder that wants the start seeks there, as it would on the first, so that a movie whose
  // seeks fail fails on both alike rather than by which one happened to be fresh. (The first's
  // own count is its thread's business.)
  demuxer->moves_ = 1;
  *out = std::move(demuxer);
  return S_OK;
}

// Opens the format context on input_ (`format`, or the one the content names when null), with
// the streams' parameters found, or taken from `first` (a demuxer of the same file) where
// they can be.
HRESULT Demuxer::OpenInput(const std::string& url, const AVInputFormat* format,
                           const Demuxer* first, std::string* error) {
  FileInput& input = *input_;
  // The movie is this one file, read through `input`, which needs no protocol: a playlist
  // (concat, HLS) or any other demuxer that would open further files itself is refused every
  // one of them, those that open through the context by FileInput::Confine, those that open a
  // context of their own (which inherits the whitelist) by options that name no protocol.
  DictPtr options = FileInput::NoProtocolOptions();
  AVFormatContext* raw = avformat_alloc_context();
  if (raw == nullptr) {
    *error = "out of memory";
    return E_OUTOFMEMORY;
  }
  input.Confine(raw);
  AVDictionary* raw_options = options.release();
  // On failure the context is freed; the reading stays with `input`.
  int rc = avformat_open_input(&raw, url.c_str(), format, &raw_options);
  options.reset(raw_options);
  if (rc < 0 && input.NestedOpenRefused()) {
    *error = kRefersToOtherFiles;
    return VFW_E_INVALID_FILE_FORMAT;
  }
  if (rc < 0) {
    *error = AvErrorText(rc);
    return FromAvError(rc, VFW_E_INVALID_FILE_FORMAT);
  }
  format_.reset(raw);
  if (first != nullptr && first->found_ && first->found_->Fit(*raw)) {
    if (!first->found_->Into(raw)) {
      *error = "out of memory";
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }
  // Finding the streams' parameters replaces the colours the container states (an MP4 colr
  // box, Matroska's Colour element) by what the decoder found in the bitstream, unspecified
  // where it carries none; a player takes the container's there, so they are put back.
  std::vector<StatedColours> stated(raw->nb_streams);
  for (unsigned i = 0; i < raw->nb_streams; ++i) stated[i] = StatedColours::Of(raw->streams[i]);
  rc = avformat_find_stream_info(raw, nullptr);
  for (unsigned i = 0; i < stated.size() && i < raw->nb_streams; ++i)
    stated[i].FillUnspecified(raw->streams[i]);
  if (input.NestedOpenRefused()) {
    *error = kRefersToOtherFiles;
    return VFW_E_INVALID_FILE_FORMAT;
  }
  if (rc < 0) {
    *error = AvErrorText(rc);
    return FromAvError(rc, VFW_E_INVALID_FILE_FORMAT);
  }
  found_ = FoundStreams::Of(*raw);
  // A palette that comes with a stream's first packet only would be lost at the first seek:
  // the first packets, read while finding the streams and held since, are read now.
  KeepFirstPalettes();
  // Matroska reads its index at the first seek: one now, before anything is read, gives the
  // index its whole content for the keyframe tables taken when a stream is chosen.
  if (std::strncmp(raw->iformat->name, "matroska", 8) == 0)
    SeekBackward(-1, raw->start_time != AV_NOPTS_VALUE ? raw->start_time : 0);
  return S_OK;
}

Demuxer::~Demuxer() = default;

int Demuxer::stream_count() const { return static_cast<int>(format_->nb_streams); }

AVStream* Demuxer::stream(int index) const { return format_->streams[index]; }

namespace {

// av_seek_frame's own failure, when the index leads nowhere near the time (a damaged index),
// is a bare -1, which reads as the system's EPERM; it is named for what it is.
int SeekResult(int rc) { return rc == -1 ? AVERROR_INVALIDDATA : rc; }

}  // namespace

bool Demuxer::IsMovie(int index) const {
  if (!IsVideo(stream(index))) return false;
  if (!HoldsOnePicture(stream(index))) return true;
  for (int later = index + 1; later < stream_count(); ++later)
    if (IsVideo(stream(later)) && !HoldsOnePicture(stream(later))) return false;
  return true;
}

int Demuxer::SeekBackward(int stream, std::int64_t ts) {
  ++moves_;
  return SeekResult(av_seek_frame(format_.get(), stream, ts, AVSEEK_FLAG_BACKWARD));
}

int Demuxer::SeekToByte(std::int64_t pos) {
  ++moves_;
  return SeekResult(av_seek_frame(format_.get(), -1, pos, AVSEEK_FLAG_BYTE));
}

int Demuxer::Read(AVPacket* out) {
  ++moves_;
  const int rc = av_read_frame(format_.get(), out);
  std::size_t size = 0;
  if (const std::uint8_t* palette =
          rc >= 0 ? av_packet_get_side_data(out, AV_PKT_DATA_PALETTE, &size) : nullptr;
      palette != nullptr && size >= AVPALETTE_SIZE)
    palettes_[out->stream_index].assign(palette, palette + AVPALETTE_SIZE);
  return rc;
}

const std::uint8_t* Demuxer::Palette(int index) const {
  const auto kept = palettes_.find(index);
  return kept != palettes_.end() ? kept->second.data() : nullptr;
}

// Reads until every palette video stream has given its first packet (or a few hundred packets
// have gone by); Read keeps the palettes they carry.
void Demuxer::KeepFirstPalettes() {
  std::vector<bool> waiting(format_->nb_streams);
  int left = 0;
  for (unsigned i = 0; i < format_->nb_streams; ++i) {
    const AVCodecParameters* par = format_->streams[i]->codecpar;
    waiting[i] = par->codec_type == AVMEDIA_TYPE_VIDEO && par->format == AV_PIX_FMT_PAL8;
    left += waiting[i];
  }
  if (left == 0) return;
  PacketPtr p(av_packet_alloc());
  for (int k = 0; p && left > 0 && k < kMaxPacketsWithoutPicture && Read(p.get()) >= 0; ++k) {
    const auto index = static_cast<unsigned>(p->stream_index);
    if (index < waiting.size() && waiting[index]) {
      waiting[index] = false;
      --left;
    }
    av_packet_unref(p.get());
  }
}

bool Demuxer::ByteSeekable() const { return !(format_->iformat->flags & AVFMT_NO_BYTE_SEEK); }

std::int64_t Demuxer::FileSize() const { return format_->pb ? avio_size(format_->pb) : -1; }

bool Demuxer::AtEndOfFile() const { return avio_feof(format_->pb); }

std::int64_t Demuxer::BytesRead() const { return format_->pb ? format_->pb->bytes_read : 0; }
