// SPDX-License-Identifier: GPL-3.0-or-later
// The least decoding a contact sheet's contract allows, for the benchmark: the frames a sheet of
// N cells must decode when each cell may show any picture within a quarter interval of its
// time, worked out from the movie's packet list and reference structure, and then decoded, those
// frames and no others, so that the benchmark can time it beside the tools.
//
//   limit_decode plan MOVIE CELLS > PLAN    prints the least count, then the packets to decode
//   limit_decode decode MOVIE PLAN          decodes them (this is what the benchmark times)
//
// A picture costs the reference pictures of its group of pictures up to it in decoding order
// (a decoder must decode each of them to keep its references), plus itself when nothing
// refers to it; pictures of one group share their references. Which pictures nothing refers
// to the bitstream says: H.264 nal_ref_idc, HEVC sub-layer non-reference NAL types, MPEG-2
// B-pictures, AV1 frames that refresh no slot. VP9 and other codecs: every picture counts as a
// reference. Leading pictures of an open group (shown before its keyframe) are not taken.
// Times are from the first picture, cells at L k / (N + 2).
//
// Built by bench/run.sh with the frame source's own readers of HEVC and AV1 headers.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "frames/av1_obu.h"
#include "frames/hevc_nal.h"

namespace {

struct Packet {
  std::int64_t pts, dts, pos;
  bool key, reference;
  int gop;     // index of its group of pictures (decoding order)
  int prefix;  // reference pictures of its group up to it, itself included when a reference
};

// Whether an H.264 packet (4-byte lengths, or start codes) holds a slice others refer to.
bool H264IsReference(const std::uint8_t* d, int n, bool start_codes) {
  bool any_slice = false;
  for (int i = 0; i < n;) {
    int start, end;
    if (start_codes) {
      while (i + 3 <= n && !(d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1)) ++i;
      if (i + 3 > n) break;
      start = i + 3;
      end = start;
      while (end + 3 <= n && !(d[end] == 0 && d[end + 1] == 0 && d[end + 2] == 1)) ++end;
      if (end + 3 > n) end = n;
      i = end;
    } else {
      if (i + 4 > n) break;
      const int len = (d[i] << 24) | (d[i + 1] << 16) | (d[i + 2] << 8) | d[i + 3];
      start = i + 4;
      end = std::min(n, start + len);
      i = end;
    }
    if (start >= end) continue;
    const int type = d[start] & 0x1F, ref_idc = (d[start] >> 5) & 3;
    if (type == 1 || type == 5) {
      any_slice = true;
      if (ref_idc != 0) return true;
    }
  }
  return !any_slice;
}

// Whether an MPEG-2 packet's picture is no B-picture.
bool Mpeg2IsReference(const std::uint8_t* d, int n) {
  for (int i = 0; i + 5 < n; ++i)
    if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1 && d[i + 3] == 0)
      return ((d[i + 5] >> 3) & 7) != 3;
  return true;
}

double Seconds(const AVStream* st, std::int64_t ticks) { return ticks * av_q2d(st->time_base); }

int Video(AVFormatContext* fmt) {
  return av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
}

