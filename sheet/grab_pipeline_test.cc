// SPDX-License-Identifier: GPL-3.0-or-later
// The grabs of a sheet shared among detectors: the same sheet and marks as with one detector,
// workers that start when they pay, jobs by group of pictures, and few frames held.
#include "sheet/grab_pipeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "frames/frame_record.h"
#include "testutil/fake_media_det.h"
#include "testutil/fixture_movies.h"
#include "testutil/image_read.h"
#include "testutil/run_binary.h"
#include "testutil/sheet_run.h"
#include "testutil/temp_dir.h"

namespace {

TEST(GrabPipelineTest, ParallelGrabsGiveTheSameSheetAndMarks) {
  // Two fake detectors on two threads, one failing cell, against one detector.
  FakeMovie movie;  // 14 s: cell k at k seconds
  movie.colour_by_time = true;
  movie.grab_workers = 2;
  std::string bytes[2], out[2];
  for (int workers : {1, 2}) {
    TempDir dir;
    RunSettings s = SheetDefaults(dir.File("sheet.png"));
    FakeLog log;
    FakeMovie m = movie;
    SheetRun run = RunSheet(s, FakeFactory(m, &log), workers);
    EXPECT_EQ(run.hr, S_OK) << workers;
    ASSERT_TRUE(run.written) << workers;
    out[workers - 1] = run.out;
    bytes[workers - 1] = ReadFileBytes(s.dst);
    std::vector<double> times = log.grab_times;
    std::sort(times.begin(), times.end());
    ASSERT_EQ(times.size(), 12u);
    for (int k = 1; k <= 12; ++k) EXPECT_DOUBLE_EQ(times[k - 1], k) << workers;
    EXPECT_EQ(log.released, workers);
    DecodedImage img = ReadImageFile(s.dst);
    ASSERT_EQ(img.width, 192);
    for (int i = 0; i < 12; ++i)
      EXPECT_TRUE(Near(Rgb(img, (i % 3) * 64 + 32, (i / 3) * 48 + 24),
                       AdjustedRgb(FakeFrameColourAt(i + 1))))
          << "cell " << i << " with " << workers;
  }
  EXPECT_EQ(out[0], "OOO\r\nOOO\r\nOOO\r\nOOO\r\n\r\ncomplete\n");
  EXPECT_EQ(out[1], out[0]);
  EXPECT_TRUE(bytes[1] == bytes[0]);
}

TEST(GrabPipelineTest, ASecondDetectorStartsOnlyWhenItPays) {
  // The detector suggests two; whether the second starts depends on what opening and
  // grabbing cost. The sheet is the same either way.
  struct Case {
    const char* name;
    double open_seconds, grab_seconds;
    int detectors;
  } cases[] = {
      {"cheap open: both start at once", 0, 0.01, 2},
      {"slow open, quick grabs: one is enough", 0.3, 0.001, 1},
      {"slow open, slow grabs: the second starts later", 0.05, 0.05, 2},
  };
  TempDir dir;
  RunSettings one = SheetDefaults(dir.File("one.png"));
  FakeMovie movie;
  movie.colour_by_time = true;
  FakeLog one_log;
  const SheetRun reference = RunSheet(one, FakeFactory(movie, &one_log), 1);
  ASSERT_TRUE(reference.written);
  for (const Case& c : cases) {
    RunSettings s = SheetDefaults(dir.File(std::string(c.name) + ".png"));
    FakeMovie m = movie;
    m.grab_workers = 2;
    m.open_seconds = c.open_seconds;
    m.grab_seconds = c.grab_seconds;
    FakeLog log;
    const SheetRun run = RunSheet(s, m, &log);
    ASSERT_TRUE(run.written) << c.name;
    EXPECT_EQ(log.released, c.detectors) << c.name;
    EXPECT_EQ(log.grab_times.size(), 12u) << c.name;
    EXPECT_EQ(run.out, reference.out) << c.name;
    EXPECT_TRUE(ReadFileBytes(s.dst) == ReadFileBytes(one.dst)) << c.name;
  }
}

TEST(GrabPipelineTest, CellsOfOneGroupOfPicturesAreOneDetectorsJob) {
  // Groups of 3.5 s on a 14 s movie: the cells at 1-3, 4-6, 7-10 and 11-12 s are four jobs,
  // the first one slow, so that the other detector finishes the later jobs before it.
  FakeMovie movie;
  movie.colour_by_time = true;
  movie.grab_workers = 2;
  movie.group_seconds = 3.5;
  movie.grab_seconds = 0.01;
  movie.slow_before = 3.5;
  TempDir dir;
  RunSettings one = SheetDefaults(dir.File("one.png"));
  FakeLog one_log;
  const SheetRun reference = RunSheet(one, FakeFactory(movie, &one_log), 1);
  ASSERT_TRUE(reference.written);
  RunSettings s = SheetDefaults(dir.File("two.png"));
  FakeLog log;
  const SheetRun run = RunSheet(s, FakeFactory(movie, &log), 2);
  ASSERT_TRUE(run.written);
  EXPECT_EQ(run.out, reference.out);
  EXPECT_TRUE(ReadFileBytes(s.dst) == ReadFileBytes(one.dst));
  ASSERT_EQ(log.grab_times.size(), 12u);
  const std::vector<std::vector<int>> jobs = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9, 10}, {11, 12}};
  for (const std::vector<int>& job : jobs) {
    // Each cell grabbed once, every cell of a job by one detector, in time order.
    std::vector<std::size_t> at;
    for (int k : job) {
      const auto it = std::find(log.grab_times.begin(), log.grab_times.end(), double(k));
      ASSERT_NE(it, log.grab_times.end()) << "cell " << k << " was never grabbed";
      EXPECT_EQ(std::count(log.grab_times.begin(), log.grab_times.end(), double(k)), 1);
      at.push_back(static_cast<std::size_t>(it - log.grab_times.begin()));
    }
    for (std::size_t i = 1; i < at.size(); ++i) {
      EXPECT_EQ(log.grab_detectors[at[i]], log.grab_detectors[at[0]]) << "cell " << job[i];
      EXPECT_GT(at[i], at[i - 1]) << "cell " << job[i];
    }
  }
  // Detectors sharing the cores decode on one thread each.
  EXPECT_EQ(log.decode_threads, (std::vector<int>{1, 1}));

  // All cells in one group: one job for one detector, with the codec's threads.
  movie.group_seconds = 100;
  RunSettings single = SheetDefaults(dir.File("single.png"));
  FakeLog single_log;
  ASSERT_TRUE(RunSheet(single, movie, &single_log).written);
  EXPECT_EQ(single_log.made, 1);
  EXPECT_EQ(single_log.decode_threads, (std::vector<int>{0}));
  EXPECT_TRUE(ReadFileBytes(single.dst) == ReadFileBytes(one.dst));
}

