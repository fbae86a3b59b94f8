// SPDX-License-Identifier: GPL-3.0-or-later
// The decode cursor of one video stream: a decoder kept open between grabs, fed from where it
// left the demuxer, holding the two pictures around the last time it decoded to (the one
// shown there and the one after it). It seeks, decodes forward to a time, decodes a keyframe
// alone, and tells whether decoding on from where it stands is cheaper than a seek. Times
// are stream ticks; an operation that fails says why in *error.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "frames/av1_obu.h"
#include "frames/av_handles.h"
#include "frames/video_packets.h"
#include "platform/com.h"

class Demuxer;

/// A target this close ahead of the decoder, in seconds, is reached by decoding on rather
/// than by seeking.
inline constexpr double kDecodeOnSeconds = 2.0;

class VideoDecoder {
 public:
  enum class SeekMode {
    kKeyframeBefore,  // the keyframe at or before a time, as the demuxer finds it
    kStart,           // the stream's first keyframe, by time, else the file's first byte
    kStartByByte,     // the file's first byte, where the format allows it
  };

  /// Opens a decoder for stream `stream` of `demuxer` with `threads` threads (0: one a core;
  /// 1: no threads of its own) and decodes the stream's first picture (its first keyframe
  /// alone, where that gives one), whose time becomes origin(). A `known_origin` (not
  /// AV_NOPTS_VALUE: the origin a decoder of the same stream found before) is taken instead, with
  /// nothing decoded: the decoder then holds no picture, and the first grab seeks. On failure
  /// *error says why.
  static HRESULT Open(Demuxer& demuxer, int stream, int threads, std::int64_t known_origin,
                      std::unique_ptr<VideoDecoder>* out, std::string* error);
  ~VideoDecoder();
  VideoDecoder(const VideoDecoder&) = delete;
  VideoDecoder& operator=(const VideoDecoder&) = delete;

  int stream() const { return stream_; }
  /// Time of the stream's first picture.
  std::int64_t origin() const { return origin_; }

  /// The picture shown at the last time decoded to, if one was decoded since the last seek.
  bool has_shown() const { return have_shown_; }
  std::int64_t shown_time() const { return shown_pts_; }
  const AVFrame* shown() const { return shown_.get(); }
  /// The picture after it, unless the stream ended.
  bool has_next() const { return have_next_; }
  std::int64_t next_time() const { return next_pts_; }
  const AVFrame* next() const { return next_.get(); }

  // What the decoder holds is known to be in place only while nothing else moved the
  // demuxer; the three questions below answer no after that.

  /// Whether the picture held is the one shown at `target`, known without decoding more:
  /// the picture after it is later, or the stream has ended.
  bool ShowsFrameAt(std::int64_t target) const;
  /// Whether the picture held is a keyframe decoded alone, at exactly `time`.
  bool HoldsLoneKeyframeAt(std::int64_t time) const;
  /// Whether decoding on to `target` from where the decoder stands is cheaper than seeking:
  /// the target is near (kDecodeOnSeconds), or the file's own index (`file_indexed`) lists
  /// no keyframe between.
  bool CheapToDecodeOn(std::int64_t target, bool file_indexed) const;
  /// Time (decoding time, else presentation time) of the first packet of the stream read
  /// since the last seek, where the seek landed; AV_NOPTS_VALUE before one is read.
  std::int64_t landed_time() const { return landed_; }
  /// Pictures the decoder has handed out since it was opened.
  std::int64_t pictures_decoded() const { return pictures_decoded_; }
  /// Packets sent to the decoder since it was opened.
  std::int64_t packets_decoded() const { return packets_decoded_; }
  /// Whether the end of the file was reached since the last seek.
  bool ReachedEndOfFile() const { return input_ended_; }
  /// Whether the decoder met damage since the last seek: a packet it refused, or a picture it
  /// says is corrupt or concealed.
  bool MetDamage() const { return met_damage_; }

