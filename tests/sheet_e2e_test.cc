// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the built vgrid on movies whose frames carry their own numbers and checks what it
// prints, what it writes, and the exit status.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "platform/imaging.h"
#include "platform/text_draw.h"
#include "sheet/cell_time.h"
#include "testutil/fixture_movies.h"
#include "testutil/image_read.h"
#include "testutil/run_binary.h"
#include "testutil/temp_dir.h"
#include "testutil/vgrid_run.h"

namespace {

class SheetEndToEnd : public testing::Test {
 protected:
  void SetUp() override {
    if (!VgridBinaryAvailable()) GTEST_SKIP() << "VGRID_BINARY is not set";
  }

  RunResult Vgrid(const std::vector<std::string>& args, const std::string& locale = "C.UTF-8") {
    VgridRunBounds bounds;
    bounds.set_env = {"LC_ALL=" + locale};
    return RunVgrid(args, bounds);
  }

  static std::string Movie(const FixtureSpec& spec) {
    std::string error;
    std::string path = FixtureMovie(spec, &error);
    EXPECT_FALSE(path.empty()) << error;
    return path;
  }
};

// A lossless movie of 35 frames at 10 fps: 3.5 seconds.
FixtureSpec NumberedMovie() {
  FixtureSpec spec;
  spec.width = 160;
  spec.height = 120;
  spec.fps = 10;
  spec.frames = 35;
  return spec;
}

int Adjusted(int v) {
  return static_cast<int>(std::lround(std::clamp((1.15 * v / 255.0 - 0.075) * 255.0, 0.0, 255.0)));
}

TEST_F(SheetEndToEnd, EachCellShowsTheFrameAtItsSampleTime) {
  const std::string movie = Movie(NumberedMovie());
  const double length = 3.5, fps = 10;
  struct Grid {
    int cols, rows;
  } grids[] = {{1, 1}, {3, 4}, {5, 1}};
  for (const Grid& g : grids) {
    TempDir dir;
    const std::string dst = dir.File("sheet.png");
    RunResult r = Vgrid({"-c=" + std::to_string(g.cols), "-r=" + std::to_string(g.rows), "-w=100%",
                         "-h=100%", "-f:p", movie, dst});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    DecodedImage img = ReadImageFile(dst);
    ASSERT_TRUE(img.ok()) << img.error;
    ASSERT_EQ(img.width, 160 * g.cols);
    ASSERT_EQ(img.height, 120 * g.rows);
    const int n = g.cols * g.rows;
    const double interval = length / (n + 2);
    int previous = -1;
    for (int k = 1; k <= n; ++k) {
      const int x = ((k - 1) % g.cols) * 160, y = ((k - 1) / g.cols) * 120;
      const int frame = ReadFrameNumberRgba(img.rgba.data(), img.width * 4, x, y, 160, 120);
      const double ideal = length * k / (n + 2);
      // The frame on screen at the ideal time, or, where vgrid takes a cheaper frame, one
      // within a quarter of the interval of it.
      EXPECT_LE(std::abs(frame / fps - ideal), interval / 4 + 1 / fps)
          << g.cols << "x" << g.rows << " cell " << k << " shows frame " << frame;
      EXPECT_GT(frame, previous) << g.cols << "x" << g.rows << " cell " << k;
      previous = frame;
    }
  }
}

TEST_F(SheetEndToEnd, PrintsTheEchoAndOneMarkPerCell) {
  const std::string movie = Movie(NumberedMovie());
  TempDir dir;
  const std::string dst = dir.File("three-by-two.jpg");
  // The loader writes down every file it loads.
  VgridRunBounds bounds;
  bounds.set_env = {"LC_ALL=C.UTF-8", "LD_DEBUG=files", "LD_DEBUG_OUTPUT=" + dir.File("loader")};
  RunResult r = RunVgrid({"-c=3", "-r=2", movie, dst}, bounds);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "src: " + movie + "\r\ndst: " + dst +
                       "\r\ncolumn: 3\r\nrows: 2\r\nOOO\r\nOOO\r\n\r\ncomplete\n");
  DecodedImage img = ReadImageFile(dst);
  EXPECT_EQ(img.format, "jpeg");
  EXPECT_EQ(img.width, 3 * 16);
  EXPECT_EQ(img.height, 2 * 12);

  // A JPEG sheet of progressive SDR frames loads the JPEG encoder and no other, and no
  // libavfilter. (libwebp and libjxl come with libavcodec itself.)
  std::string loaded;
  for (const std::string& name : DirectoryEntries(dir.path()))
    if (name.rfind("loader.", 0) == 0) loaded += ReadFileBytes(dir.File(name));
  EXPECT_NE(loaded.find("/encoder_jpeg.so"), std::string::npos) << loaded;
  for (const char* file :
       {"libavfilter.so", "/filter_graph.so", "libtiff.so", "libgif.so", "libimagequant.so",
        "libavif.so", "/encoder_gif.so", "/encoder_tiff.so", "/encoder_png.so", "/encoder_webp.so",
        "/encoder_avif.so", "/encoder_jxl.so"})
    EXPECT_EQ(loaded.find(file), std::string::npos) << file << " was loaded";
}

