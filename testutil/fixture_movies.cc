// SPDX-License-Identifier: GPL-3.0-or-later
#include "testutil/fixture_movies.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <sstream>

#include "testutil/temp_dir.h"

namespace {

// Every fixture of one test process lives in one directory, removed when the process ends.
struct FixtureCache {
  TempDir dir;
  std::mutex mutex;
  std::map<std::string, std::string> paths;
  int next = 0;
};

FixtureCache& Cache() {
  static FixtureCache cache;
  return cache;
}

std::string Key(const FixtureSpec& s) {
  std::ostringstream key;
  key << s.container << '|' << s.codec << '|' << s.pix_fmt << '|';
  for (const auto& a : s.codec_args) key << a << ',';
  key << '|' << s.width << 'x' << s.height << '|' << s.fps << '|' << s.frames << '|'
      << s.keyframe_interval << '|' << s.b_frames << '|' << s.audio_first << s.audio_only << '|'
      << s.rotation << s.mirror << '|' << s.sar_num << ':' << s.sar_den << '|' << s.colour_matrix
      << '|' << s.full_range << '|' << s.start_offset << '|' << s.colour_bars << '|' << s.fill;
  for (const auto& [first, last] : s.black_frames) key << '|' << first << '-' << last;
  return key.str();
}

std::string Quote(const std::string& arg) {
  std::string out = "'";
  for (char c : arg) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

std::string AudioCodecFor(const std::string& container) {
  if (container == "webm") return "libopus";
  if (container == "mp4" || container == "mov" || container == "m4a" || container == "ts")
    return "aac";
  if (container == "mpeg" || container == "vob") return "mp2";
  return "pcm_s16le";
}

// The colour-matrix names of the scale filter and the tags written for them.
struct MatrixNames {
  const char* scale;
  const char* colorspace;
  const char* primaries;
  const char* trc;
};

MatrixNames NamesFor(const std::string& matrix) {
  if (matrix == "bt709") return {"bt709", "bt709", "bt709", "bt709"};
  // Only the matrix: BT.2020 primaries would ask for a gamut conversion of the picture.
  if (matrix == "bt2020") return {"bt2020", "bt2020nc", "bt709", "bt709"};
  return {"bt601", "smpte170m", "smpte170m", "smpte170m"};
}

// The stored image of an upright displayed image: turned back against the player's rotation
// (the player turns clockwise by `rotation` degrees) and squeezed by the pixel aspect.
std::vector<std::uint8_t> StoredImage(const std::vector<std::uint8_t>& upright, int w, int h,
                                      const FixtureSpec& s, int* stored_w, int* stored_h) {
  // The player mirrors after turning: the mirror is undone first.
  std::vector<std::uint8_t> shown = upright;
  if (s.mirror) {
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        for (int c = 0; c < 3; ++c)
          shown[(static_cast<size_t>(y) * w + x) * 3 + c] =
              upright[(static_cast<size_t>(y) * w + (w - 1 - x)) * 3 + c];
  }
  const bool sideways = s.rotation == 90 || s.rotation == 270;
  const int rw = sideways ? h : w;
  const int rh = sideways ? w : h;
  std::vector<std::uint8_t> turned(static_cast<size_t>(rw) * rh * 3);
  for (int sy = 0; sy < rh; ++sy) {
    for (int sx = 0; sx < rw; ++sx) {
      int x = sx, y = sy;
      if (s.rotation == 90) {
        x = rh - 1 - sy;
        y = sx;
      } else if (s.rotation == 180) {
        x = w - 1 - sx;
        y = h - 1 - sy;
      } else if (s.rotation == 270) {
        x = sy;
        y = rw - 1 - sx;
      }
      for (int c = 0; c < 3; ++c)
        turned[(static_cast<size_t>(sy) * rw + sx) * 3 + c] =
            shown[(static_cast<size_t>(y) * w + x) * 3 + c];
    }
  }
  *stored_h = rh;
  *stored_w = rw * s.sar_den / s.sar_num;
  if (*stored_w == rw) return turned;
  std::vector<std::uint8_t> squeezed(static_cast<size_t>(*stored_w) * rh * 3);
  for (int y = 0; y < rh; ++y)
    for (int x = 0; x < *stored_w; ++x) {
      const int from = (x * 2 + 1) * rw / (*stored_w * 2);
      for (int c = 0; c < 3; ++c)
        squeezed[(static_cast<size_t>(y) * *stored_w + x) * 3 + c] =
            turned[(static_cast<size_t>(y) * rw + from) * 3 + c];
    }
  return squeezed;
}

// Writes the display matrix of a clockwise turn by `rotation` degrees followed, with `mirror`,
// by a mirror left to right into the header of every video track (a tkhd box with a size) of
// the MP4 or MOV file at `path`. A player maps a stored pixel (p, q) to (a p + c q, b p + d q).
bool WriteDisplayMatrix(const std::string& path, int rotation, bool mirror) {
  std::string bytes = ReadFileBytes(path);
  int a = 1, b = 0, c = 0, d = 1;
  if (rotation == 90) {
    a = 0, b = 1, c = -1, d = 0;
  } else if (rotation == 180) {
    a = -1, d = -1;
  } else if (rotation == 270) {
    a = 0, b = -1, c = 1, d = 0;
  }
  if (mirror) a = -a, c = -c;
  auto put32 = [&bytes](size_t at, std::int64_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((v >> (24 - 8 * i)) & 0xFF);
  };
  bool written = false;
  for (size_t at = bytes.find("tkhd"); at != std::string::npos; at = bytes.find("tkhd", at + 4)) {
    // The box: its size, its type, version and flags, times, track and duration (longer in
    // version 1), layer, group and volume, the matrix, the picture size.
    const bool long_times = at + 4 < bytes.size() && bytes[at + 4] == 1;
    const size_t matrix = at + 4 + (long_times ? 36 : 24) + 16;
    const std::string size = std::string("\0\0\0", 3) + static_cast<char>(long_times ? 104 : 92);
    if (at < 4 || bytes.compare(at - 4, 4, size) != 0 || matrix + 44 > bytes.size() ||
        bytes.compare(matrix + 36, 8, std::string(8, '\0')) == 0)
      continue;  // not a track header, or no picture size: not a video track
    put32(matrix, a * 65536);
    put32(matrix + 4, b * 65536);
    put32(matrix + 12, c * 65536);
    put32(matrix + 16, d * 65536);
    written = true;
  }
  return written && WriteFileBytes(path, bytes);
}

std::string Make(const FixtureSpec& s, const std::string& path, std::string* error) {
  const std::string log = path + ".log";
  const double seconds = static_cast<double>(s.frames) / s.fps;
  std::vector<std::string> args = {"ffmpeg",    "-nostdin", "-hide_banner",
                                   "-loglevel", "error",    "-y"};
  if (s.audio_first || s.audio_only) {
    args.insert(args.end(), {"-f", "lavfi", "-t", std::to_string(seconds), "-i",
                             "sine=frequency=440:sample_rate=8000"});
  }
  int stored_w = s.width, stored_h = s.height;
  if (!s.audio_only) {
    StoredImage(std::vector<std::uint8_t>(static_cast<size_t>(s.width) * s.height * 3), s.width,
                s.height, s, &stored_w, &stored_h);
    args.insert(args.end(), {"-f", "rawvideo", "-pix_fmt", "rgb24", "-s",
                             std::to_string(stored_w) + "x" + std::to_string(stored_h), "-r",
                             std::to_string(s.fps), "-i", "-"});
  }
  if (s.audio_first) args.insert(args.end(), {"-map", "0:a", "-map", "1:v"});
  if (s.audio_first || s.audio_only) args.insert(args.end(), {"-c:a", AudioCodecFor(s.container)});
  if (!s.audio_only) {
    std::string pix_fmt = s.pix_fmt;
    if (pix_fmt.empty()) pix_fmt = s.codec == "ffv1" ? "bgr0" : "yuv420p";
    std::string vf;
    if (!s.colour_matrix.empty() || s.full_range) {
      const MatrixNames names = NamesFor(s.colour_matrix);
      vf = std::string("scale=out_color_matrix=") + names.scale +
           ":out_range=" + (s.full_range ? "pc" : "tv") + ",format=" + pix_fmt + ",";
      if (!s.colour_matrix.empty())
        args.insert(args.end(), {"-colorspace", names.colorspace, "-color_primaries",
                                 names.primaries, "-color_trc", names.trc});
      args.insert(args.end(), {"-color_range", s.full_range ? "pc" : "tv"});
    }
    vf += "setsar=" + std::to_string(s.sar_num) + "/" + std::to_string(s.sar_den);
    args.insert(args.end(), {"-vf", vf, "-c:v", s.codec, "-pix_fmt", pix_fmt});
    if (s.keyframe_interval > 0)
      args.insert(args.end(), {"-g", std::to_string(s.keyframe_interval)});
    if (s.b_frames >= 0) args.insert(args.end(), {"-bf", std::to_string(s.b_frames)});
    args.insert(args.end(), s.codec_args.begin(), s.codec_args.end());
  }
  if (s.start_offset != 0.0)
    args.insert(args.end(), {"-output_ts_offset", std::to_string(s.start_offset)});
  // The encoder drops a rotation tag; a second pass that copies the streams writes it. A
  // matrix that mirrors has no tag: it is written into the file.
  const bool tag_rotation = s.rotation != 0 && !s.mirror;
  const std::string encoded = tag_rotation ? path + ".upright." + s.container : path;
  args.push_back(encoded);

  std::string command;
  for (const auto& a : args) command += Quote(a) + " ";
  command += "2>" + Quote(log);
  if (s.audio_only) command += " </dev/null";

  FILE* pipe = popen(command.c_str(), "w");
  if (pipe == nullptr) {
    if (error) *error = "cannot start ffmpeg";
    return "";
  }
  bool written = true;
  if (!s.audio_only) {
    for (int n = 0; n < s.frames && written; ++n) {
      auto shown = DrawFixtureFrame(n, s.width, s.height, s.colour_bars, s.fill);
      for (const auto& [first, last] : s.black_frames)
        if (n >= first && n <= last) std::fill(shown.begin(), shown.end(), 0);
      const auto stored = StoredImage(shown, s.width, s.height, s, &stored_w, &stored_h);
      written = std::fwrite(stored.data(), 1, stored.size(), pipe) == stored.size();
    }
  }
  const int status = pclose(pipe);
  if (!written || status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    if (error) *error = "ffmpeg failed: " + command + "\n" + ReadFileBytes(log);
    return "";
  }
  if (s.mirror && !WriteDisplayMatrix(path, s.rotation, true)) {
    if (error) *error = "no video track header to write a display matrix into in " + path;
    return "";
  }
  if (tag_rotation) {
    // The tag is the counter-clockwise angle of the display matrix.
    const std::string remux =
        "ffmpeg -nostdin -hide_banner -loglevel error -y -i " + Quote(encoded) +
        " -c copy -metadata:s:v:0 rotate=" + std::to_string((360 - s.rotation) % 360) + " " +
        Quote(path) + " 2>" + Quote(log) + " </dev/null";
    if (std::system(remux.c_str()) != 0) {
      if (error) *error = "ffmpeg failed: " + remux + "\n" + ReadFileBytes(log);
      return "";
    }
  }
  return path;
}

// Mean brightness (0-255) of the central half of a block, through `lum`.
template <typename Lum>
double BlockMean(const Lum& lum, int x0, int y0, int x1, int y1) {
  const int mx = (x1 - x0) / 4, my = (y1 - y0) / 4;
  x0 += mx;
  x1 -= mx;
  y0 += my;
  y1 -= my;
  if (x1 <= x0) x1 = x0 + 1;
  if (y1 <= y0) y1 = y0 + 1;
  double sum = 0;
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) sum += lum(x, y);
  return sum / ((x1 - x0) * (y1 - y0));
}

template <typename Lum>
int ReadNumber(const Lum& lum, int w, int h) {
  if (w < kFrameNumberBlocks || h < 2) return -1;
  int number = 0;
  for (int i = 0; i < kFrameNumberBlocks; ++i) {
    const double mean = BlockMean(lum, i * w / kFrameNumberBlocks, h / 10,
                                  (i + 1) * w / kFrameNumberBlocks, h * 4 / 10);
    int bit;
    if (mean > 150)
      bit = 1;
    else if (mean < 105)
      bit = 0;
    else
      return -1;
    if (i == 0 && bit != 1) return -1;
    if (i == kFrameNumberBlocks - 1) return bit == 0 ? number : -1;
    if (i > 0) number = number * 2 + bit;
  }
  return -1;
}

}  // namespace