TEST(GrabPipelineTest, FramesHeldStayFewWhateverTheGrid) {
  // 100 x 100 one-pixel cells: ten thousand grabs through a fixed ring of records.
  for (int workers : {1, 2}) {
    TempDir dir;
    RunSettings s = SheetDefaults(dir.File("big.png"));
    s.cols = 100;
    s.rows = 100;
    s.width = 1;
    s.height = 1;
    FakeMovie movie;
    movie.width = 64;
    movie.height = 48;
    movie.length = 1000.0;
    movie.colour_by_time = true;
    FakeLog log;
    const int before = FrameRecord::Live();
    FrameRecord::ResetPeak();
    SheetRun run = RunSheet(s, FakeFactory(movie, &log), workers);
    EXPECT_TRUE(run.written) << workers;
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), 'O'), 10000) << workers;
    EXPECT_EQ(log.grab_times.size(), 10000u);
    EXPECT_LE(FrameRecord::Peak() - before, workers == 1 ? 1 : kMaxFramesInFlight) << workers;
    EXPECT_EQ(FrameRecord::Live(), before) << workers;
  }
}

TEST(GrabPipelineTest, ParallelSheetOfARealMovieMatchesTheSequentialOne) {
  // An H.264 movie with B-frames and a keyframe every second: most cells are keyframes
  // decoded alone, the rest are reached by decoding forward.
  FixtureSpec spec;
  spec.container = "mp4";
  spec.codec = "libx264";
  spec.fps = 25;
  spec.frames = 300;
  spec.keyframe_interval = 25;
  spec.b_frames = 2;
  std::string error;
  const std::string path = FixtureMovie(spec, &error);
  ASSERT_FALSE(path.empty()) << error;
  std::string bytes[2], out[2];
  for (int workers : {1, 2}) {
    TempDir dir;
    RunSettings s = SheetDefaults(dir.File("real.png"));
    s.src = path;
    s.cols = 5;
    s.rows = 6;
    s.width = -50;
    s.height = -50;
    SheetRun run = RunSheet(s, DefaultMediaDetFactory(), workers);
    ASSERT_TRUE(run.written) << workers << run.err;
    out[workers - 1] = run.out;
    bytes[workers - 1] = ReadFileBytes(s.dst);
    // Every cell in order, apart, and within a quarter interval (12 s / 32 per cell) of its
    // time; frames last 40 ms.
    DecodedImage img = ReadImageFile(s.dst);
    const double interval = 12.0 / 32;
    int previous = -1;
    for (int k = 1; k <= 30; ++k) {
      const int cx = ((k - 1) % 5) * 80, cy = ((k - 1) / 5) * 60;
      const int n = ReadFrameNumberRgba(img.rgba.data(), img.width * 4, cx, cy, 80, 60);
      ASSERT_GE(n, 0) << "cell " << k;
      EXPECT_GT(n, previous) << "cell " << k;
      EXPECT_LE(std::abs(n / 25.0 - k * interval), interval / 4 + 0.04) << "cell " << k;
      previous = n;
    }
  }
  EXPECT_EQ(out[1], out[0]);
  EXPECT_TRUE(bytes[1] == bytes[0]);
}

