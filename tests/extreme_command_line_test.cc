// SPDX-License-Identifier: GPL-3.0-or-later
// Extreme values and sizes on the command line: each gets a prompt, clear outcome (a sheet,
// one diagnostic line with exit 1, or the usage text with exit 2), never a crash, and never
// a canvas beyond the cap, which would take the machine's memory or run for hours.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "testutil/fixture_movies.h"
#include "testutil/image_read.h"
#include "testutil/run_binary.h"
#include "testutil/temp_dir.h"
#include "testutil/vgrid_run.h"

namespace {

const std::string kNoCanvas = "出力画像を作成できません: ";

// On a 64 x 48 movie: the default cells (10 percent) are 6 x 4 pixels.
class ExtremeCommandLineTest : public SmallMovieRunTest {
 protected:
  // vgrid with a 30-second bound and, outside sanitizer builds (whose shadow memory needs
  // terabytes of address space), a 4 GiB bound on its address space: well above the 1 GiB
  // canvas cap and what encoding it takes, far below what an unchecked size would ask.
  RunResult Vgrid(const std::vector<std::string>& args) {
    const RunResult r = RunVgrid(args, {30, std::int64_t{4} << 30});
    EXPECT_EQ(r.start_error, "");
    EXPECT_FALSE(r.timed_out) << "no outcome within 30 s";
    EXPECT_EQ(r.term_signal, 0);
    return r;
  }

  // A run on `src` that must end with exit 1 and the one line "src: `line_start`...": no file
  // in `dir`.
  void ExpectDiagnostic(const RunResult& r, const std::string& src, const std::string& line_start,
                        const std::string& dir) {
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_EQ(r.err.rfind(src + ": " + line_start, 0), 0u) << r.err.substr(0, 200);
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err.substr(0, 200);
    EXPECT_EQ(DirectoryEntries(dir), std::vector<std::string>{});
  }