std::uint32_t ColourBar(int index) {
  static constexpr std::uint32_t kBars[kColourBars] = {0xC01010, 0x10C010, 0x1010C0,
                                                       0xC0C010, 0x10C0C0, 0xC010C0};
  return kBars[index % kColourBars];
}

std::vector<std::uint8_t> DrawFixtureFrame(int number, int width, int height, bool colour_bars,
                                           std::uint32_t fill) {
  std::vector<std::uint8_t> rgb(static_cast<size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint32_t colour;
      if (y < height / 2) {
        const int block = x * kFrameNumberBlocks / width;
        bool white;
        if (block == 0)
          white = true;
        else if (block == kFrameNumberBlocks - 1)
          white = false;
        else
          white = (number >> (kFrameNumberBits - block)) & 1;
        colour = white ? 0xFFFFFF : 0x000000;
      } else {
        colour = colour_bars ? ColourBar(x * kColourBars / width) : fill;
      }
      std::uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
      p[0] = (colour >> 16) & 0xFF;
      p[1] = (colour >> 8) & 0xFF;
      p[2] = colour & 0xFF;
    }
  }
  return rgb;
}

std::string FixtureMovie(const FixtureSpec& spec, std::string* error) {
  FixtureCache& cache = Cache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  const std::string key = Key(spec);
  if (auto it = cache.paths.find(key); it != cache.paths.end()) return it->second;
  const std::string path =
      cache.dir.File("fixture" + std::to_string(cache.next++) + "." + spec.container);
  std::string made = Make(spec, path, error);
  if (!made.empty()) cache.paths[key] = made;
  return made;
}

