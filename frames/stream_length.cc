// SPDX-License-Identifier: GPL-3.0-or-later
// A stream's length, stated or measured at the file's end, in named steps.
#include "frames/stream_length.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cmath>
#include <optional>

#include "frames/av_handles.h"
#include "frames/demuxer.h"

namespace {

// Bytes before the end of a file from which its last timestamps are looked for.
constexpr std::int64_t kTailScanBytes = 4 << 20;
// Bytes before the end of a file read to check a stated length, and how much shorter than
// stated the data found there must end for the length to be taken from it.
constexpr std::int64_t kTailCheckBytes = 512 << 10;
constexpr double kLengthCheckMargin = 0.5;

// How far the length the container states for a stream can be trusted.
enum class Trust {
  kTrusted,     // taken as it is
  kToCheck,     // taken unless the data at the file's end stops well before it
  kPastTheEnd,  // not at all: the length is that of the data there is
};

// The length the container states for the stream, in seconds: the stream's own, else the
// file's from the stream's start; none when it states neither or only guessed one from the
// bit rate.
std::optional<double> StatedLength(const Demuxer& demuxer, int index) {
  const AVStream* st = demuxer.stream(index);
  const AVFormatContext* fmt = demuxer.format();
  if (st->duration != AV_NOPTS_VALUE && st->duration > 0)
    return st->duration * av_q2d(st->time_base);
  if (fmt->duration == AV_NOPTS_VALUE || fmt->duration <= 0 ||
      fmt->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE)
    return std::nullopt;
  double stated = fmt->duration / static_cast<double>(AV_TIME_BASE);
  if (st->start_time != AV_NOPTS_VALUE && fmt->start_time != AV_NOPTS_VALUE)
    stated -= st->start_time * av_q2d(st->time_base) - fmt->start_time / double(AV_TIME_BASE);
  return std::max(0.0, stated);
}

// A stream whose data the index places within the file (MP4, AVI), or whose length the
// demuxer took from the timestamps at the file's end (MPEG-TS and PS), has its length
// trusted; one whose index lists data past the end of the file (a download cut short, its
// index at the front) has not; for the rest (Matroska, whose cues are lost with the end of a
// file) the end of the file is checked.
Trust TrustInStatedLength(const Demuxer& demuxer, int index) {
  AVStream* st = demuxer.stream(index);
  const std::int64_t file_size = demuxer.FileSize();
  if (file_size <= 0) return Trust::kTrusted;
  if (const int n = avformat_index_get_entries_count(st); n > 0) {
    const AVIndexEntry* last = avformat_index_get_entry(st, n - 1);
    if (last != nullptr && last->pos + std::max(last->size, 0) > file_size)
      return Trust::kPastTheEnd;
    if (last != nullptr && last->size > 0) return Trust::kTrusted;
  }
  if (demuxer.format()->duration_estimation_method == AVFMT_DURATION_FROM_PTS)
    return Trust::kTrusted;
  return Trust::kToCheck;
}

// What the packets of the stream read so far span, in its ticks.
struct PacketSpan {
  std::int64_t first;                 // the earliest start, once the whole file was read
  std::int64_t end = AV_NOPTS_VALUE;  // the latest end
  std::int64_t total_duration = 0;    // of every packet, for a stream without timestamps
};

// Reads to the end of the file into `p`, widening *span by every whole packet of the stream
// (one cut off by the end of the file is no frame). From the file's start, the first time and
// the total duration are taken too.
void ReadToTheEnd(Demuxer& demuxer, int index, AVPacket* p, bool from_start, PacketSpan* span) {
  while (demuxer.Read(p) >= 0) {
    if (p->stream_index == index && !(p->flags & AV_PKT_FLAG_CORRUPT)) {
      if (from_start) span->total_duration += std::max<std::int64_t>(p->duration, 0);
      std::int64_t ts = p->pts != AV_NOPTS_VALUE ? p->pts : p->dts;
      if (ts != AV_NOPTS_VALUE) {
        ts += std::max<std::int64_t>(p->duration, 0);
        if (span->end == AV_NOPTS_VALUE || ts > span->end) span->end = ts;
        if (from_start && (span->first == AV_NOPTS_VALUE || ts - p->duration < span->first))
          span->first = ts - std::max<std::int64_t>(p->duration, 0);
      }
    }
    av_packet_unref(p);
  }
}

// The time of the next packet of the stream that has one, read from where the demuxer
// stands; AV_NOPTS_VALUE when none comes before the end of the file.
std::int64_t FirstTimeRead(Demuxer& demuxer, int index, AVPacket* p) {
  std::int64_t ts = AV_NOPTS_VALUE;
  while (ts == AV_NOPTS_VALUE && demuxer.Read(p) >= 0) {
    if (p->stream_index == index) ts = p->pts != AV_NOPTS_VALUE ? p->pts : p->dts;
    av_packet_unref(p);
  }
  return ts;
}

// Positions the demuxer at the share of the stated length `stated` (in the stream's ticks)
// that the last `tail` bytes of the file hold, by time.
bool SeekNearTheEndByTime(Demuxer& demuxer, int index, std::int64_t stated, std::int64_t file_size,
                          std::int64_t tail) {
  const AVStream* st = demuxer.stream(index);
  const std::int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
  return demuxer.SeekBackward(index, start + stated - av_rescale(stated, tail, file_size)) >= 0;
}

// Positions the demuxer `tail` bytes before the end of the file. Some demuxers number their
// packets as they read them (raw DV counts frames from wherever reading began), so that after
// a byte seek their times say nothing about where the data lies: reading the same place twice
// gives two times, and *byte_times becomes false; the demuxer's own seek by time, which
// places the packets, is left to the caller. Where the format cannot seek by byte, at the
// last keyframe whose data the index places within the file instead. False when there is no
// such place (a file no longer than the tail is read whole instead).
bool SeekNearTheEnd(Demuxer& demuxer, int index, std::int64_t file_size, std::int64_t tail,
                    AVPacket* p, bool* byte_times) {
  if (demuxer.ByteSeekable()) {
    const std::int64_t pos = file_size - tail;
    if (file_size <= tail || demuxer.SeekToByte(pos) < 0) return false;
    const std::int64_t first = FirstTimeRead(demuxer, index, p);
    if (first == AV_NOPTS_VALUE || demuxer.SeekToByte(pos) < 0) return false;
    *byte_times = FirstTimeRead(demuxer, index, p) == first;
    return *byte_times && demuxer.SeekToByte(pos) >= 0;
  }
  AVStream* st = demuxer.stream(index);
  for (int k = avformat_index_get_entries_count(st) - 1; k >= 0; --k) {
    const AVIndexEntry* e = avformat_index_get_entry(st, k);
    if (e != nullptr && (e->flags & AVINDEX_KEYFRAME) && e->pos + std::max(e->size, 0) <= file_size)
      return demuxer.SeekBackward(index, e->timestamp) >= 0;
  }
  return false;
}

// Positions the demuxer at the start of the file to read it whole. A stated length that is
// only checked goes there by time, which also revives a Matroska demuxer that reached the
// file's end while the file was opened, and so does a demuxer whose times after a byte seek
// are not the data's own; otherwise, or when that fails, by its first byte.
bool SeekToTheStart(Demuxer& demuxer, int index, bool by_time) {
  const AVStream* st = demuxer.stream(index);
  if (by_time && st->start_time != AV_NOPTS_VALUE &&
      demuxer.SeekBackward(index, st->start_time) >= 0)
    return true;
  return demuxer.SeekToByte(0) >= 0;
}

}  // namespace

