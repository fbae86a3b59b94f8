// SPDX-License-Identifier: GPL-3.0-or-later
// FFmpeg handle owners, error words and the version-dependent reads, for FFmpeg 5.1 and later.
#include "frames/av_handles.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/mastering_display_metadata.h>
#include <libswscale/swscale.h>
}

#include <cstddef>

void FormatCloser::operator()(AVFormatContext* p) const { avformat_close_input(&p); }
void CodecCloser::operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
void FrameFreer::operator()(AVFrame* p) const { av_frame_free(&p); }
void PacketFreer::operator()(AVPacket* p) const { av_packet_free(&p); }
void DictFreer::operator()(AVDictionary* p) const { av_dict_free(&p); }
void SwsFreer::operator()(SwsContext* p) const { sws_freeContext(p); }

std::string AvErrorText(int rc) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(rc, text, sizeof text);
  return text;
}

HRESULT FromAvError(int rc, HRESULT otherwise) {
  if (rc == AVERROR(ENOMEM)) return E_OUTOFMEMORY;
  if (rc < 0 && -rc < 4096) return HresultFromErrno(-rc);
  return otherwise;
}

namespace {

// The stream's side data of one type, with its size, or null. FFmpeg 6.1 moved it from the
// stream to the stream's codec parameters.
const std::uint8_t* StreamSideData(const AVStream* st, AVPacketSideDataType type,
                                   std::size_t* size) {
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 31, 100)
  const AVPacketSideData* sd = av_packet_side_data_get(st->codecpar->coded_side_data,
                                                       st->codecpar->nb_coded_side_data, type);
  if (sd == nullptr) return nullptr;
  *size = sd->size;
  return sd->data;
#else
  return av_stream_get_side_data(st, type, size);
#endif
}

}  // namespace

const std::int32_t* StreamDisplayMatrix(const AVStream* st) {
  std::size_t size = 0;
  const std::uint8_t* matrix = StreamSideData(st, AV_PKT_DATA_DISPLAYMATRIX, &size);
  if (matrix == nullptr || size < 9 * sizeof(std::int32_t)) return nullptr;
  return reinterpret_cast<const std::int32_t*>(matrix);
}

const AVContentLightMetadata* StreamContentLightLevel(const AVStream* st) {
  std::size_t size = 0;
  const std::uint8_t* d = StreamSideData(st, AV_PKT_DATA_CONTENT_LIGHT_LEVEL, &size);
  if (d == nullptr || size < sizeof(AVContentLightMetadata)) return nullptr;
  return reinterpret_cast<const AVContentLightMetadata*>(d);
}

const AVMasteringDisplayMetadata* StreamMasteringDisplay(const AVStream* st) {
  std::size_t size = 0;
  const std::uint8_t* d = StreamSideData(st, AV_PKT_DATA_MASTERING_DISPLAY_METADATA, &size);
  if (d == nullptr || size < sizeof(AVMasteringDisplayMetadata)) return nullptr;
  return reinterpret_cast<const AVMasteringDisplayMetadata*>(d);
}

std::int64_t FrameDuration(const AVFrame* f) {
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 30, 100)
  return f->duration;
#else
  return f->pkt_duration;
#endif
}

bool IsInterlaced(const AVCodecParameters* par) {
  return par->field_order != AV_FIELD_UNKNOWN && par->field_order != AV_FIELD_PROGRESSIVE;
}

bool IsInterlaced(const AVFrame* f) {
#ifdef AV_FRAME_FLAG_INTERLACED
  return (f->flags & AV_FRAME_FLAG_INTERLACED) != 0;
#else
  return f->interlaced_frame != 0;
#endif
}