  /// Positions the demuxer as `mode` says (`ts` for kKeyframeBefore) and forgets everything
  /// the decoder held; decoding then starts at the next keyframe.
  HRESULT Seek(std::int64_t ts, SeekMode mode, std::string* error);
  /// Decodes on until the picture shown at `target` is known: has_shown() is then the last
  /// picture not after it (if one was decoded since the last seek) and has_next() the one
  /// after it (unless the stream ended). Pictures that cannot be the target and that nothing
  /// refers to are skipped.
  HRESULT DecodeTo(std::int64_t target, std::string* error);
  /// Seeks to the keyframe at or before `seek_ts` and decodes it alone. *in_window tells
  /// whether its picture lies in [lo, hi]; one outside leaves nothing shown. The decoder
  /// cannot decode on from a keyframe decoded alone: the next grab seeks.
  HRESULT DecodeKeyframeAlone(std::int64_t seek_ts, std::int64_t lo, std::int64_t hi,
                              bool* in_window, std::string* error);
  /// As DecodeKeyframeAlone, but the keyframe is decoded on from, as DecodeTo decodes, so
  /// that a later grab can decode on from it. It shows the same picture: *in_window holds
  /// only when the keyframe lies in [lo, hi] and its picture is the one shown at its own
  /// time; otherwise nothing is shown, and the keyframe is to be decoded alone.
  HRESULT DecodeKeyframeOnward(std::int64_t seek_ts, std::int64_t lo, std::int64_t hi,
                               bool* in_window, std::string* error);
  /// For a file without an index: seeks to `lo` and decodes alone the first keyframe whose
  /// picture is not before it, when that picture is not after `hi` either (*in_window), as
  /// DecodeKeyframeAlone does. Which keyframe that is depends on the file alone: a seek that
  /// lands after `lo` is made again further back. Without one in the window nothing is shown.
  HRESULT DecodeFirstKeyframeIn(std::int64_t lo, std::int64_t hi, bool* in_window,
                                std::string* error);
  /// Shows the next picture in place of the one shown (has_next() must hold).
  void ShowNext();
  /// Lets go of the pictures held, so that the decoder can reuse their memory.
  void DropPictures();

 private:
  VideoDecoder(Demuxer& demuxer, int stream);

  bool DemuxerMoved() const;
  HRESULT Reposition(std::int64_t ts, SeekMode mode, std::string* error);
  bool LandedAtStart(std::int64_t start, PacketPtr* key);
  HRESULT Advance(std::int64_t target, std::string* error);
  bool KeepDecodedPicture();
  HRESULT FeedPacket(std::int64_t target, int* without_picture, int* foreign, std::string* error);
  bool Dispensable(const AVPacket* p, std::int64_t target) const;
  HRESULT DecodeKeyframe(std::int64_t seek_ts, std::int64_t lo, std::int64_t hi, bool onward,
                         bool* in_window, std::string* error);
  bool NextKeyframe(AVPacket* pkt);
  HRESULT FindFirstKeyframeIn(std::int64_t lo, std::int64_t hi, bool* in_window,
                              std::string* error);
  bool DecodeFirstKeyframe();
  void DecodeAlone(AVPacket* key, std::int64_t lo, std::int64_t hi, bool* in_window);
  void NoteDamage(const AVFrame* f);
  std::int64_t FramePts(const AVFrame* f) const;
  void GivePalette(AVPacket* p);

  Demuxer& demuxer_;
  const int stream_;
  VideoPackets packets_;
  // The demuxer's moves() when this decoder last moved it: a different count means that
  // something else moved it since, and the decoder cannot decode on from where it stood.
  std::uint64_t moves_seen_ = 0;
  CodecPtr codec_;
  PacketPtr packet_;
  FramePtr shown_;
  FramePtr next_;
  bool have_shown_ = false;
  bool have_next_ = false;
  std::int64_t shown_pts_ = 0;
  std::int64_t next_pts_ = 0;
  std::int64_t origin_ = 0;
  std::int64_t last_pts_;       // of the last picture out of the decoder
  bool input_ended_ = false;    // the end of the file has been sent to the decoder
  bool drained_ = false;        // and the decoder has given every picture it held
  bool from_start_ = true;      // the decoder is fed from the start of the stream
  bool wait_keyframe_ = false;  // after a seek, packets up to the first keyframe are skipped
  bool lone_keyframe_ = false;  // shown_ is a keyframe decoded alone; the decoder is drained
  bool palette_given_ = false;  // the stream's palette went with a packet since the seek
  std::int64_t landed_;         // see landed_time()
  bool met_damage_ = false;     // see MetDamage()
  std::int64_t pictures_decoded_ = 0;
  std::int64_t packets_decoded_ = 0;
  // Pictures before this time (leading pictures of an open GOP after a seek) may lack their
  // references and are dropped.
  std::int64_t min_pts_;
  std::deque<std::int64_t> recently_sent_;  // times of the last packets sent since the seek
  int hevc_length_size_ = -1;  // NAL length field of HEVC packets (0: start codes), else -1
  bool av1_ = false;           // AV1, whose frame headers are read with av1_sequence_
  Av1Sequence av1_sequence_;
};