int ReadFrameNumber(const std::uint8_t* bgr_rows, int width, int height, int stride,
                    bool bottom_up) {
  auto lum = [&](int x, int y) {
    const int row = bottom_up ? height - 1 - y : y;
    const std::uint8_t* p = bgr_rows + static_cast<size_t>(row) * stride + x * 3;
    return (p[0] + p[1] + p[2]) / 3.0;
  };
  return ReadNumber(lum, width, height);
}

int ReadFrameNumberRgba(const std::uint8_t* pixels, int stride, int x, int y, int w, int h) {
  auto lum = [&](int px, int py) {
    const std::uint8_t* p = pixels + static_cast<size_t>(y + py) * stride + (x + px) * 4;
    return (p[0] + p[1] + p[2]) / 3.0;
  };
  return ReadNumber(lum, w, h);
}

std::uint32_t MeanColourBgr(const std::uint8_t* bgr_rows, int height, int stride, bool bottom_up,
                            int x, int y, int w, int h) {
  std::uint32_t colour = 0;
  for (int c = 0; c < 3; ++c) {
    auto channel = [&](int px, int py) {
      const int row = bottom_up ? height - 1 - py : py;
      return static_cast<double>(bgr_rows[static_cast<size_t>(row) * stride + px * 3 + c]);
    };
    const double mean = BlockMean(channel, x, y, x + w, y + h);
    colour |= static_cast<std::uint32_t>(mean + 0.5) << (8 * c);
  }
  return colour;
}
