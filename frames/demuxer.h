// SPDX-License-Identifier: GPL-3.0-or-later
// The open movie's demuxer: FFmpeg's format context over the movie file, the one place the
// file is sought in and read from, with a count of those moves, by which the decoder learns
// that something else (the length's look at the file's end, an index being read) moved the
// demuxer away from where it left it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "frames/av_handles.h"
#include "platform/com.h"

class FileInput;
struct AVInputFormat;

/// Packets read in search of a keyframe, or fed to the decoder without its giving a picture,
/// before the search gives up: a stream this broken is beyond what seeking around can mend.
inline constexpr int kMaxPacketsWithoutPicture = 600;

/// Whether `st` is a video stream that a player shows as a movie: cover art is stored as a
/// one-picture video stream, and it is none.
bool IsVideo(const AVStream* st);

class Demuxer {
 public:
  /// Opens the file `name` (in the system's multibyte encoding) as a movie and reads its
  /// stream information. Fails with VFW_E_INVALID_FILE_FORMAT for a file that is no movie or
  /// refers to other files, or with the system's error; *error then says why.
  static HRESULT Open(const std::string& name, std::unique_ptr<Demuxer>* out, std::string* error);
  /// Opens another demuxer on the file `first` reads, through a duplicate of its descriptor
  /// (the same file, whatever its name names now), as the same format. The two share nothing
  /// else and may be used on two threads at once. Where it can, it takes the streams'
  /// parameters from `first` instead of finding them again.
  static HRESULT OpenSame(const Demuxer& first, std::unique_ptr<Demuxer>* out, std::string* error);
  ~Demuxer();
  Demuxer(const Demuxer&) = delete;
  Demuxer& operator=(const Demuxer&) = delete;

  const AVFormatContext* format() const { return format_.get(); }
  int stream_count() const;
  /// Stream `index`, 0 <= index < stream_count(). Reading may add streams and move the
  /// list: a stream pointer is not to be kept across a read.
  AVStream* stream(int index) const;
  /// Whether stream `index` is the video a player shows: IsVideo, and not a one-picture
  /// track (a cover stored as an ordinary track, not flagged as one) ahead of a later video
  /// stream that moves. A one-picture stream with none such after it (a still image) is.
  bool IsMovie(int index) const;

  /// How often the demuxer was sought or read from since the file was opened; 0 while it
  /// stands where opening left it, at the start of the file.
  std::uint64_t moves() const { return moves_; }
  /// av_seek_frame backward: to the keyframe at or before `ts` of stream `stream` (in its
  /// ticks), or with stream -1 in AV_TIME_BASE units. Returns FFmpeg's result, a seek the
  /// index cannot lead to being AVERROR_INVALIDDATA.
  int SeekBackward(int stream, std::int64_t ts);
  /// av_seek_frame to byte `pos` of the file. Returns FFmpeg's result, as SeekBackward does.
  int SeekToByte(std::int64_t pos);
  /// The next packet of any stream, as av_read_frame gives it.
  int Read(AVPacket* out);
  /// The palette (AVPALETTE_SIZE bytes) the packets of stream `index` carried last, null when
  /// none did. Containers give it once, with a stream's first packet (AVI, QuickTime) or
  /// where it changes, and a seek drops it: the decoder gets it from here after a seek.
  const std::uint8_t* Palette(int index) const;

  /// Whether the format can seek to a byte position (MP4 cannot).
  bool ByteSeekable() const;
  /// The file's size in bytes, or less than 1 when unknown.
  std::int64_t FileSize() const;
  /// Whether reading has met the end of the file.
  bool AtEndOfFile() const;
  /// Bytes read from the file since it was opened.
  std::int64_t BytesRead() const;

 private:
  Demuxer() = default;
  void KeepFirstPalettes();
  HRESULT OpenInput(const std::string& url, const AVInputFormat* format, const Demuxer* first,
                    std::string* error);

  struct FoundStreams;

  // Declared before the context that reads through it, so that it is destroyed after it.
  std::unique_ptr<FileInput> input_;
  FormatPtr format_;
  std::uint64_t moves_ = 0;
  std::map<int, std::vector<std::uint8_t>> palettes_;  // by stream
  // The streams' parameters as found on opening, for another demuxer of the file to take
  // (OpenSame); null where it cannot. Never changed after opening, so that the other may
  // read them while this one reads the file.
  std::unique_ptr<const FoundStreams> found_;
};
