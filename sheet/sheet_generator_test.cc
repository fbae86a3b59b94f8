// SPDX-License-Identifier: GPL-3.0-or-later
// The sheet from settings to file: the sampling clock, the cells' sizes and the frames' places
// in them, the colour adjustment, the one line of a run that writes nothing, and what a sheet
// can say besides its frames (the cells' times, the header) or pass over (dull frames).
#include "sheet/sheet_generator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "frames/frame_source.h"
#include "platform/modules.h"
#include "platform/text_draw.h"
#include "sheet/cell_time.h"
#include "sheet/diagnostics.h"
#include "sheet/sheet_header.h"
#include "testutil/fake_media_det.h"
#include "testutil/fixture_movies.h"
#include "testutil/image_read.h"
#include "testutil/run_binary.h"
#include "testutil/sheet_run.h"
#include "testutil/temp_dir.h"

// Every allocation of this test program fails while this is set. (GCC takes the free in the
// replacements of delete for a mismatch with a new it inlined elsewhere.)
std::atomic<bool> allocations_fail{false};
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  void* p = allocations_fail ? nullptr : std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return allocations_fail ? nullptr : std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& nothrow) noexcept {
  return operator new(size, nothrow);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

TEST(SheetGeneratorTest, DefaultGridSamplesEvenlyAndDrawsEveryCell) {
  TempDir dir;
  RunSettings s = SheetDefaults(dir.File("sheet.png"));
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
    RunSettings s = SheetDefaults(dir.File("sheet.png"));
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
  RunSettings s = SheetDefaults(dir.File("sheet.png"));
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

TEST(SheetGeneratorTest, TransparentFramesShowTheBackground) {
  // Through the colour adjustment, on every detector of the run.
  for (std::uint32_t bgcolor : {0xFF00FFu, 0x000000u, 0xFFFFFFu, 0x336699u}) {
    TempDir dir;
    RunSettings s = SheetDefaults(dir.File("sheet.png"));
    s.bgcolor = bgcolor;
    FakeMovie movie;
    movie.transparent = true;
    movie.grab_workers = 2;
    movie.colour_by_time = true;
    FakeLog log;
    ASSERT_TRUE(RunSheet(s, movie, &log).written);
    EXPECT_EQ(log.made, 2);
    DecodedImage img = ReadImageFile(s.dst);
    for (int i = 0; i < 12; ++i)
      EXPECT_TRUE(Near(Rgb(img, (i % 3) * 64 + 32, (i / 3) * 48 + 24), bgcolor, 1))
          << "cell " << i << std::hex << " on " << bgcolor;
  }
}

TEST(SheetGeneratorTest, FramesKeepTheirAspectInsideTheirCells) {
  {  // Cells wider than the frame: 133 x 100 at x offset 93, blue bars beside it.
    TempDir dir;
    RunSettings s = SheetDefaults(dir.File("wide.png"));
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
    RunSettings s = SheetDefaults(dir.File("tall.png"));
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
  RunSettings s = SheetDefaults(dir.File("p.png"));
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
    bool without_modules = false;  // no encoder module can be loaded
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
      // A format nobody writes is refused before the first grab.
      {"capital MIME", FakeMovie{}, -10, "image/PNG", "対応していない出力形式です: image/PNG",
       false},
      {"empty MIME", FakeMovie{}, -10, "", "対応していない出力形式です", false},
      // So is a format whose encoder cannot be loaded.
      {"no AVIF library", FakeMovie{}, -10, "image/avif",
       "出力ファイルを保存できません: cannot load the AVIF encoder", false, true},
  };
  for (const Case& c : cases) {
    TempDir dir;
    RunSettings s = SheetDefaults(dir.File("sheet.out"));
    s.width = c.width;
    s.format = c.format;
    FakeLog log;
    SetModuleDirectoryForTesting(c.without_modules ? dir.File("no-modules") : "");
    SheetRun run = RunSheet(s, c.movie, &log);
    SetModuleDirectoryForTesting("");
    EXPECT_FALSE(run.written) << c.name;
    // The line names the movie first.
    EXPECT_EQ(run.err.rfind(s.src + ": " + c.diagnostic, 0), 0u) << c.name << ": " << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << c.name << ": " << run.err;
    EXPECT_EQ(!log.grab_times.empty(), c.grabs) << c.name;
    if (!c.grabs) {
      EXPECT_EQ(run.out, "") << c.name;  // no progress at all
    }
    EXPECT_FALSE(PathEntryExists(s.dst)) << c.name;
    EXPECT_EQ(log.released, 1) << c.name;
  }
}

TEST(SheetGeneratorTest, ZeroSourceWidthEndsInTheCatchAll) {
  TempDir dir;
  RunSettings s = SheetDefaults(dir.File("zero.png"));
  s.width = 64;
  s.height = 48;
  FakeMovie movie;
  movie.width = 0;
  FakeLog log;
  SheetRun run = RunSheet(s, movie, &log);
  EXPECT_EQ(run.hr, E_OUTOFMEMORY);
  EXPECT_FALSE(run.written);
  EXPECT_EQ(run.err.rfind(s.src + ": なんかしらエラーが発生してしまいました。: ", 0), 0u)
      << run.err;
  EXPECT_FALSE(PathEntryExists(s.dst));
  EXPECT_EQ(log.released, 1);

  // With no memory left at all the line is still written, whole, and nothing escapes.
  testing::internal::CaptureStderr();
  try {
    throw std::bad_alloc();
  } catch (...) {
    const std::string path = s.src + "\n";
    struct Failing {
      Failing() { allocations_fail = true; }
      ~Failing() { allocations_fail = false; }
    } failing;
    DiagnoseCurrentException(path);
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            s.src + "?: なんかしらエラーが発生してしまいました。: " + std::strerror(ENOMEM) + "\n");
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
    // Without a reordering delay each part's times start where the part before ends, none
    // shared: no time shows two pictures.
    const RunResult made =
        RunBinary("/usr/bin/ffmpeg",
                  {"-nostdin", "-hide_banner", "-loglevel",
                   "error",    "-y",           "-f",
                   "lavfi",    "-i",           std::string("color=c=red:r=10:d=1:s=") + part[0],
                   "-c:v",     "mpeg2video",   "-q:v",
                   "3",        "-flags",       "+low_delay",
                   "-aspect",  part[1],        "-output_ts_offset",
                   part[2],    "-f",           "mpegts",
                   piece});
    ASSERT_EQ(made.exit_code, 0) << made.err << made.start_error;
    joined += ReadFileBytes(piece);
  }
  ASSERT_TRUE(WriteFileBytes(path, joined));
  RunSettings s = SheetDefaults(dir.File("shape.png"));
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
    RunSettings s = SheetDefaults(dir.File(std::string("thin") + crop[0] + ".png"));
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

TEST(SheetGeneratorTest, CellTimesReadAsAPlayerShowsThem) {
  struct Case {
    double seconds, length;
    bool tenths;
    const char* text;
  } cases[] = {
      {0, 60, false, "0:00"},
      {7.96, 60, false, "0:07"},  // the second the frame starts in
      {61, 3599.9, false, "1:01"},
      {600, 601, false, "10:00"},
      {65, 3600, false, "0:01:05"},  // an hour long: hours on every cell
      {3725.4, 7200, false, "1:02:05"},
      {3725.4, 7200, true, "1:02:05.4"},
      {0.29999999999999993, 10, true, "0:00.3"},  // 0.3 s, a rounding error short
      {59.99, 600, true, "0:59.9"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(TimeText(c.seconds, c.length, c.tenths), c.text) << c.seconds << " of " << c.length;
}

// The value of `key` in ffprobe's key=value lines for `entries` of `movie`.
std::map<std::string, std::string> Probe(const std::string& movie, const std::string& streams,
                                         const std::string& entries) {
  const RunResult probe =
      RunBinary("/usr/bin/ffprobe", {"-v", "error", "-select_streams", streams, "-show_entries",
                                     entries, "-of", "default=noprint_wrappers=1", movie});
  EXPECT_EQ(probe.exit_code, 0) << probe.err;
  std::map<std::string, std::string> values;
  std::istringstream lines(probe.out);
  for (std::string line; std::getline(lines, line);)
    if (const std::size_t eq = line.find('='); eq != std::string::npos)
      values[line.substr(0, eq)] = line.substr(eq + 1);
  return values;
}

TEST(SheetGeneratorTest, TheHeaderSaysWhatTheMovieIsAboveTheGrid) {
  ASSERT_TRUE(TextFontsAvailable());
  // H.264 and AAC tagged Japanese, 2.5 s, under a Japanese name.
  FixtureSpec spec;
  spec.container = "mp4";
  spec.codec = "libx264";
  spec.audio_first = true;
  spec.frames = 25;
  spec.codec_args = {"-metadata:s:a:0", "language=jpn"};
  std::string error;
  const std::string fixture = FixtureMovie(spec, &error);
  ASSERT_FALSE(fixture.empty()) << error;
  TempDir dir;
  const std::string movie = dir.File("夏の海辺で.mp4");
  ASSERT_TRUE(std::filesystem::copy_file(fixture, movie));

  // The facts are ffprobe's, and the duration the one the cells are sampled over.
  FrameSource source;
  ASSERT_EQ(source.Open(movie), S_OK);
  ASSERT_EQ(source.SelectFirstVideoStream(), S_OK);
  ASSERT_EQ(source.ReadFrameSize(), S_OK);
  double length = 0;
  source.ReadLength(&length);
  const HeaderText text =
      DescribeMovie(movie, source.ReadMovieFacts(), length, source.width(), source.height());
  auto file = Probe(movie, "v:0", "format=size,bit_rate");
  auto video =
      Probe(movie, "v:0", "stream=profile,width,height,display_aspect_ratio,avg_frame_rate");
  auto audio = Probe(movie, "a:0", "stream=channel_layout:stream_tags=language");
  char size[32];
  std::snprintf(size, sizeof size, "%.3g kB", std::stod(file["size"]) / 1000);
  EXPECT_EQ(text.name, "夏の海辺で.mp4");
  ASSERT_EQ(text.facts.size(), 3u);
  EXPECT_EQ(text.facts[0], std::string("Size ") + size + ", duration " +
                               TimeText(length, length, false) + ", bit rate " +
                               std::to_string(std::lround(std::stod(file["bit_rate"]) / 1000)) +
                               " kb/s");
  EXPECT_EQ(text.facts[1], "Video: H.264 (" + video["profile"] + "), " + video["width"] + "x" +
                               video["height"] + " (" + video["display_aspect_ratio"] + "), " +
                               std::to_string(std::stoi(video["avg_frame_rate"])) + " fps");
  EXPECT_EQ(text.facts[2], "Audio: AAC, " + audio["channel_layout"] + ", " + audio["TAG:language"]);

  // 3 x 4 cells of 160 x 120 under the header: each cell's frame is read right below it.
  RunSettings s = SheetDefaults(dir.File("header.png"));
  s.src = movie;
  s.width = 160;
  s.height = 120;
  s.showHeader = true;
  const SheetRun run = RunSheet(s, DefaultMediaDetFactory(), 1);
  ASSERT_TRUE(run.written) << run.err;
  EXPECT_EQ(run.err, "");
  const DecodedImage img = ReadImageFile(s.dst);
  const SheetHeader header = LayOutHeader(text, 480, s.bgcolor);
  ASSERT_GT(header.height, 0);
  ASSERT_EQ(img.width, 480);
  ASSERT_EQ(img.height, 4 * 120 + header.height);
  for (int k = 0; k < 12; ++k)
    EXPECT_GE(ReadFrameNumberRgba(img.rgba.data(), img.width * 4, k % 3 * 160,
                                  header.height + k / 3 * 120, 160, 120),
              0)
        << "cell " << k;
  // The name has a glyph for every character, and the sheet shows exactly the name drawn alone.
  const HeaderLine& name = header.lines.front();
  EXPECT_EQ(name.line->unknown_glyphs(), 0);
  EXPECT_FALSE(name.line->ellipsized());
  Bitmap alone(480, header.height, PixelFormat32bppARGB);
  Graphics(alone).Clear(0xFF000000u);
  ASSERT_EQ(name.line->Draw(alone.get(), name.x, name.y, header.colour), Ok);
  int ink = 0;
  for (int y = name.y; y < name.y + name.line->height(); ++y) {
    for (int x = 0; x < 480; ++x) {
      ARGB expected = 0;
      GdipBitmapGetPixel(alone.get(), x, y, &expected);
      ASSERT_EQ(Rgb(img, x, y), expected & 0xFFFFFFu) << x << "," << y;
      ink += (expected & 0xFFFFFFu) != 0;
    }
  }
  EXPECT_GT(ink, 100);

  // A name too long for the width ends in an ellipsis inside the margins; a sheet too narrow
  // for the facts gets the name beside the duration, and one narrower still no header.
  HeaderText long_name = text;
  long_name.name = std::string(200, 'x') + ".mp4";
  const SheetHeader cut = LayOutHeader(long_name, 480, 0);
  EXPECT_TRUE(cut.lines.front().line->ellipsized());
  EXPECT_LE(cut.lines.front().line->width(), 480 - 2 * cut.lines.front().x);
  const SheetHeader narrow = LayOutHeader(text, 192, 0);
  ASSERT_EQ(narrow.lines.size(), 2u);
  EXPECT_EQ(narrow.lines[0].y, narrow.lines[1].y);
  EXPECT_LT(narrow.height, header.height);
  EXPECT_EQ(LayOutHeader(text, 40, 0).height, 0);
  // The text stands out from the background: black on light colours, white on dark ones.
  EXPECT_EQ(LayOutHeader(text, 480, 0xFFFFFF).colour, 0xFF000000u);
  EXPECT_EQ(LayOutHeader(text, 480, 0xFFFF00).colour, 0xFF000000u);
  EXPECT_EQ(LayOutHeader(text, 480, 0x0000FF).colour, 0xFFFFFFFFu);
  EXPECT_EQ(header.colour, 0xFFFFFFFFu);
}

TEST(SheetGeneratorTest, DullFramesGiveWayToTheFirstLivelyFrameOfTheirWindow) {
  // 6 s at 10 fps, every frame a keyframe: cells at 1, 2, 3 and 4 s show those frames, or
  // any frame within 0.25 s. Black covers the first cell's frame and what lies before it in
  // its window (0.8-1.1 s), the second's and what lies after (2.0-2.2 s), and the third's
  // whole window (2.7-3.3 s).
  FixtureSpec spec;
  spec.frames = 60;
  spec.keyframe_interval = 1;
  spec.black_frames = {{8, 11}, {20, 22}, {27, 33}};
  std::string error;
  const std::string movie = FixtureMovie(spec, &error);
  ASSERT_FALSE(movie.empty()) << error;
  // Each cell's frame number; -1 for a black cell.
  auto cells = [&](bool skip_dull, int workers) {
    TempDir dir;
    RunSettings s = SheetDefaults(dir.File("dull.png"));
    s.src = movie;
    s.cols = 4;
    s.rows = 1;
    s.width = 160;
    s.height = 120;
    s.skipDull = skip_dull;
    const SheetRun run = RunSheet(s, DefaultMediaDetFactory(), workers);
    EXPECT_EQ(run.out, "OOOO\r\n\r\ncomplete\n") << run.err;
    const DecodedImage img = ReadImageFile(s.dst);
    std::vector<int> frames;
    for (int k = 0; k < 4 && img.ok(); ++k) {
      const bool black = Rgb(img, k * 160 + 80, 90) == 0 && Rgb(img, k * 160 + 5, 30) == 0;
      frames.push_back(
          black ? -1 : ReadFrameNumberRgba(img.rgba.data(), img.width * 4, k * 160, 0, 160, 120));
    }
    return frames;
  };
  EXPECT_EQ(cells(false, 1), (std::vector<int>{-1, -1, -1, 40}));
  // The first lively frame of the window, whichever detectors grab; a window all black keeps
  // its black frame.
  for (int workers : {1, 2})
    EXPECT_EQ(cells(true, workers), (std::vector<int>{12, 18, -1, 40})) << workers << " workers";
}

}  // namespace