// On Linux a name is bytes: a movie named in Latin-1 (from an old disk, a Windows share)
// opens under a UTF-8 locale and under the C locale, and the sheet named after it keeps the
// byte that is no UTF-8.
TEST_F(SheetEndToEnd, AMovieNamedInAnotherEncodingGetsItsSheetByteForByte) {
  const std::string fixture = Movie(NumberedMovie());
  for (const char* locale : {"C.UTF-8", "C"}) {
    SCOPED_TRACE(locale);
    TempDir dir;
    const std::string movie = dir.File("caf\xE9.mkv"), sheet = dir.File("caf\xE9.jpg");
    ASSERT_TRUE(std::filesystem::copy_file(fixture, movie));
    RunResult r = Vgrid({"-c=2", "-r=1", movie}, locale);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "src: " + movie + "\r\ndst: " + sheet +
                         "\r\ncolumn: 2\r\nrows: 1\r\nOO\r\n\r\ncomplete\n");
    EXPECT_EQ(ReadImageFile(sheet).format, "jpeg");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
  }
}

TEST_F(SheetEndToEnd, DefaultCellsAreATenthOfTheVideo) {
  FixtureSpec spec = NumberedMovie();
  spec.width = 640;
  spec.height = 480;
  spec.frames = 10;
  const std::string movie = Movie(spec);
  TempDir dir;
  RunResult r = Vgrid({movie, dir.File("*.png"), "-f:p"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // The pattern keeps the source name and its extension.
  DecodedImage img = ReadImageFile(movie + ".png");
  std::remove((movie + ".png").c_str());
  EXPECT_EQ(img.width, 192);
  EXPECT_EQ(img.height, 192);
}

TEST_F(SheetEndToEnd, LetterboxBarsAndFramesCarryTheirColours) {
  FixtureSpec spec = NumberedMovie();
  spec.width = 640;
  spec.height = 480;
  spec.frames = 10;
  spec.fill = 0x3070B0;
  const std::string movie = Movie(spec);
  TempDir dir;
  const std::string dst = dir.File("bars.png");
  RunResult r = Vgrid({"-c=1", "-r=1", "-w=320", "-h=100", "-b=ff", "-f:p", movie, dst});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  DecodedImage img = ReadImageFile(dst);
  ASSERT_EQ(img.width, 320);
  ASSERT_EQ(img.height, 100);
  // 133 x 100 frame at x offset 93; opaque blue on both sides.
  EXPECT_EQ(img.Argb(10, 50), 0xFF0000FFu);
  EXPECT_EQ(img.Argb(92, 50), 0xFF0000FFu);
  EXPECT_EQ(img.Argb(226, 50), 0xFF0000FFu);
  EXPECT_EQ(img.Argb(310, 50), 0xFF0000FFu);
  // The frame's solid bottom half, through the sheet's colour adjustment.
  const std::uint32_t px = img.Argb(93 + 66, 85);
  EXPECT_NEAR(static_cast<int>((px >> 16) & 0xFF), Adjusted(0x30), 3);
  EXPECT_NEAR(static_cast<int>((px >> 8) & 0xFF), Adjusted(0x70), 3);
  EXPECT_NEAR(static_cast<int>(px & 0xFF), Adjusted(0xB0), 3);
}

TEST_F(SheetEndToEnd, RunsThatWriteNothingExitOneWithOneLine) {
  const std::string movie = Movie(NumberedMovie());
  FixtureSpec audio;
  audio.audio_only = true;
  audio.codec = "";
  const std::string audio_only = Movie(audio);
  TempDir dir;
  const std::string missing = dir.File("missing.mp4");
  struct Case {
    std::vector<std::string> args;
    std::string dst;
    std::string line_start;  // after the movie's path and ": "
  } cases[] = {
      {{missing, dir.File("a.jpg")}, dir.File("a.jpg"), "入力ファイルを開けません: "},
      {{audio_only, dir.File("b.jpg")}, dir.File("b.jpg"), "映像ストリームがありません"},
      {{"-w=0", movie, dir.File("c.jpg")}, dir.File("c.jpg"), "出力画像を作成できません"},
      {{"-c=100000", "-r=100000", movie, dir.File("d.jpg")},
       dir.File("d.jpg"),
       "出力画像を作成できません"},
      {{"-f:image/xyz", movie, dir.File("e.xyz")},
       dir.File("e.xyz"),
       "対応していない出力形式です: image/xyz\n"},
      {{movie, dir.File("no/such/dir/f.jpg")},
       dir.File("no/such/dir/f.jpg"),
       "出力ファイルを保存できません: "},
  };
  for (const Case& c : cases) {
    RunResult r = Vgrid(c.args);
    const std::string& src = c.args[c.args.size() - 2];
    EXPECT_EQ(r.exit_code, 1) << c.args[0] << "\n" << r.out << r.err;
    EXPECT_EQ(r.err.rfind(src + ": " + c.line_start, 0), 0u) << c.args[0] << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_FALSE(PathEntryExists(c.dst)) << c.args[0];
    // The echo still comes first.
    EXPECT_EQ(r.out.rfind("src: ", 0), 0u) << r.out;
  }
  // The canvas and encoder checks come before the first grab: no marks at all.
  RunResult huge = Vgrid({"-c=100000", "-r=100000", movie, dir.File("g.jpg")});
  EXPECT_TRUE(huge.out.ends_with("rows: 100000\r\n")) << huge.out;
  RunResult webp = Vgrid({"-f:webp", movie, dir.File("h.jpg")});
  EXPECT_TRUE(webp.out.ends_with("rows: 4\r\n")) << webp.out;
}

TEST_F(SheetEndToEnd, EachCellShowsTheTimeOfItsOwnFrame) {
  ASSERT_TRUE(TextFontsAvailable());
  const std::string movie = Movie(NumberedMovie());
  TempDir dir;
  const std::string dst = dir.File("times.png");
  RunResult r = Vgrid({"-t", "-w=100%", "-h=100%", "-f:p", movie, dst});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  DecodedImage img = ReadImageFile(dst);
  ASSERT_EQ(img.width, 3 * 160);
  ASSERT_EQ(img.height, 4 * 120);
  // A frame's lower half is one colour. There each cell holds the time of the frame it shows
  // (cells 0.25 s apart: to a tenth), as it looks drawn on a cell of that colour alone.
  const ARGB fill =
      0xFF000000u | static_cast<ARGB>(Adjusted(0x30) << 16 | Adjusted(0x70) << 8 | Adjusted(0xB0));
  for (int k = 0; k < 12; ++k) {
    const int x0 = k % 3 * 160, y0 = k / 3 * 120;
    const int frame = ReadFrameNumberRgba(img.rgba.data(), img.width * 4, x0, y0, 160, 120);
    ASSERT_GE(frame, 0) << "cell " << k;
    Bitmap expected(160, 120, PixelFormat32bppARGB);
    Graphics(expected).Clear(fill);
    ASSERT_TRUE(StampTime(expected.get(), {0, 0, 160, 120}, TimeText(frame / 10.0, 3.5, true)));
    int stamped = 0, wrong = 0;
    for (int y = 60; y < 120; ++y) {
      for (int x = 0; x < 160; ++x) {
        ARGB want = 0;
        GdipBitmapGetPixel(expected.get(), x, y, &want);
        stamped += want != fill;
        for (int shift = 0; shift < 24; shift += 8)
          wrong += std::abs(static_cast<int>((img.Argb(x0 + x, y0 + y) >> shift) & 0xFF) -
                            static_cast<int>((want >> shift) & 0xFF)) > 2;
      }
    }
    EXPECT_GT(stamped, 100) << "cell " << k;
    EXPECT_EQ(wrong, 0) << "cell " << k << " shows frame " << frame;
  }
}

TEST_F(SheetEndToEnd, WithoutAFontTheSheetComesWithoutItsText) {
  const std::string movie = Movie(NumberedMovie());
  TempDir dir;
  const std::string plain = dir.File("plain.png"), asked = dir.File("asked.png");
  ASSERT_EQ(Vgrid({"-f:p", movie, plain}).exit_code, 0);
  // Fonts are found through fontconfig: a configuration that names no folder finds none.
  const std::string config = dir.File("fonts.conf");
  ASSERT_TRUE(WriteFileBytes(config, "<?xml version=\"1.0\"?>\n<fontconfig></fontconfig>\n"));
  VgridRunBounds bounds;
  bounds.set_env = {"LC_ALL=C.UTF-8", "FONTCONFIG_FILE=" + config};
  RunResult r = RunVgrid({"-t", "-i", "-f:p", movie, asked}, bounds);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(IsOneLine(r.err)) << r.err;
  EXPECT_EQ(r.err.rfind(movie + ": 文字を描けるフォントがありません", 0), 0u) << r.err;
  EXPECT_EQ(ReadFileBytes(asked), ReadFileBytes(plain));
}

TEST_F(SheetEndToEnd, ExistingDestinationIsLeftAloneAndExitsZero) {
  const std::string movie = Movie(NumberedMovie());
  TempDir dir;
  const std::string dst = dir.File("taken.jpg");
  ASSERT_TRUE(WriteFileBytes(dst, "precious"));
  RunResult r = Vgrid({movie, dst});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "dst: " + dst + "\n出力ファイルがすでに存在します。");
  EXPECT_EQ(ReadFileBytes(dst), "precious");
}

}  // namespace
