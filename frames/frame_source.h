// SPDX-License-Identifier: GPL-3.0-or-later
// The frame source as the sheet uses it, and its only door to the detector: open the movie,
// select its first video stream, read its frame size and length, grab frames into one reusable
// FrameRecord, and answer what the sheet asks before it shares the grabs among detectors.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "frames/frame_record.h"
#include "frames/media_det.h"

/// When a delivered frame starts, and when the next frame starts.
struct FrameTimes {
  double start = std::numeric_limits<double>::quiet_NaN();
  double next = std::numeric_limits<double>::quiet_NaN();
};

class FrameSource {
 public:
  explicit FrameSource(MediaDetFactory factory = DefaultMediaDetFactory());
  ~FrameSource();
  FrameSource(const FrameSource&) = delete;
  FrameSource& operator=(const FrameSource&) = delete;

  /// Creates the detector, converts `src` and opens it. A name that cannot be converted is a
  /// failed open.
  HRESULT Open(const std::string& src);
  /// Creates the detector and opens the movie `first` has open (IMediaDet::OpenSameMovie):
  /// the same file, even when its name has since been given to another.
  HRESULT OpenSameMovie(const FrameSource& first);
  /// Makes the first video stream current; VFW_E_INVALIDMEDIATYPE when there is none or a
  /// call of the search fails.
  HRESULT SelectFirstVideoStream();
  /// Reads width and |height| from the stream's video-info block; VFW_E_INVALIDMEDIATYPE for
  /// any other format block.
  HRESULT ReadFrameSize();
  std::int32_t width() const { return width_; }
  std::int32_t height() const { return height_; }
  /// The size frames are grabbed at from now on (the rectangle they are drawn in, so that the
  /// detector scales each picture once); 0 x 0, the default, is the frame size.
  void SetGrabSize(std::int32_t width, std::int32_t height) {
    grab_width_ = width;
    grab_height_ = height;
  }
  std::int32_t grab_width() const { return grab_width_ > 0 ? grab_width_ : width_; }
  std::int32_t grab_height() const { return grab_height_ > 0 ? grab_height_ : height_; }
  /// Asks the detector for the FrameRecord size (of the grab size) at time 0 and allocates it
  /// (E_OUTOFMEMORY).
  HRESULT AllocateFrameRecord();
  void FreeFrameRecord();
  bool has_frame_record() const { return !record_.empty(); }
  /// Stream length in seconds; *seconds is left at 0 when the query fails. The first length
  /// read is kept and given again, so that whoever asks gets the length the cells are sampled
  /// over.
  HRESULT ReadLength(double* seconds);
  /// Grabs the frame shown at `seconds` into the FrameRecord.
  HRESULT Grab(double seconds);
  /// Grabs a frame shown within `tolerance` seconds of `seconds` into the FrameRecord, or
  /// into `record` (frame_record_size() bytes) when one is given.
  HRESULT GrabNear(double seconds, double tolerance, std::uint8_t* record = nullptr);
  /// When the frame of the last successful grab starts and when the frame after it starts,
  /// in seconds on the clock of the grab times (IMediaDet::GetLastFrameTimes); NaN for what
  /// the detector cannot tell.
  FrameTimes LastFrameTimes() const;
  /// The facts of the open movie (IMediaDet::GetMovieFacts); none when the detector knows
  /// none.
  MovieFacts ReadMovieFacts() const;
  /// The FrameRecord: a 40-byte BITMAPINFOHEADER followed by the 24-bit rows.
  const std::uint8_t* frame_record() const { return record_.data(); }
  std::uint8_t* frame_record() { return record_.data(); }
  std::int32_t frame_record_size() const { return static_cast<std::int32_t>(record_.size()); }
  /// How many detectors of this movie are worth grabbing at once for samples `interval`
  /// seconds apart (IMediaDet::SuggestedGrabWorkers); 1 before Open.
  int SuggestedGrabWorkers(double interval) const;
  /// The group of pictures a GrabNear(seconds, tolerance) decodes from (IMediaDet::GrabGroup);
  /// -1 before Open.
  std::int64_t GrabGroup(double seconds, double tolerance) const;
  /// The colour (0xRRGGBB) that frames with transparent parts are laid over from the next grab
  /// on (IMediaDet::SetBackground), kept for a detector opened later; black by default.
  void SetBackground(std::uint32_t rgb);
  std::uint32_t background() const { return background_; }
  /// The threads the detector decodes with from the next grab on (IMediaDet::SetDecodeThreads):
  /// 1 beside other detectors, 0 for the codec's choice. Without effect before Open.
  void SetDecodeThreads(int threads);
  /// Whether more grabs of the same group follow the next one
  /// (IMediaDet::SetMoreOfGroupToFollow). Without effect before Open.
  void SetMoreOfGroupToFollow(bool more);
  /// The detector's words for the last failure, or empty.
  std::string LastErrorText() const;

 private:
  MediaDetFactory factory_;
  MediaDetPtr det_;
  Bstr filename_;
  std::int32_t width_ = 0;
  std::int32_t height_ = 0;
  std::int32_t grab_width_ = 0;
  std::int32_t grab_height_ = 0;
  std::uint32_t background_ = 0;
  FrameRecord record_;
  std::optional<double> length_;
  std::string open_error_;
};
