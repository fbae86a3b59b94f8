// SPDX-License-Identifier: GPL-3.0-or-later
// The media detector on FFmpeg's libraries (libavformat, libavcodec, libswscale, libavutil).
//
// Times are seconds from the current stream's first frame, whatever the container's start
// time. A grab at t delivers the frame a player shows at t: the last frame whose
// presentation time is not after t (the first frame before the start, the last one past the
// end), upright and at the displayed size (rotation metadata and the pixel aspect applied),
// converted with the stream's own colour matrix and range.
//
// Threads: a detector is used by one thread at a time; its calls are not synchronised.
// Detectors of the same movie share nothing but the open file (each reads it through a
// descriptor of its own, with its own demuxer and decoder), so several may grab at once, each
// on its own thread, and what one grabs never depends on what another did. A decoder may run
// threads of its own (SetDecodeThreads) until it meets damage, which threads would conceal
// differently from run to run. The first detector made in the process sets FFmpeg's
// process-wide settings, once (even when several are made at once) and for every user of the
// libraries in the process: their log is silenced (nothing reaches the console; failures reach
// the caller through result codes and LastErrorText), and no single allocation of theirs may
// exceed 512 MB.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "frames/frame_convert.h"
#include "frames/frame_filter.h"
#include "frames/media_det.h"

class FfmpegMediaDet : public IMediaDet {
 public:
  FfmpegMediaDet();
  ~FfmpegMediaDet() override;
  FfmpegMediaDet(const FfmpegMediaDet&) = delete;
  FfmpegMediaDet& operator=(const FfmpegMediaDet&) = delete;

  HRESULT get_OutputStreams(std::int32_t* count) override;
  HRESULT put_CurrentStream(std::int32_t index) override;
  HRESULT get_StreamType(GUID* major_type) override;
  HRESULT get_StreamLength(double* seconds) override;
  /// Opens a regular file; anything else (a directory, a FIFO, a device) fails at once.
  HRESULT put_Filename(const char16_t* path) override;
  /// Reads the file `other` (an FfmpegMediaDet) has open, through a duplicate of its
  /// descriptor, as the same format and with the keyframe tables it took.
  HRESULT OpenSameMovie(const IMediaDet& other) override;
  HRESULT GetBitmapBits(double seconds, std::int32_t* size, char* buffer, std::int32_t width,
                        std::int32_t height) override;
  /// Within the tolerance, the keyframe the container's index lists nearest to `seconds`,
  /// decoded alone, when its picture lies in the window; otherwise the first picture inside
  /// the window (a frame inside its edge, and not after `seconds`), reached by decoding
  /// forward, or the frame shown at `seconds` when none lies there. A tolerance shorter than
  /// one frame asks for the exact frame.
  HRESULT GetBitmapBitsNear(double seconds, double tolerance, char* buffer, std::int32_t width,
                            std::int32_t height) override;
  /// 2 on a machine of two or more cores, otherwise 1: two single-threaded decoders taking
  /// whole groups of pictures (GrabGroup) beat one decoder with frame threads. 1 for pictures
  /// of 4K and more, where a second decoder's memory outweighs what it saves.
  int SuggestedGrabWorkers(double interval) const override;
  /// The index of the listed keyframe the grab decodes from (or takes alone). Without an
  /// index: 0 for every grab when the samples are near enough to decode on from one to the
  /// next, otherwise -1.
  std::int64_t GrabGroup(double seconds, double tolerance) const override;
  void SetDecodeThreads(int threads) override;
  void SetMoreOfGroupToFollow(bool more) override { more_of_group_ = more; }
  void SetBackground(std::uint32_t rgb) override { converter_.SetUnderlay(rgb); }
  /// The shown picture's presentation time; the next picture's when decoding has reached it,
  /// else the shown one's end as its packet or the stream's frame rate gives it.
  HRESULT GetLastFrameTimes(double* start, double* next) const override;
  /// Read from the container's header and the streams' parameters; nothing is decoded.
  HRESULT GetMovieFacts(MovieFacts* facts) const override;
  HRESULT get_StreamMediaType(AM_MEDIA_TYPE* media_type) override;
  std::string LastErrorText() const override;

  /// Bytes of a FrameRecord of width x height: 40 + rows of width * 3 padded to 4 bytes.
  /// 0 when the size is not positive or does not fit 32 bits.
  static std::int32_t FrameRecordSize(std::int32_t width, std::int32_t height);

  /// Bytes read from the file since it was opened.
  std::int64_t BytesRead() const;
  /// Pictures decoded since the file was opened. Detectors of the same open movie
  /// (OpenSameMovie) decode the stream's first picture, which every grab's time is counted
  /// from, only once among them, when they run one after the other.
  std::int64_t PicturesDecoded() const;
  /// Packets of the stream sent to the decoders since the file was opened.
  std::int64_t PacketsDecoded() const;

 private:
  struct OpenMovie;

  HRESULT Fail(HRESULT hr, std::string text);
  // Lets go of the open movie and of everything learnt from it, before another is opened.
  void CloseMovie();
  HRESULT Grab(double seconds, double tolerance, std::int32_t* size, char* buffer,
               std::int32_t width, std::int32_t height);
  HRESULT OpenDecoder();
  // Lets go of the open decoder, its counts kept.
  void CloseDecoder();
  HRESULT GrabAt(double seconds, double tolerance, bool more_of_group);
  HRESULT Deliver(std::int32_t width, std::int32_t height, std::uint8_t* out);
  void NoteFrameTimes();

  std::unique_ptr<OpenMovie> movie_;  // null while no file is open
  std::string error_;                 // what LastErrorText says
  int decode_threads_ = 0;            // for the decoders opened from now on
  bool one_thread_ = false;           // damage was met: decoders run no threads of their own
  bool more_of_group_ = false;        // see SetMoreOfGroupToFollow
  // The frame the last grab delivered, in seconds from the stream's first picture: its start
  // and the next one's (NaN: not known). Both NaN before the first grab.
  double delivered_start_;
  double delivered_next_;
  FrameFilter filter_;  // deinterlacing and tone mapping, where pictures need it
  FrameConverter converter_;
};
