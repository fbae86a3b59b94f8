// SPDX-License-Identifier: GPL-3.0-or-later
#include "frames/movie_facts.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
}

#include <cctype>
#include <utility>

#include "frames/av_handles.h"
#include "frames/demuxer.h"
#include "frames/display_geometry.h"

namespace {

// The names people know the common codecs by; FFmpeg's own short name, in capitals, for the
// rest.
std::string CodecName(AVCodecID id) {
  static const std::pair<AVCodecID, const char*> kNames[] = {
      {AV_CODEC_ID_H264, "H.264"},        {AV_CODEC_ID_HEVC, "HEVC"},
      {AV_CODEC_ID_AV1, "AV1"},           {AV_CODEC_ID_VP9, "VP9"},
      {AV_CODEC_ID_VP8, "VP8"},           {AV_CODEC_ID_MPEG2VIDEO, "MPEG-2"},
      {AV_CODEC_ID_MPEG1VIDEO, "MPEG-1"}, {AV_CODEC_ID_MPEG4, "MPEG-4 Visual"},
      {AV_CODEC_ID_VC1, "VC-1"},          {AV_CODEC_ID_PRORES, "ProRes"},
      {AV_CODEC_ID_MJPEG, "Motion JPEG"}, {AV_CODEC_ID_DVVIDEO, "DV"},
      {AV_CODEC_ID_THEORA, "Theora"},     {AV_CODEC_ID_AAC, "AAC"},
      {AV_CODEC_ID_AC3, "AC-3"},          {AV_CODEC_ID_EAC3, "E-AC-3"},
      {AV_CODEC_ID_DTS, "DTS"},           {AV_CODEC_ID_TRUEHD, "TrueHD"},
      {AV_CODEC_ID_MP3, "MP3"},           {AV_CODEC_ID_MP2, "MP2"},
      {AV_CODEC_ID_OPUS, "Opus"},         {AV_CODEC_ID_VORBIS, "Vorbis"},
      {AV_CODEC_ID_FLAC, "FLAC"},         {AV_CODEC_ID_ALAC, "ALAC"},
  };
  for (const auto& [known, name] : kNames)
    if (known == id) return name;
  const AVCodecDescriptor* descriptor = avcodec_descriptor_get(id);
  if (descriptor == nullptr) return "unknown";
  std::string name = descriptor->name;
  if (name.rfind("pcm_", 0) == 0) return "PCM";
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

std::string AudioChannels(const AVCodecParameters* par) {
  char described[64] = "";
  if (par->ch_layout.nb_channels <= 0 ||
      av_channel_layout_describe(&par->ch_layout, described, sizeof described) < 0)
    return {};
  return described;
}

void ReadAudio(const AVStream* st, MovieFacts* facts) {
  facts->has_audio = true;
  facts->audio_codec = CodecName(st->codecpar->codec_id);
  facts->audio_channels = AudioChannels(st->codecpar);
  const AVDictionaryEntry* language = av_dict_get(st->metadata, "language", nullptr, 0);
  // "und" is the tag for a language nobody stated.
  if (language != nullptr && language->value[0] != '\0' && std::string(language->value) != "und")
    facts->audio_language = language->value;
}

}  // namespace

MovieFacts ReadMovieFacts(const Demuxer& demuxer, int video_stream) {
  MovieFacts facts;
  const AVFormatContext* format = demuxer.format();
  facts.file_bytes = demuxer.FileSize() > 0 ? demuxer.FileSize() : -1;
  if (format->bit_rate > 0) {
    facts.bit_rate = format->bit_rate;
  } else if (facts.file_bytes > 0 && format->duration > 0) {
    facts.bit_rate =
        static_cast<std::int64_t>(static_cast<double>(facts.file_bytes) * 8 * AV_TIME_BASE /
                                  static_cast<double>(format->duration));
  }

  const AVStream* video = demuxer.stream(video_stream);
  const AVCodecParameters* par = video->codecpar;
  const bool sideways = GeometryOf(video).Sideways();
  facts.picture_width = sideways ? par->height : par->width;
  facts.picture_height = sideways ? par->width : par->height;
  const AVRational rate = video->avg_frame_rate.num > 0 && video->avg_frame_rate.den > 0
                              ? video->avg_frame_rate
                              : video->r_frame_rate;
  if (rate.num > 0 && rate.den > 0) facts.frame_rate = av_q2d(rate);
  facts.video_codec = CodecName(par->codec_id);
  if (const char* profile = avcodec_profile_name(par->codec_id, par->profile)) {
    facts.video_profile = profile;
  }
  if (par->color_trc == AVCOL_TRC_SMPTE2084) facts.hdr = "HDR (PQ)";
  if (par->color_trc == AVCOL_TRC_ARIB_STD_B67) facts.hdr = "HDR (HLG)";
  facts.interlaced = IsInterlaced(par);

  for (int i = 0; i < demuxer.stream_count(); ++i) {
    const AVStream* st = demuxer.stream(i);
    if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
      ReadAudio(st, &facts);
      break;
    }
  }
  return facts;
}
