// SPDX-License-Identifier: GPL-3.0-or-later
// Opening a movie file into a demuxer confined to it, and every seek and read, counted.
#include "frames/demuxer.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstring>
#include <new>

#include "frames/file_input.h"

bool IsVideo(const AVStream* st) {
  return st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
         !(st->disposition & AV_DISPOSITION_ATTACHED_PIC);
}

HRESULT Demuxer::Open(const std::string& name, std::unique_ptr<Demuxer>* out, std::string* error) {
  std::unique_ptr<Demuxer> demuxer(new (std::nothrow) Demuxer);
  if (!demuxer) {
    *error = "out of memory";
    return E_OUTOFMEMORY;
  }
  if (HRESULT hr = FileInput::Open(name, &demuxer->input_, error); Failed(hr)) return hr;
  // "file:" keeps a name with a colon from being taken for a protocol.
  if (HRESULT hr = demuxer->OpenInput("file:" + name, nullptr, error); Failed(hr)) return hr;
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
  if (HRESULT hr = demuxer->OpenInput(fmt->url != nullptr ? fmt->url : "", fmt->iformat, error);
      Failed(hr))
    return hr;
  *out = std::move(demuxer);
  return S_OK;
}

// Opens the format context on input_ (`format`, or the one the content names when null).
HRESULT Demuxer::OpenInput(const std::string& url, const AVInputFormat* format,
                           std::string* error) {
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
  rc = avformat_find_stream_info(raw, nullptr);
  if (input.NestedOpenRefused()) {
    *error = kRefersToOtherFiles;
    return VFW_E_INVALID_FILE_FORMAT;
  }
  if (rc < 0) {
    *error = AvErrorText(rc);
    return FromAvError(rc, VFW_E_INVALID_FILE_FORMAT);
  }
  // Matroska reads its index at the first seek: one now, before anything is read, gives the
  // index its whole content for the keyframe tables taken when a stream is chosen.
  if (std::strncmp(raw->iformat->name, "matroska", 8) == 0)
    SeekBackward(-1, raw->start_time != AV_NOPTS_VALUE ? raw->start_time : 0);
  return S_OK;
}

Demuxer::~Demuxer() = default;

int Demuxer::stream_count() const { return static_cast<int>(format_->nb_streams); }

AVStream* Demuxer::stream(int index) const { return format_->streams[index]; }

int Demuxer::SeekBackward(int stream, std::int64_t ts) {
  ++moves_;
  return av_seek_frame(format_.get(), stream, ts, AVSEEK_FLAG_BACKWARD);
}

int Demuxer::SeekToByte(std::int64_t pos) {
  ++moves_;
  return av_seek_frame(format_.get(), -1, pos, AVSEEK_FLAG_BYTE);
}

int Demuxer::Read(AVPacket* out) {
  ++moves_;
  return av_read_frame(format_.get(), out);
}

bool Demuxer::ByteSeekable() const { return !(format_->iformat->flags & AVFMT_NO_BYTE_SEEK); }

std::int64_t Demuxer::FileSize() const { return format_->pb ? avio_size(format_->pb) : -1; }

bool Demuxer::AtEndOfFile() const { return avio_feof(format_->pb); }

std::int64_t Demuxer::BytesRead() const { return format_->pb ? format_->pb->bytes_read : 0; }
