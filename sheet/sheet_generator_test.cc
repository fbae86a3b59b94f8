// SPDX-License-Identifier: GPL-3.0-or-later
#include "sheet/sheet_generator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "frames/frame_record.h"
#include "sheet/grab_pipeline.h"
#include "testutil/fake_media_det.h"
#include "testutil/fixture_movies.h"
#include "testutil/image_read.h"
#include "testutil/run_binary.h"
#include "testutil/temp_dir.h"

namespace {

// What a run printed and left behind.
struct SheetRun {
  HRESULT hr = S_OK;
  bool written = false;
  std::string out;
  std::string err;
};

RunSettings Defaults(const std::string& dst) {
  RunSettings s;
  s.width = -10;
  s.height = -10;
  s.cols = 3;
  s.rows = 4;
  s.quality = 85;
  s.format = "image/png";
  s.src = "movie.avi";
  s.dst = dst;
  return s;
}

SheetRun RunSheet(RunSettings& settings, const MediaDetFactory& factory, int grab_workers = 0) {
  SheetRun run;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  run.hr = SheetGenerator(settings, &run.written, factory, grab_workers);
  run.out = testing::internal::GetCapturedStdout();
  run.err = testing::internal::GetCapturedStderr();
  return run;
}

SheetRun RunSheet(RunSettings& settings, const FakeMovie& movie, FakeLog* log) {
  SheetRun run;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  run.hr = SheetGenerator(settings, &run.written, FakeFactory(movie, log));
  run.out = testing::internal::GetCapturedStdout();
  run.err = testing::internal::GetCapturedStderr();
  return run;
}

// The sheet's colour adjustment on one 8-bit channel.
int Adjusted(int v) {
  double out = (1.15 * v / 255.0 - 0.075) * 255.0;
  return static_cast<int>(std::lround(std::clamp(out, 0.0, 255.0)));
}

std::uint32_t AdjustedRgb(std::uint32_t rgb) {
  return (static_cast<std::uint32_t>(Adjusted((rgb >> 16) & 0xFF)) << 16) |
         (static_cast<std::uint32_t>(Adjusted((rgb >> 8) & 0xFF)) << 8) |
         static_cast<std::uint32_t>(Adjusted(rgb & 0xFF));
}

// 0xRRGGBB at (x, y) of a decoded sheet.
std::uint32_t Rgb(const DecodedImage& img, int x, int y) {
  const std::uint8_t* p = &img.rgba[(static_cast<size_t>(y) * img.width + x) * 4];
  return (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
}

bool Near(std::uint32_t a, std::uint32_t b, int tolerance = 2) {
  for (int shift = 0; shift < 24; shift += 8) {
    int d = static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF);
    if (std::abs(d) > tolerance) return false;
  }
  return true;
}

TEST(SheetGeneratorTest, DefaultGridSamplesEvenlyAndDrawsEveryCell) {
  TempDir dir;
  RunSettings s = Defaults(dir.File("sheet.png"));
  FakeMovie movie;  // 640 x 480, 14 s: the interval is exactly one second
  FakeLog log;
  SheetRun run = RunSheet(s, movie, &log);

  EXPECT_EQ(run.hr, S_OK);
  EXPECT_TRUE(run.written);
  EXPECT_EQ(run.out, "OOO\r\nOOO\r\nOOO\r\nOOO\r\n\r\ncomplete\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(s.cellWidth, 64);
  EXPECT_EQ(s.cellHeight, 48);
  ASSERT_EQ(log.grab_times.size(), 12u);
  for (int k = 1; k <= 12; ++k) EXPECT_DOUBLE_EQ(log.grab_times[k - 1], k) << "cell " << k;
  EXPECT_EQ(log.released, 1);

  DecodedImage img = ReadImageFile(s.dst);
  ASSERT_EQ(img.width, 192);
  ASSERT_EQ(img.height, 192);
  for (int i = 0; i < 12; ++i) {
    const int cx = (i % 3) * 64 + 32, cy = (i / 3) * 48 + 24;
    EXPECT_TRUE(Near(Rgb(img, cx, cy), AdjustedRgb(FakeFrameColour(i))))
        << "cell " << i << std::hex << " got " << Rgb(img, cx, cy);
    // The frame fills its cell to the edges: same aspect as the cell.
    EXPECT_TRUE(Near(Rgb(img, (i % 3) * 64, (i / 3) * 48), AdjustedRgb(FakeFrameColour(i))));
  }
}

TEST(SheetGeneratorTest, SamplingClockForOtherGrids) {
  struct Case {
    int cols, rows;
    double length;
  } cases[] = {{1, 1, 9.0}, {5, 1, 70.0}, {3, 2, 100.0}};
  for (const Case& c : cases) {
    TempDir dir;
    RunSettings s = Defaults(dir.File("sheet.png"));
    s.cols = c.cols;
    s.rows = c.rows;
    FakeMovie movie;
    movie.length = c.length;
    FakeLog log;
    RunSheet(s, movie, &log);
    const int n = c.cols * c.rows;
    ASSERT_EQ(log.grab_times.size(), static_cast<size_t>(n));
    for (int k = 1; k <= n; ++k)
      EXPECT_NEAR(log.grab_times[k - 1], c.length * k / (n + 2), 1e-9) << c.cols << "x" << c.rows;
  }
}

TEST(SheetGeneratorTest, FailedGrabLeavesCellInBackground) {
  TempDir dir;
  RunSettings s = Defaults(dir.File("sheet.png"));
  s.bgcolor = 0x0000FF;
  FakeMovie movie;
  movie.failing_grabs = {4};
  FakeLog log;
  SheetRun run = RunSheet(s, movie, &log);

  EXPECT_TRUE(run.written);
  EXPECT_EQ(run.out, "OOO\r\nOO\r\nOOO\r\nOOO\r\n\r\ncomplete\n");
  DecodedImage img = ReadImageFile(s.dst);
  ASSERT_EQ(img.width, 192);
  EXPECT_EQ(Rgb(img, 64 + 32, 48 + 24), 0x0000FFu);  // cell 4: row 1, column 1
  EXPECT_TRUE(Near(Rgb(img, 32, 48 + 24), AdjustedRgb(FakeFrameColour(3))));
  EXPECT_TRUE(Near(Rgb(img, 128 + 32, 48 + 24), AdjustedRgb(FakeFrameColour(5))));
}

TEST(SheetGeneratorTest, FramesKeepTheirAspectInsideTheirCells) {
  {  // Cells wider than the frame: 133 x 100 at x offset 93, blue bars beside it.
    TempDir dir;
    RunSettings s = Defaults(dir.File("wide.png"));
    s.width = 320;
    s.height = 100;
    s.cols = 1;
    s.rows = 1;
    s.bgcolor = 0x0000FF;
    FakeLog log;
    SheetRun run = RunSheet(s, FakeMovie{}, &log);
    ASSERT_TRUE(run.written);
    DecodedImage img = ReadImageFile(s.dst);
    ASSERT_EQ(img.width, 320);
    ASSERT_EQ(img.height, 100);
    const std::uint32_t frame = AdjustedRgb(FakeFrameColour(0));
    EXPECT_EQ(Rgb(img, 92, 50), 0x0000FFu);
    EXPECT_TRUE(Near(Rgb(img, 93, 50), frame));
    EXPECT_TRUE(Near(Rgb(img, 93 + 132, 0), frame));
    EXPECT_TRUE(Near(Rgb(img, 93 + 132, 99), frame));
    EXPECT_EQ(Rgb(img, 93 + 133, 50), 0x0000FFu);
  }
  {  // Cells taller than the frame: 320 x 240 at y offset 80.
    TempDir dir;
    RunSettings s = Defaults(dir.File("tall.png"));
    s.width = 320;
    s.height = 400;
    s.cols = 1;
    s.rows = 1;
    s.bgcolor = 0x0000FF;
    FakeLog log;
    ASSERT_TRUE(RunSheet(s, FakeMovie{}, &log).written);
    DecodedImage img = ReadImageFile(s.dst);
    ASSERT_EQ(img.height, 400);
    const std::uint32_t frame = AdjustedRgb(FakeFrameColour(0));
    EXPECT_EQ(Rgb(img, 160, 79), 0x0000FFu);
    EXPECT_TRUE(Near(Rgb(img, 160, 80), frame));
    EXPECT_TRUE(Near(Rgb(img, 0, 80 + 239), frame));
    EXPECT_EQ(Rgb(img, 160, 80 + 240), 0x0000FFu);
  }
}

TEST(SheetGeneratorTest, PercentCellSizeTruncatesAfterDividing) {
  TempDir dir;
  RunSettings s = Defaults(dir.File("p.png"));
  s.width = -29;
  s.height = -50;
  FakeMovie movie;
  movie.width = 100;
  movie.height = 100;
  FakeLog log;
  RunSheet(s, movie, &log);
  EXPECT_EQ(s.cellWidth, 28);  // 29 / 100.0 * 100 is just below 29
  EXPECT_EQ(s.cellHeight, 50);
}

TEST(SheetGeneratorTest, RunsThatWriteNothingSayWhy) {
  struct Case {
    const char* name;
    FakeMovie movie;
    int width;
    std::string format;
    const char* diagnostic;
    bool grabs;
  };
  FakeMovie no_video;
  no_video.streams = {MEDIATYPE_Audio};
  FakeMovie unopenable;
  unopenable.open_result = VFW_E_INVALID_FILE_FORMAT;
  FakeMovie all_fail;
  all_fail.failing_grabs = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  FakeMovie video_info2;
  video_info2.format_type = FORMAT_VideoInfo2;
  const Case cases[] = {
      {"unopenable", unopenable, -10, "image/png", "入力ファイルを開けません", false},
      {"audio only", no_video, -10, "image/png", "映像ストリームがありません", false},
      {"VideoInfo2", video_info2, -10, "image/png", "映像ストリームがありません", false},
      {"zero cell", FakeMovie{}, 0, "image/png", "出力画像を作成できません", false},
      {"huge cell", FakeMovie{}, 2147483647, "image/png", "出力画像を作成できません", false},
      {"all grabs fail", all_fail, -10, "image/png", "フレームを取得できませんでした", true},
      {"capital MIME", FakeMovie{}, -10, "image/PNG", "対応していない出力形式です: image/PNG",
       true},
      {"empty MIME", FakeMovie{}, -10, "", "対応していない出力形式です", true},
  };
  for (const Case& c : cases) {
    TempDir dir;
    RunSettings s = Defaults(dir.File("sheet.out"));
    s.width = c.width;
    s.format = c.format;
    FakeLog log;
    SheetRun run = RunSheet(s, c.movie, &log);
    EXPECT_FALSE(run.written) << c.name;
    EXPECT_EQ(run.err.rfind(c.diagnostic, 0), 0u) << c.name << ": " << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << c.name << ": " << run.err;
    EXPECT_EQ(!log.grab_times.empty(), c.grabs) << c.name;
    EXPECT_FALSE(PathEntryExists(s.dst)) << c.name;
    EXPECT_EQ(log.released, 1) << c.name;
  }
}

TEST(SheetGeneratorTest, ZeroSourceWidthEndsInTheCatchAll) {
  TempDir dir;
  RunSettings s = Defaults(dir.File("zero.png"));
  s.width = 64;
  s.height = 48;
  FakeMovie movie;
  movie.width = 0;
  FakeLog log;
  SheetRun run = RunSheet(s, movie, &log);
  EXPECT_EQ(run.hr, E_OUTOFMEMORY);
  EXPECT_FALSE(run.written);
  EXPECT_EQ(run.err.rfind("なんかしらエラーが発生してしまいました。: ", 0), 0u) << run.err;
  EXPECT_FALSE(PathEntryExists(s.dst));
  EXPECT_EQ(log.released, 1);
}

}  // namespace

namespace {

TEST(SheetGeneratorTest, ParallelGrabsGiveTheSameSheetAndMarks) {
  // Two fake detectors on two threads, one failing cell, against one detector.
  FakeMovie movie;  // 14 s: cell k at k seconds
  movie.colour_by_time = true;
  movie.grab_workers = 2;
  std::string bytes[2], out[2];
  for (int workers : {1, 2}) {
    TempDir dir;
    RunSettings s = Defaults(dir.File("sheet.png"));
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

TEST(SheetGeneratorTest, ASecondDetectorStartsOnlyWhenItPays) {
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
  RunSettings one = Defaults(dir.File("one.png"));
  FakeMovie movie;
  movie.colour_by_time = true;
  FakeLog one_log;
  const SheetRun reference = RunSheet(one, FakeFactory(movie, &one_log), 1);
  ASSERT_TRUE(reference.written);
  for (const Case& c : cases) {
    RunSettings s = Defaults(dir.File(std::string(c.name) + ".png"));
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

TEST(SheetGeneratorTest, CellsOfOneGroupOfPicturesAreOneDetectorsJob) {
  // Groups of 3.5 s on a 14 s movie: the cells at 1-3, 4-6, 7-10 and 11-12 s are four jobs,
  // the first one slow, so that the other detector finishes the later jobs before it.
  FakeMovie movie;
  movie.colour_by_time = true;
  movie.grab_workers = 2;
  movie.group_seconds = 3.5;
  movie.grab_seconds = 0.01;
  movie.slow_before = 3.5;
  TempDir dir;
  RunSettings one = Defaults(dir.File("one.png"));
  FakeLog one_log;
  const SheetRun reference = RunSheet(one, FakeFactory(movie, &one_log), 1);
  ASSERT_TRUE(reference.written);
  RunSettings s = Defaults(dir.File("two.png"));
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
  RunSettings single = Defaults(dir.File("single.png"));
  FakeLog single_log;
  ASSERT_TRUE(RunSheet(single, movie, &single_log).written);
  EXPECT_EQ(single_log.made, 1);
  EXPECT_EQ(single_log.decode_threads, (std::vector<int>{0}));
  EXPECT_TRUE(ReadFileBytes(single.dst) == ReadFileBytes(one.dst));
}

TEST(SheetGeneratorTest, FramesHeldStayFewWhateverTheGrid) {
  // 100 x 100 one-pixel cells: ten thousand grabs through a fixed ring of records.
  for (int workers : {1, 2}) {
    TempDir dir;
    RunSettings s = Defaults(dir.File("big.png"));
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

TEST(SheetGeneratorTest, ParallelSheetOfARealMovieMatchesTheSequentialOne) {
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
    RunSettings s = Defaults(dir.File("real.png"));
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

TEST(SheetGeneratorTest, APictureThatChangesShapeKeepsItsOwnAspect) {
  // A broadcast-like MPEG-TS: a second of red 16:9 (320 x 180), a second of 4:3 by its size
  // (240 x 180) and a second of 4:3 by its pixel shape only (320 x 180 at 3:4), joined. Each
  // cell of 160 x 90 shows its frame at that frame's own aspect: the 4:3 ones 120 x 90,
  // centred between blue bars of 20 pixels.
  TempDir dir;
  const std::string path = dir.File("shape.ts");
  std::string joined;
  const char* parts[][3] = {
      {"320x180", "16:9", "0"}, {"240x180", "4:3", "1"}, {"320x180", "4:3", "2"}};
  for (const auto& part : parts) {
    const std::string piece = dir.File(std::string("part") + part[2] + ".ts");
    const RunResult made =
        RunBinary("/usr/bin/ffmpeg", {"-nostdin",
                                      "-hide_banner",
                                      "-loglevel",
                                      "error",
                                      "-y",
                                      "-f",
                                      "lavfi",
                                      "-i",
                                      std::string("color=c=red:r=10:d=1:s=") + part[0],
                                      "-c:v",
                                      "mpeg2video",
                                      "-q:v",
                                      "3",
                                      "-aspect",
                                      part[1],
                                      "-output_ts_offset",
                                      part[2],
                                      "-f",
                                      "mpegts",
                                      piece});
    ASSERT_EQ(made.exit_code, 0) << made.err << made.start_error;
    joined += ReadFileBytes(piece);
  }
  ASSERT_TRUE(WriteFileBytes(path, joined));
  RunSettings s = Defaults(dir.File("shape.png"));
  s.src = path;
  s.cols = 5;
  s.rows = 1;
  s.width = 160;
  s.height = 90;
  s.bgcolor = 0x0000FF;
  // 2.9 s: cells at 0.41 and 0.83 s (16:9), 1.24 and 1.66 s (4:3 by size), 2.07 s (by shape).
  const SheetRun run = RunSheet(s, DefaultMediaDetFactory(), 1);
  ASSERT_TRUE(run.written) << run.err;
  EXPECT_EQ(run.out, "OOOOO\r\n\r\ncomplete\n");
  const DecodedImage img = ReadImageFile(s.dst);
  ASSERT_EQ(img.width, 800);
  auto red = [&](int x) {
    const std::uint32_t c = Rgb(img, x, 45);
    return (c >> 16) > 200 && (c & 0xFF) < 60;
  };
  for (int k = 0; k < 5; ++k) {
    const int x = k * 160;
    const bool narrow = k >= 2;
    EXPECT_TRUE(red(x + 80)) << "cell " << k;
    EXPECT_EQ(Rgb(img, x + 19, 45) == 0x0000FFu, narrow) << "cell " << k;
    EXPECT_TRUE(red(x + 20)) << "cell " << k;
    EXPECT_TRUE(red(x + 139)) << "cell " << k;
    EXPECT_EQ(Rgb(img, x + 140, 45) == 0x0000FFu, narrow) << "cell " << k;
  }
}

TEST(SheetGeneratorTest, AFrameFittedToUnderAPixelStillCountsAsDrawn) {
  // 1 x 4097 and 4097 x 1 pictures in cells of 8 x 8: fitted, they are 0 pixels wide or
  // high. The grab is made at one pixel and the cell counts as drawn.
  TempDir dir;
  const char* cases[][2] = {{"2x4098", "1:4097"}, {"4098x2", "4097:1"}};
  for (const auto& c : cases) {
    const char* crop = c[1];
    SCOPED_TRACE(crop);
    const std::string path = dir.File(std::string("thin") + crop[0] + ".mkv");
    const RunResult made = RunBinary(
        "/usr/bin/ffmpeg",
        {"-nostdin", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
         std::string("color=c=red:r=5:d=1:s=") + c[0] + ",format=bgr0,crop=" + crop + ":0:0",
         "-c:v", "ffv1", path});
    ASSERT_EQ(made.exit_code, 0) << made.err << made.start_error;
    RunSettings s = Defaults(dir.File(std::string("thin") + crop[0] + ".png"));
    s.src = path;
    s.cols = 2;
    s.rows = 2;
    s.width = 8;
    s.height = 8;
    const SheetRun run = RunSheet(s, DefaultMediaDetFactory(), 0);
    EXPECT_TRUE(run.written) << run.err;
    EXPECT_EQ(run.out, "OO\r\nOO\r\n\r\ncomplete\n");
  }
}

}  // namespace
