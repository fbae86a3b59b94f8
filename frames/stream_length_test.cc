// SPDX-License-Identifier: GPL-3.0-or-later
// The length of a stream, where its container states none and where a file was cut short:
// the span of the frames that are there, every one of them grabbed at its time.
#include <gtest/gtest.h>

#include <string>

#include "frames/ffmpeg_media_det.h"
#include "testutil/detector_grabs.h"
#include "testutil/fixture_movies.h"
#include "testutil/temp_dir.h"

namespace {

TEST(StreamLengthTest, LengthOfAStreamWhoseContainerStatesNone) {
  // Elementary streams carry no duration, and raw H.264 not even timestamps.
  for (const char* codec : {"mpeg2video", "libx264"}) {
    SCOPED_TRACE(codec);
    FixtureSpec spec;
    spec.container = std::string(codec) == "libx264" ? "h264" : "m2v";
    spec.codec = codec;
    spec.codec_args = {"-q:v", "3"};
    spec.keyframe_interval = 10;
    spec.frames = 30;
    auto det = OpenVideo(MakeMovie(spec));
    double length = 0;
    ASSERT_EQ(det->get_StreamLength(&length), S_OK);
    EXPECT_NEAR(length, 3.0, 0.11);
    for (double t : {0.0, 2.95, 1.55, 0.35}) {
      const GrabbedFrame f = GrabFrame(det.get(), t, 160, 120);
      ASSERT_EQ(f.hr, S_OK) << det->LastErrorText();
      EXPECT_EQ(f.Number(), FrameShownAt(t, 10, 30)) << "t=" << t;
    }
  }
}

TEST(StreamLengthTest, RawDvSpansItsWholeLength) {
  // The raw DV demuxer numbers frames from wherever it began reading, so that the times read
  // after a byte seek near the end say nothing; the length still spans every frame.
  FixtureSpec spec;
  spec.container = "dv";
  spec.codec = "dvvideo";
  spec.pix_fmt = "yuv420p";
  spec.width = 768;  // PAL 4:3, stored 720 wide
  spec.height = 576;
  spec.sar_num = 16;
  spec.sar_den = 15;
  spec.fps = 25;
  spec.frames = 75;
  auto det = OpenVideo(MakeMovie(spec));
  double length = 0;
  ASSERT_EQ(det->get_StreamLength(&length), S_OK);
  EXPECT_NEAR(length, 3.0, 0.05);
  for (double t : {2.5, 0.45, 2.97}) {
    const GrabbedFrame f = GrabFrame(det.get(), t, 192, 144);
    ASSERT_EQ(f.hr, S_OK) << det->LastErrorText();
    EXPECT_EQ(f.Number(), FrameShownAt(t, 25, 75)) << "t=" << t;
  }
}

TEST(StreamLengthTest, TruncatedFilesSpanTheFramesThatAreThere) {
  // Downloads cut short: an MP4 whose index, at the front, lists frames past the cut, and a
  // WebM whose header states the whole length. The length is that of the frames present,
  // and grabs across it, up to its end, get each the frame shown at its time.
  FixtureSpec mp4;
  mp4.container = "mp4";
  mp4.codec = "libx264";
  mp4.codec_args = {"-preset", "veryfast", "-crf", "20", "-movflags", "+faststart"};
  mp4.keyframe_interval = 10;
  mp4.frames = 60;
  mp4.audio_first = true;
  FixtureSpec webm;
  webm.container = "webm";
  webm.codec = "libvpx-vp9";
  webm.codec_args = {"-deadline", "realtime", "-cpu-used", "8", "-crf", "20", "-b:v", "0"};
  webm.keyframe_interval = 10;
  webm.frames = 60;
  TempDir dir;
  for (const FixtureSpec& spec : {mp4, webm}) {
    SCOPED_TRACE(spec.container);
    const std::string whole = ReadFileBytes(MakeMovie(spec));
    const std::string cut = dir.File("cut." + spec.container);
    ASSERT_TRUE(WriteFileBytes(cut, whole.substr(0, whole.size() * 55 / 100)));
    auto det = OpenVideo(cut);
    double length = 0;
    ASSERT_EQ(det->get_StreamLength(&length), S_OK);
    EXPECT_GT(length, 1.5);
    EXPECT_LT(length, 4.5);
    for (int k = 0; k <= 6; ++k) {
      const double t = k < 6 ? length * k / 6 : length - 0.05;
      const GrabbedFrame f = GrabFrame(det.get(), t, 160, 120);
      ASSERT_EQ(f.hr, S_OK) << "t=" << t << " " << det->LastErrorText();
      EXPECT_EQ(f.Number(), FrameShownAt(t, 10, 60)) << "t=" << t << " of " << length;
    }
  }
}

}  // namespace