double StreamLength(Demuxer& demuxer, int index) {
  // 1. The length the container states, and how far it can be trusted.
  const std::optional<double> stated = StatedLength(demuxer, index);
  const Trust trust = stated ? TrustInStatedLength(demuxer, index) : Trust::kPastTheEnd;
  if (trust == Trust::kTrusted) return *stated;

  // 2. The end of the stream's last packet near the file's end. A stated length that is only
  // checked gets a shorter look at the end.
  const std::int64_t tail = trust == Trust::kToCheck ? kTailCheckBytes : kTailScanBytes;
  const std::int64_t file_size = demuxer.FileSize();
  const AVRational time_base = demuxer.stream(index)->time_base;
  PacketSpan span{demuxer.stream(index)->start_time};
  PacketPtr packet(av_packet_alloc());
  if (!packet) return std::max(stated.value_or(0), 0.0);
  bool byte_times = true;
  if (SeekNearTheEnd(demuxer, index, file_size, tail, packet.get(), &byte_times) ||
      (!byte_times && stated &&
       SeekNearTheEndByTime(demuxer, index, std::llround(*stated / av_q2d(time_base)), file_size,
                            tail)))
    ReadToTheEnd(demuxer, index, packet.get(), false, &span);

  // 3. Nothing of the stream there: the whole file is read, when it can be by byte and either
  // no length is stated or the file is no longer than the tail. A long file with a stated
  // length is never read whole just to check it.
  if (span.end == AV_NOPTS_VALUE && demuxer.ByteSeekable() && (!stated || file_size <= tail) &&
      SeekToTheStart(demuxer, index, trust == Trust::kToCheck || !byte_times))
    ReadToTheEnd(demuxer, index, packet.get(), true, &span);

  // 4. The span found, from the stream's first time; the total of the packets' durations for
  // a stream without timestamps.
  double measured;
  if (span.end == AV_NOPTS_VALUE) {
    measured = span.total_duration * av_q2d(time_base);
  } else {
    if (span.first == AV_NOPTS_VALUE) span.first = 0;
    measured = std::max(0.0, (span.end - span.first) * av_q2d(time_base));
  }
  if (!stated) return measured;

  // 5. The data ends before the stated length: the length is what is there. A checked length
  // keeps a small difference (audio lasting a little longer than the video, say).
  const double margin = trust == Trust::kToCheck ? kLengthCheckMargin : 0;
  return span.end != AV_NOPTS_VALUE && measured < *stated - margin ? measured : *stated;
}
