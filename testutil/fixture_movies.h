// SPDX-License-Identifier: GPL-3.0-or-later
// Small movies made at test time with the ffmpeg command-line tool, in which every frame
// carries its own number in its pixels.
//
// Frame layout, as a player displays it (width x height, upright):
// - the top half is a band of kFrameNumberBlocks equal blocks across the frame: a white
//   guard block, kFrameNumberBits blocks holding the frame number in binary (most
//   significant bit first, white = 1), and a black guard block. The guards tell a mirrored,
//   rotated or misplaced frame from a good one; the blocks are big enough to survive lossy
//   codecs and scaling down to a few pixels each.
// - the bottom half is a solid colour (FixtureSpec::fill, 0xRRGGBB), or, with colour_bars,
//   kColourBars vertical bars of the colours ColourBar() gives.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

inline constexpr int kFrameNumberBits = 10;
inline constexpr int kFrameNumberBlocks = kFrameNumberBits + 2;
inline constexpr int kColourBars = 6;

/// How a fixture movie is made. Every field has a tiny, fast default.
struct FixtureSpec {
  std::string container = "mkv";        ///< file extension, decides the muxer
  std::string codec = "ffv1";           ///< ffmpeg encoder name; empty for an audio-only file
  std::string pix_fmt;                  ///< encoder pixel format; empty: yuv420p (bgr0 for ffv1)
  std::vector<std::string> codec_args;  ///< extra encoder options, e.g. {"-q:v", "2"}
  int width = 160;   ///< displayed size, after rotation and pixel aspect are applied
  int height = 120;  ///< displayed size
  int fps = 10;
  int frames = 20;
  int keyframe_interval = 0;  ///< 0: the encoder's default
  int b_frames = -1;          ///< -1: the encoder's default
  bool audio_first = false;   ///< an audio track as stream 0, the video as stream 1
  bool audio_only = false;    ///< no video at all
  int rotation = 0;     ///< 90, 180, 270: stored turned back, with display-rotation metadata that
                        ///< tells a player to turn it clockwise by this angle
  bool mirror = false;  ///< stored mirrored too, with a display matrix (written into the track
                        ///< header of an MP4 or MOV) that turns it, then mirrors it left to right
  int sar_num = 1;      ///< pixel aspect ratio; the stored width is width * den / num
  int sar_den = 1;
  std::string colour_matrix;  ///< "", "bt601", "bt709" or "bt2020": matrix used and tagged
  bool full_range = false;    ///< full-range (0-255) luma, tagged so
  double start_offset = 0.0;  ///< seconds added to every timestamp of the file
  bool colour_bars = false;
  std::uint32_t fill = 0x3070B0;  ///< colour of the bottom half without bars
  /// Frames first..last (both counted) drawn all black, as a fade or a gap between scenes
  /// leaves them: they carry no number.
  std::vector<std::pair<int, int>> black_frames;
};

/// The path of a movie made to `spec`. Each distinct spec is made once per test process and
/// kept in a temporary directory removed at exit. On failure, returns "" and puts ffmpeg's
/// output into *error (when error is not null).
std::string FixtureMovie(const FixtureSpec& spec, std::string* error = nullptr);

/// The colour (0xRRGGBB) of bar `index` (0..kColourBars-1) of the colour-bar fixtures.
std::uint32_t ColourBar(int index);

/// Draws the displayed image of frame `number` as top-down RGB24 rows (width * 3 bytes each).
std::vector<std::uint8_t> DrawFixtureFrame(int number, int width, int height, bool colour_bars,
                                           std::uint32_t fill);

/// Reads the frame number from 24-bit BGR rows (as in a FrameRecord): `stride` bytes per
/// row, bottom_up when the first row in memory is the bottom of the image. -1 when the
/// pattern is not there (guards wrong, a block neither black nor white).
int ReadFrameNumber(const std::uint8_t* bgr_rows, int width, int height, int stride,
                    bool bottom_up);

/// Reads the frame number from the rectangle (x, y, w, h) of a top-down 32-bit image whose
/// pixels are stored as bytes B, G, R, A (or R, G, B, A: only brightness matters). -1 when
/// the pattern is not there.
int ReadFrameNumberRgba(const std::uint8_t* pixels, int stride, int x, int y, int w, int h);

/// The mean colour (0xRRGGBB) of the central part of a w x h area at (x, y) of the same
/// 24-bit BGR rows as ReadFrameNumber takes.
std::uint32_t MeanColourBgr(const std::uint8_t* bgr_rows, int height, int stride, bool bottom_up,
                            int x, int y, int w, int h);
