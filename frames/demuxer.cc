// SPDX-License-Identifier: GPL-3.0-or-later
// Opening a movie file into a demuxer confined to it, and every seek and read, counted.
#include "frames/demuxer.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstring>
#include <new>

#include "frames/file_input.h"
#include "frames/index_claims.h"

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

  // "file:" keeps a name with a colon from being taken for a protocol. The movie is this one
  // file, read through `input`, which needs no protocol: a playlist (concat, HLS) or any
  // other demuxer that would open further files itself is refused every one of them, those
  // that open through the context by FileInput::Confine, those that open a context of their
  // own (which inherits the whitelist) by options that name no protocol.
  DictPtr options = FileInput::NoProtocolOptions();
  AVFormatContext* raw = avformat_alloc_context();
  if (raw == nullptr) {
    *error = "out of memory";
    return E_OUTOFMEMORY;
  }
  input.Confine(raw);
  AVDictionary* raw_options = options.release();
  // On failure the context is freed; the reading stays with `input`.
  int rc = avformat_open_input(&raw, ("file:" + name).c_str(), nullptr, &raw_options);
  options.reset(raw_options);
  if (rc < 0 && input.NestedOpenRefused()) {
    *error = kRefersToOtherFiles;
    return VFW_E_INVALID_FILE_FORMAT;
  }
  if (rc < 0) {
    *error = AvErrorText(rc);
    return FromAvError(rc, VFW_E_INVALID_FILE_FORMAT);
  }
  demuxer->format_.reset(raw);
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
    demuxer->SeekBackward(-1, raw->start_time != AV_NOPTS_VALUE ? raw->start_time : 0);
  *out = std::move(demuxer);
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
  return av_read_frame(format_.get(), out);
}

bool Demuxer::ByteSeekable() const { return !(format_->iformat->flags & AVFMT_NO_BYTE_SEEK); }

std::int64_t Demuxer::FileSize() const { return format_->pb ? avio_size(format_->pb) : -1; }

bool Demuxer::AtEndOfFile() const { return avio_feof(format_->pb); }

std::int64_t Demuxer::BytesRead() const { return format_->pb ? format_->pb->bytes_read : 0; }