int Plan(const char* movie, int cells) {
  // The packet list and reference structure, read without decoding.
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, movie, nullptr, nullptr) < 0 ||
      avformat_find_stream_info(fmt, nullptr) < 0)
    return 1;
  const int vs = Video(fmt);
  if (vs < 0) return 1;
  AVStream* st = fmt->streams[vs];
  const AVCodecParameters* par = st->codecpar;
  const bool h264_start_codes = par->extradata_size == 0 || par->extradata[0] != 1;
  const int hevc_length = par->codec_id == AV_CODEC_ID_HEVC
                              ? HevcLengthFieldSize(par->extradata, par->extradata_size)
                              : -1;
  Av1Sequence av1 = Av1SequenceFromExtradata(par->extradata, par->extradata_size);
  std::vector<Packet> packets;
  AVPacket* pkt = av_packet_alloc();
  int gop = -1, prefix = 0;
  while (av_read_frame(fmt, pkt) >= 0) {
    if (pkt->stream_index == vs && pkt->pts != AV_NOPTS_VALUE) {
      Packet p{pkt->pts, pkt->dts, pkt->pos, (pkt->flags & AV_PKT_FLAG_KEY) != 0, true, 0, 0};
      switch (par->codec_id) {
        case AV_CODEC_ID_H264:
          p.reference = H264IsReference(pkt->data, pkt->size, h264_start_codes);
          break;
        case AV_CODEC_ID_HEVC:
          p.reference = !HevcPacketIsDisposable(pkt->data, pkt->size, hevc_length);
          break;
        case AV_CODEC_ID_MPEG2VIDEO:
          p.reference = Mpeg2IsReference(pkt->data, pkt->size);
          break;
        case AV_CODEC_ID_AV1:
          p.reference = !Av1PacketIsDisposable(pkt->data, pkt->size, &av1);
          break;
        default:
          break;
      }
      if (p.key) {
        ++gop;
        prefix = 0;
      }
      if (gop >= 0) {
        if (p.reference) ++prefix;
        p.gop = gop;
        p.prefix = p.reference ? prefix : prefix + 1;
        packets.push_back(p);
      }
    }
    av_packet_unref(pkt);
  }
  av_packet_free(&pkt);
  if (packets.empty()) return 1;
  std::int64_t origin = std::numeric_limits<std::int64_t>::max(), last = 0;
  for (const Packet& p : packets) {
    origin = std::min(origin, p.pts);
    last = std::max(last, p.pts);
  }
  // The first keyframe's presentation time of each group: pictures before it lead the group.
  std::map<int, std::int64_t> gop_start;
  for (const Packet& p : packets)
    if (p.key) gop_start.emplace(p.gop, p.pts);
  const double length = Seconds(st, last - origin) + 1 / av_q2d(st->avg_frame_rate);
  const double interval = length / (cells + 2);

  // Cheapest choice over all cells: per group the longest reference prefix any chosen picture
  // needs, plus each chosen non-reference picture. Windows come in time order, and so do the
  // groups of the pictures in them: a walk over the cells with the open group as its state.
  using State = std::pair<int, int>;  // open group, its longest prefix
  using Costs = std::map<State, std::pair<long, std::vector<int>>>;
  Costs costs;
  costs[{-1, 0}] = {0, {}};
  for (int k = 1; k <= cells; ++k) {
    const double t = k * interval, q = interval / 4;
    Costs next;
    for (int i = 0; i < static_cast<int>(packets.size()); ++i) {
      const Packet& p = packets[i];
      const double at = Seconds(st, p.pts - origin);
      if (at < t - q || at > t + q || p.pts < gop_start[p.gop]) continue;
      const int own = p.reference ? 0 : 1, needed = p.reference ? p.prefix : p.prefix - 1;
      for (const auto& [state, value] : costs) {
        if (state.first > p.gop) continue;
        State to;
        long cost = value.first + own;
        if (state.first == p.gop) {
          to = {p.gop, std::max(state.second, needed)};
        } else {
          cost += state.second;
          to = {p.gop, needed};
        }
        auto found = next.find(to);
        if (found == next.end() || cost < found->second.first) {
          std::vector<int> picks = value.second;
          picks.push_back(i);
          next[to] = {cost, std::move(picks)};
        }
      }
    }
    if (next.empty()) {
      std::fprintf(stderr, "limit_decode: no picture in the window of cell %d\n", k);
      return 1;
    }
    costs = std::move(next);
  }
  long best = std::numeric_limits<long>::max();
  std::vector<int> picks;
  for (const auto& [state, value] : costs)
    if (value.first + state.second < best) {
      best = value.first + state.second;
      picks = value.second;
    }
  // Per group: its keyframe, then the packets to send (references up to the longest prefix,
  // and the chosen others), in decoding order.
  std::map<int, int> need_prefix;
  std::set<int> chosen(picks.begin(), picks.end());
  for (int i : picks) {
    const Packet& p = packets[i];
    int& n = need_prefix[p.gop];
    n = std::max(n, p.reference ? p.prefix : p.prefix - 1);
  }
  std::printf("%ld %d\n", best, vs);
  for (const auto& [g, needed] : need_prefix) {
    std::vector<const Packet*> send;
    const Packet* key = nullptr;
    for (int i = 0; i < static_cast<int>(packets.size()); ++i) {
      const Packet& p = packets[i];
      if (p.gop != g) continue;
      if (p.key && !key) key = &p;
      if ((p.reference && p.prefix <= needed) || chosen.count(i)) send.push_back(&p);
    }
    std::printf("group %lld %lld %lld %zu\n", static_cast<long long>(key->pos),
                static_cast<long long>(key->pts), static_cast<long long>(key->dts), send.size());
    for (const Packet* p : send)
      std::printf("%lld %lld\n", static_cast<long long>(p->pts), static_cast<long long>(p->dts));
  }
  avformat_close_input(&fmt);
  return 0;
}