TEST(GrabPipelineTest, ADamagedMovieGivesOneSheetWhateverTheWorkersAndTheTiming) {
  // Damage that decoders conceal with what they decoded before: an MPEG-2 TS with scrambled
  // packets and an H.264 MP4 with holes in its pictures. A cell's picture depends on the movie
  // and its window alone, so one detector or two, run after run, give the same sheet.
  FixtureSpec ts;
  ts.container = "ts";
  ts.codec = "mpeg2video";
  ts.codec_args = {"-q:v", "4"};
  ts.width = 320;
  ts.height = 240;
  ts.fps = 25;
  ts.frames = 400;
  ts.keyframe_interval = 12;
  ts.b_frames = 2;
  FixtureSpec mp4 = ts;
  mp4.container = "mp4";
  mp4.codec = "libx264";
  mp4.codec_args = {"-preset", "veryfast", "-sc_threshold", "0"};
  mp4.keyframe_interval = 12;
  mp4.b_frames = 3;
  TempDir dir;
  for (const FixtureSpec* spec : {&ts, &mp4}) {
    SCOPED_TRACE(spec->container);
    std::string error;
    const std::string made = FixtureMovie(*spec, &error);
    ASSERT_FALSE(made.empty()) << error;
    std::string bytes = ReadFileBytes(made);
    std::uint32_t noise = 12345;
    auto next = [&noise] {
      return static_cast<char>((noise = noise * 1103515245u + 12345u) >> 24);
    };
    if (spec == &ts) {
      // Every 40th transport packet past the tables gets a scrambled payload.
      for (std::size_t at = 188 * 20; at + 188 <= bytes.size(); at += 188 * 40)
        for (std::size_t i = 8; i < 188; ++i) bytes[at + i] = next();
    } else {
      // A hole of 600 bytes every 24 KB of the pictures (the index stays whole).
      const std::size_t mdat = bytes.find("mdat");
      ASSERT_NE(mdat, std::string::npos);
      const std::size_t moov = bytes.find("moov", mdat);
      for (std::size_t at = mdat + 4096; at + 300 < std::min(moov, bytes.size()); at += 6144)
        for (std::size_t i = 0; i < 300; ++i) bytes[at + i] = next();
    }
    const std::string path = dir.File("damaged." + spec->container);
    ASSERT_TRUE(WriteFileBytes(path, bytes));
    std::string first;
    for (int run = 0; run < 3; ++run) {
      for (int workers : {1, 2}) {
        RunSettings s = SheetDefaults(dir.File(spec->container + std::to_string(run) + "-" +
                                               std::to_string(workers) + ".png"));
        s.src = path;
        s.cols = 6;
        s.rows = 6;
        s.width = -50;
        s.height = -50;
        const SheetRun sheet = RunSheet(s, DefaultMediaDetFactory(), workers);
        ASSERT_TRUE(sheet.written) << sheet.err;
        const std::string image = ReadFileBytes(s.dst);
        if (first.empty()) first = image;
        EXPECT_TRUE(image == first) << "run " << run << " with " << workers << " detectors";
      }
    }
  }
}

