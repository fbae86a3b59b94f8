// SPDX-License-Identifier: GPL-3.0-or-later
// Grabs that may take any frame within a tolerance: the keyframe the index lists nearest to
// the time (without an index, the first keyframe) when it lies in the window, the first frame
// inside the window otherwise, on containers with and without an index and on codecs whose
// unneeded pictures are skipped in different ways.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "frames/ffmpeg_media_det.h"
#include "testutil/detector_grabs.h"
#include "testutil/fixture_movies.h"
#include "testutil/temp_dir.h"

namespace {

constexpr int kFps = 25;
constexpr int kFrames = 250;   // 10 s
constexpr int kKeyEvery = 25;  // a keyframe each second
constexpr int kW = 160, kH = 120;

// The number of the frame grabbed at t with the tolerance (0: the exact grab), -1 on failure.
int GrabNumber(FfmpegMediaDet* det, double t, double tolerance) {
  std::vector<std::uint8_t> record(FfmpegMediaDet::FrameRecordSize(kW, kH), 0xEE);
  char* buffer = reinterpret_cast<char*>(record.data());
  const HRESULT hr = tolerance > 0 ? det->GetBitmapBitsNear(t, tolerance, buffer, kW, kH)
                                   : det->GetBitmapBits(t, nullptr, buffer, kW, kH);
  EXPECT_EQ(hr, S_OK) << "t=" << t << " " << det->LastErrorText();
  if (hr != S_OK) return -1;
  return ReadFrameNumber(record.data() + 40, kW, kH, (kW * 3 + 3) & ~3, true);
}

int Exact(double t) {
  const int n = static_cast<int>(std::floor(t * kFps + 1e-6));
  return n < 0 ? 0 : (n >= kFrames ? kFrames - 1 : n);
}

// Without a keyframe in the window: the first frame from a frame inside its start, unless the
// frame shown at t comes first (or the window is narrower than a frame: the exact frame).
int FirstInWindow(double t, double tolerance) {
  if (tolerance < 1.0 / kFps) return Exact(t);
  const int n = static_cast<int>(std::ceil((t - tolerance) * kFps + 1 - 1e-6));
  return std::max(0, std::min(n, Exact(t)));
}

// The first keyframe in the window, or -1.
int FirstKeyframeIn(double t, double tolerance) {
  if (tolerance < 1.0 / kFps) return -1;
  const int n = static_cast<int>(std::ceil((t - tolerance) * kFps / kKeyEvery - 1e-6)) * kKeyEvery;
  return n >= 0 && n < kFrames && n / double(kFps) <= t + tolerance + 1e-6 ? n : -1;
}

struct MovieCase {
  const char* name;
  FixtureSpec spec;
  bool indexed;  // the container lists its keyframes
};

std::vector<MovieCase> Movies() {
  FixtureSpec base;
  base.fps = kFps;
  base.frames = kFrames;
  base.keyframe_interval = kKeyEvery;
  std::vector<MovieCase> cases;
  FixtureSpec h264 = base;
  h264.container = "mp4";
  h264.codec = "libx264";
  h264.codec_args = {"-preset", "veryfast", "-crf", "20", "-sc_threshold", "0"};
  h264.b_frames = 3;
  h264.audio_first = true;
  cases.push_back({"h264-mp4", h264, true});
  FixtureSpec hevc = base;
  hevc.container = "mp4";
  hevc.codec = "libx265";
  hevc.codec_args = {"-preset", "ultrafast", "-x265-params",
                     "log-level=error:bframes=3:b-pyramid=1:scenecut=0:min-keyint=25"};
  cases.push_back({"hevc-mp4", hevc, true});
  FixtureSpec mkv = h264;
  mkv.container = "mkv";
  mkv.audio_first = false;
  cases.push_back({"h264-mkv", mkv, true});
  FixtureSpec ts = base;
  ts.container = "ts";
  ts.codec = "mpeg2video";
  // Closed GOPs without scene cuts: the keyframes lie every kKeyEvery frames as shown.
  ts.codec_args = {"-q:v", "3", "-flags", "+cgop", "-sc_threshold", "1000000000"};
  ts.b_frames = 2;
  ts.start_offset = 5.0;
  cases.push_back({"mpeg2-ts", ts, false});
  return cases;
}

TEST(WindowedGrabTest, KeyframeInTheWindowOtherwiseTheExactFrame) {
  struct Probe {
    double t, tolerance;
    int keyframe;  // the frame an indexed container gives; -1: the first in the window
  };
  // Without an index, the first keyframe in the window, else the first frame in it.
  auto expected_frame = [](const MovieCase& c, const Probe& p) {
    if (c.indexed) return p.keyframe >= 0 ? p.keyframe : FirstInWindow(p.t, p.tolerance);
    const int key = FirstKeyframeIn(p.t, p.tolerance);
    return key >= 0 ? key : FirstInWindow(p.t, p.tolerance);
  };
  const Probe probes[] = {
      {3.30, 0.50, 75},   // keyframe 3.0 s inside [2.8, 3.8]
      {5.90, 0.20, 150},  // keyframe 6.0 s, after the time, inside [5.7, 6.1]
      {2.56, 0.50, 75},   // 3.0 s is nearer than 2.0 s
      {3.50, 0.20, -1},   // no keyframe in [3.3, 3.7]: the first frame from 3.34 s
      {8.73, 0.10, -1},   // reached by decoding forward past unneeded pictures
      {8.99, 0.30, 225},  // the forward decoding above must not keep this from the index
      {7.45, 0.02, -1},   // a window narrower than a frame: exact
      {1.10, 0.00, -1},   // the exact grab after keyframes decoded alone
      {1.11, 0.00, -1},  {0.30, 0.10, -1}, {9.50, 0.60, 250 - 25},
  };
  for (const MovieCase& c : Movies()) {
    SCOPED_TRACE(c.name);
    std::string error;
    const std::string path = FixtureMovie(c.spec, &error);
    if (path.empty() && c.spec.codec == "libx265") continue;  // an ffmpeg without x265
    ASSERT_FALSE(path.empty()) << error;
    auto det = OpenVideo(path);
    for (const Probe& p : probes) {
      EXPECT_EQ(GrabNumber(det.get(), p.t, p.tolerance), expected_frame(c, p))
          << "t=" << p.t << " tolerance " << p.tolerance;
    }
    // The choice does not depend on what was grabbed before: a fresh detector agrees, and so
    // does one of the same open movie, which takes the first picture's time from the first
    // detector instead of decoding that picture again.
    std::int64_t fresh_pictures = 0, same_pictures = 0;
    for (const Probe& p : probes) {
      auto fresh = OpenVideo(path);
      EXPECT_EQ(GrabNumber(fresh.get(), p.t, p.tolerance), expected_frame(c, p))
          << "fresh, t=" << p.t;
      auto same = OpenVideo(path, det.get());
      EXPECT_EQ(GrabNumber(same.get(), p.t, p.tolerance), expected_frame(c, p))
          << "same movie, t=" << p.t;
      EXPECT_LE(same->PicturesDecoded(), fresh->PicturesDecoded()) << "t=" << p.t;
      // A keyframe in the window costs two packets decoded alone: the stream's first
      // keyframe, for the time the grabs count from, and the keyframe in the window;
      // nothing waits for the pictures that reordering would hold back.
      if (p.keyframe >= 0) {
        EXPECT_EQ(fresh->PacketsDecoded(), 2) << "fresh, t=" << p.t;
      }
      fresh_pictures += fresh->PicturesDecoded();
      same_pictures += same->PicturesDecoded();
    }
    EXPECT_LT(same_pictures, fresh_pictures);
    // A second detector of an MP4 takes the streams' parameters from the first rather than
    // finding them again, which reads and decodes the first pictures. (The HEVC movie is
    // small enough to come whole with the first read.)
    if (c.spec.container == "mp4" && c.spec.codec == "libx264") {
      auto fresh = OpenVideo(path);
      auto same = OpenVideo(path, det.get());
      EXPECT_LT(same->BytesRead(), fresh->BytesRead());
    }
    // A keyframe taken for one grab and decoded on from by the next of its group is decoded
    // once, when the detector knows that the next follows.
    auto told = OpenVideo(path);
    auto untold = OpenVideo(path);
    for (FfmpegMediaDet* d : {told.get(), untold.get()}) {
      d->SetMoreOfGroupToFollow(d == told.get());
      EXPECT_EQ(GrabNumber(d, probes[0].t, probes[0].tolerance), expected_frame(c, probes[0]));
      EXPECT_EQ(GrabNumber(d, probes[3].t, probes[3].tolerance), expected_frame(c, probes[3]));
    }
    // H.264 pictures nothing refers to go to the decoder either way (it skips them), so the
    // count shows the keyframe alone.
    if (c.spec.codec == "libx264") {
      EXPECT_EQ(told->PacketsDecoded(), untold->PacketsDecoded() - 1);
    }
  }
}

TEST(WindowedGrabTest, SheetTimesGiveDistinctFramesInOrderWithinTheirWindows) {
  // 60 cells on 250 frames: windows of about one frame either side; and 12 cells, with
  // windows of 0.36 s, some of which hold a keyframe.
  for (const MovieCase& c : Movies()) {
    SCOPED_TRACE(c.name);
    const std::string path = FixtureMovie(c.spec);
    if (path.empty()) continue;
    for (int cells : {60, 12}) {
      auto det = OpenVideo(path);
      double length = 0;
      ASSERT_EQ(det->get_StreamLength(&length), S_OK);
      const double interval = length / (cells + 2);
      double t = interval;
      int previous = -1;
      for (int k = 1; k <= cells; ++k, t += interval) {
        const int n = GrabNumber(det.get(), t, interval / 4);
        ASSERT_GE(n, 0) << "cell " << k;
        EXPECT_GT(n, previous) << "cell " << k << " of " << cells;
        EXPECT_LE(std::abs(n / double(kFps) - t), interval / 4 + 1.0 / kFps)
            << "cell " << k << " of " << cells << " got frame " << n;
        // The nearest keyframe when one lies in the window (the first without an index), else
        // the first frame in it.
        const double key_time = std::round(t * kFps / kKeyEvery) * kKeyEvery / kFps;
        int key = std::abs(key_time - t) <= interval / 4 - 1e-3
                      ? static_cast<int>(std::lround(key_time * kFps))
                      : -1;
        if (!c.indexed) key = FirstKeyframeIn(t, interval / 4);
        EXPECT_EQ(n, key >= 0 ? key : FirstInWindow(t, interval / 4))
            << "cell " << k << " of " << cells;
        previous = n;
      }
    }
  }
}

TEST(WindowedGrabTest, AnIndexedFileIsReadOnlyAroundItsCells) {
  // A movie of some megabytes with a keyframe every 0.4 s: every window of 12 cells holds
  // one, and each is read with a little around it (a buffer or two of the file per cell).
  FixtureSpec spec;
  spec.container = "mp4";
  spec.codec = "mpeg4";
  spec.codec_args = {"-q:v", "1"};
  spec.width = 640;
  spec.height = 480;
  spec.fps = kFps;
  spec.frames = 750;
  spec.keyframe_interval = 10;
  spec.colour_bars = true;
  std::string error;
  const std::string path = FixtureMovie(spec, &error);
  ASSERT_FALSE(path.empty()) << error;
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  auto det = OpenVideo(path);
  double length = 0;
  ASSERT_EQ(det->get_StreamLength(&length), S_OK);
  std::vector<char> record(FfmpegMediaDet::FrameRecordSize(640, 480));
  const double interval = length / 14;
  for (int k = 1; k <= 12; ++k)
    ASSERT_EQ(det->GetBitmapBitsNear(k * interval, interval / 4, record.data(), 640, 480), S_OK);
  EXPECT_LT(det->BytesRead(), info.st_size / 2)
      << det->BytesRead() << " of " << info.st_size << " bytes";
}

TEST(WindowedGrabTest, AGrabInALongGapReadsOnlyAroundIt) {
  // A recording that lost its signal for ten minutes: 10 s of MPEG-TS, then 10 s more whose
  // times go on 600 s later. A player holds the last picture before the gap through it; the
  // grabs there read what lies around the gap, not the recording from its start.
  FixtureSpec before;
  before.container = "ts";
  before.codec = "mpeg2video";
  before.codec_args = {"-q:v", "1"};
  before.width = 640;
  before.height = 480;
  before.fps = kFps;
  before.frames = kFrames;
  before.keyframe_interval = 12;
  before.colour_bars = true;
  FixtureSpec after = before;
  after.start_offset = 610.0;
  std::string error;
  const std::string first = FixtureMovie(before, &error);
  ASSERT_FALSE(first.empty()) << error;
  const std::string second = FixtureMovie(after, &error);
  ASSERT_FALSE(second.empty()) << error;
  TempDir dir;
  const std::string path = dir.File("gap.ts");
  const std::string bytes = ReadFileBytes(first) + ReadFileBytes(second);
  ASSERT_TRUE(WriteFileBytes(path, bytes));
  auto det = OpenVideo(path);
  double length = 0;
  ASSERT_EQ(det->get_StreamLength(&length), S_OK);
  ASSERT_GT(length, 600);
  const std::int64_t opening = det->BytesRead();
  const double interval = length / 14;
  for (int k = 1; k <= 12; ++k)  // every cell lies in the gap
    EXPECT_EQ(GrabNumber(det.get(), k * interval, interval / 4), kFrames - 1) << k * interval;
  const std::int64_t grabbing = det->BytesRead() - opening;
  EXPECT_LT(grabbing, static_cast<std::int64_t>(bytes.size()))
      << grabbing << " of " << bytes.size() << " bytes";
}

}  // namespace