// Opens the movie as a player would, seeks to each group's keyframe and sends exactly the
// packets of the plan, on one thread.
int Decode(const char* movie, const char* plan_path) {
  FILE* plan = std::fopen(plan_path, "r");
  if (!plan) return 1;
  long least = 0;
  int vs = 0;
  if (std::fscanf(plan, "%ld %d", &least, &vs) != 2) return 1;
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, movie, nullptr, nullptr) < 0 ||
      avformat_find_stream_info(fmt, nullptr) < 0)
    return 1;
  AVStream* st = fmt->streams[vs];
  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  avcodec_parameters_to_context(ctx, st->codecpar);
  ctx->thread_count = 1;
  ctx->pkt_timebase = st->time_base;
  if (avcodec_open2(ctx, codec, nullptr) < 0) return 1;
  AVFrame* frame = av_frame_alloc();
  AVPacket* pkt = av_packet_alloc();
  const bool byte_seek = !(fmt->iformat->flags & AVFMT_NO_BYTE_SEEK);
  long sent = 0;
  long long pos, key_pts, key_dts;
  std::size_t count;
  while (std::fscanf(plan, " group %lld %lld %lld %zu", &pos, &key_pts, &key_dts, &count) == 4) {
    std::set<std::pair<long long, long long>> wanted;
    for (std::size_t i = 0; i < count; ++i) {
      long long pts, dts;
      if (std::fscanf(plan, "%lld %lld", &pts, &dts) != 2) return 1;
      wanted.insert({pts, dts});
    }
    const int rc = byte_seek && pos >= 0
                       ? av_seek_frame(fmt, -1, pos, AVSEEK_FLAG_BYTE)
                       : av_seek_frame(fmt, vs, key_dts != AV_NOPTS_VALUE ? key_dts : key_pts,
                                       AVSEEK_FLAG_BACKWARD);
    if (rc < 0) return 1;
    avcodec_flush_buffers(ctx);
    bool started = false;
    while (!wanted.empty() && av_read_frame(fmt, pkt) >= 0) {
      if (pkt->stream_index == vs) {
        started = started || (pkt->pts == key_pts && (pkt->flags & AV_PKT_FLAG_KEY));
        if (started && wanted.erase({pkt->pts, pkt->dts})) {
          avcodec_send_packet(ctx, pkt);
          ++sent;
          while (avcodec_receive_frame(ctx, frame) == 0) av_frame_unref(frame);
        }
      }
      av_packet_unref(pkt);
    }
    avcodec_send_packet(ctx, nullptr);
    while (avcodec_receive_frame(ctx, frame) == 0) av_frame_unref(frame);
  }
  std::fclose(plan);
  std::printf("decoded %ld of %ld planned\n", sent, least);
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&ctx);
  avformat_close_input(&fmt);
  return sent == least ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  av_log_set_level(AV_LOG_FATAL);
  if (argc == 4 && std::string(argv[1]) == "plan") return Plan(argv[2], std::atoi(argv[3]));
  if (argc == 4 && std::string(argv[1]) == "decode") return Decode(argv[2], argv[3]);
  std::fprintf(stderr, "usage: limit_decode plan MOVIE CELLS | decode MOVIE PLAN\n");
  return 2;
}