  // A run that must write a sheet of width x height.
  DecodedImage ExpectSheet(const RunResult& r, const std::string& dst, int width, int height) {
    EXPECT_EQ(r.exit_code, 0) << r.out.substr(0, 300) << r.err;
    EXPECT_EQ(r.err, "");
    DecodedImage image = ReadImageFile(dst);
    EXPECT_TRUE(image.ok()) << image.error;
    EXPECT_EQ(image.width, width);
    EXPECT_EQ(image.height, height);
    return image;
  }
};

TEST_F(ExtremeCommandLineTest, HugeGridsAndCellsAreRefusedBeforeTheFirstGrab) {
  const std::vector<std::vector<std::string>> option_sets = {
      {"-c=100000", "-r=100000"},
      {"-w=2147483647"},
      {"-h=-2147483648"},  // 2^31 percent of the video height
      {"-w=-2147483647"},
      // 65536 x 65536 cells is 2^32, 0 in 32-bit arithmetic.
      {"-c=65536", "-r=65536", "-w=1", "-h=1"},
      {"-c=2147483647", "-r=2147483647", "-w=1", "-h=1"},
      {"-c=1", "-r=1", "-w=65536", "-h=1"},
      // Just over the cap: 16385 x 16384 pixels of four bytes are more than 1 GiB.
      {"-c=1", "-r=1", "-w=16385", "-h=16384"},
      {"-c=-5"},
      {"-r=0"},
  };
  for (const auto& options : option_sets) {
    SCOPED_TRACE(options[0] + (options.size() > 1 ? " " + options[1] : ""));
    TempDir dir;
    std::vector<std::string> args = options;
    args.insert(args.end(), {movie_, dir.File("sheet.jpg")});
    RunResult r = Vgrid(args);
    ExpectDiagnostic(r, movie_, kNoCanvas, dir.path());
    // Nothing after the echo: no progress mark, so no grab, before the canvas check.
    const std::size_t echo_end = r.out.find("\r\n", r.out.find("rows: "));
    ASSERT_NE(echo_end, std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(echo_end), "\r\n") << "a grab before the canvas check";
    EXPECT_EQ(r.out.find("complete"), std::string::npos);
  }
}

TEST_F(ExtremeCommandLineTest, ExtremeButSoundValuesGiveASheet) {
  TempDir dir;
  // -1000% is 1000 pixels; the height stays 10 percent of 48, 4 pixels.
  const std::string wide = dir.File("wide.png");
  ExpectSheet(Vgrid({"-w=-1000%", "-f:png", movie_, wide}), wide, 3 * 1000, 4 * 4);
  // 1000 percent of the video's own size.
  const std::string big = dir.File("big.png");
  ExpectSheet(Vgrid({"-w=-1000", "-h=-1000", "-c=1", "-r=1", "-f:png", movie_, big}), big, 640,
              480);

  // Qualities outside 1..100 are held to its ends, as the JPEG library's scale does.
  std::string bytes[4];
  const char* qualities[4] = {"-q=-5", "-q=1", "-q=1000", "-q=100"};
  for (int i = 0; i < 4; ++i) {
    const std::string dst = dir.File("q" + std::to_string(i) + ".jpg");
    ExpectSheet(Vgrid({qualities[i], "-w=64", "-h=48", movie_, dst}), dst, 3 * 64, 4 * 48);
    bytes[i] = ReadFileBytes(dst);
  }
  EXPECT_EQ(bytes[0], bytes[1]);
  EXPECT_EQ(bytes[2], bytes[3]);
  EXPECT_LT(bytes[1].size(), bytes[3].size());
}

TEST_F(ExtremeCommandLineTest, ManyArguments) {
  for (int count : {50, 500}) {
    SCOPED_TRACE(count);
    TempDir dir;
    // count arguments: options that a later one overrides, then the last -c, src and dst.
    std::vector<std::string> args;
    for (int i = 0; i < count - 3; ++i) args.push_back(i % 2 ? "-c=7" : "-r=1");
    args.insert(args.end(), {"-c=2", movie_, dir.File("sheet.png")});
    ASSERT_EQ(args.size(), static_cast<std::size_t>(count));
    ExpectSheet(Vgrid(args), dir.File("sheet.png"), 2 * 6, 1 * 4);

    // As many positional arguments: the usage text, exit 2, nothing written.
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) names.push_back(dir.File("n" + std::to_string(i)));
    RunResult r = Vgrid(names);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out.rfind("vgrid [-c=cols]", 0), 0u);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(DirectoryEntries(dir.path()), std::vector<std::string>{"sheet.png"});
  }
}

TEST_F(ExtremeCommandLineTest, TenThousandByteArguments) {
  TempDir dir;
  const std::string long_name = dir.File(std::string(10000, 'a'));
  // As the source: it cannot be opened (the name is longer than any path can be).
  ExpectDiagnostic(Vgrid({long_name + ".mkv"}), long_name + ".mkv",
                   "入力ファイルを開けません: ", dir.path());
  // As the destination: the sheet is made and cannot be saved under that name.
  RunResult r = Vgrid({"-c=1", "-r=1", movie_, long_name + ".jpg"});
  ExpectDiagnostic(r, movie_, "出力ファイルを保存できません: ", dir.path());
  EXPECT_NE(r.err.find("File name too long"), std::string::npos) << r.err.substr(0, 200);
  // The echo shows the name whole.
  EXPECT_NE(r.out.find("dst: " + long_name + ".jpg\r\n"), std::string::npos);
  // As a format: no encoder has that MIME type, and the line names it whole.
  const std::string mime = "image/" + std::string(10000, 'x');
  r = Vgrid({"-f:" + mime, movie_, dir.File("sheet.img")});
  ExpectDiagnostic(r, movie_, "対応していない出力形式です: " + mime + "\n", dir.path());
  // As an unknown option: its two lines, then the usage text.
  const std::string option = "-x=" + std::string(10000, '9');
  r = Vgrid({option, movie_});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err.rfind(option + ": ", 0), 0u);
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2);
  EXPECT_EQ(r.out.rfind("vgrid [-c=cols]", 0), 0u);
  EXPECT_EQ(DirectoryEntries(dir.path()), std::vector<std::string>{});
}

}  // namespace