TEST(GrabPipelineTest, EveryDetectorReadsTheFileOpenedFirst) {
  // Another movie of the same size is renamed over the source once it is open: the second
  // detector still reads the first file, never the one its name now gives.
  FixtureSpec spec;
  spec.container = "mp4";
  spec.codec = "libx264";
  spec.fps = 25;
  spec.frames = 250;
  spec.keyframe_interval = 25;
  spec.fill = 0x3070B0;
  FixtureSpec other = spec;
  other.fill = 0xD04020;
  std::string error;
  const std::string first = FixtureMovie(spec, &error);
  ASSERT_FALSE(first.empty()) << error;
  const std::string second = FixtureMovie(other, &error);
  ASSERT_FALSE(second.empty()) << error;
  TempDir dir;
  const std::string src = dir.File("movie.mp4"), replacement = dir.File("other.mp4");
  ASSERT_TRUE(WriteFileBytes(src, ReadFileBytes(first)));
  ASSERT_TRUE(WriteFileBytes(replacement, ReadFileBytes(second)));
  int detectors = 0;
  const MediaDetFactory counting = [&detectors](MediaDetPtr* det) {
    ++detectors;
    return DefaultMediaDetFactory()(det);
  };
  FrameSource source(counting);
  ASSERT_EQ(source.Open(src), S_OK);
  ASSERT_EQ(source.SelectFirstVideoStream(), S_OK);
  ASSERT_EQ(source.ReadFrameSize(), S_OK);
  ASSERT_EQ(source.AllocateFrameRecord(), S_OK);
  ASSERT_EQ(std::rename(replacement.c_str(), src.c_str()), 0);
  const GrabPlan plan = PlanGrabs(source, 60, 2, 0.0);
  ASSERT_EQ(plan.workers, 2);
  {
    std::unique_ptr<CellGrabs> grabs = StartGrabs(source, counting, plan);
    for (std::int64_t cell = 0; cell < plan.cells; ++cell) {
      const CellGrab grab = grabs->Take(cell);
      ASSERT_EQ(grab.hr, S_OK) << grab.error;
      const std::uint32_t fill =
          MeanColourBgr(grab.record + 40, 120, 160 * 3, true, 0, 70, 160, 40);
      EXPECT_TRUE(Near(fill, spec.fill, 24)) << "cell " << cell << ": " << std::hex << fill;
      grabs->Release(cell);
    }
  }
  EXPECT_EQ(detectors, 2);
}

}  // namespace
