// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/console_main.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/com.h"
#include "platform/text_conv.h"
#include "testutil/capture.h"
#include "testutil/run_binary.h"
#include "testutil/temp_dir.h"

namespace {

// CP932 bytes of texts the program writes.
const std::string kColsLineCp932 = " cols : \x83\x4A\x83\x89\x83\x80\x90\x94(default:1)\r\n";
const std::string kRefusalCp932 =
    "\x8F\x6F\x97\xCD\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xAA\x82\xB7\x82\xC5\x82\xC9\x91\xB6"
    "\x8D\xDD\x82\xB5\x82\xDC\x82\xB7\x81\x42";
const std::string kUnknownOptionCp932 =
    " : \x96\xA2\x91\xCE\x89\x9E\x82\xCC\x83\x52\x83\x7D\x83\x93\x83\x68\x83\x89\x83\x43\x83\x93"
    "\x83\x49\x83\x76\x83\x56\x83\x87\x83\x93";
const std::string kHyouCp932 = "\x95\x5C";
// "入力ファイルを開けません" in CP932.
const std::string kCannotOpenCp932 =
    "\x93\xFC\x97\xCD\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xF0\x8A\x4A\x82\xAF\x82\xDC\x82\xB9"
    "\x82\xF1";

const std::string kUsageFirstLine =
    "vgrid [-c=cols] [-r=rows] [-w=width] [-h=height] [-f:format] [-q:quality] [-b:bgcolor] [src] "
    "[dst]\r\n";

std::string Echo(const std::string& src, const std::string& dst, int cols, int rows) {
  return "src: " + src + "\r\ndst: " + dst + "\r\ncolumn: " + std::to_string(cols) +
         "\r\nrows: " + std::to_string(rows) + "\r\n";
}

// Runs ConsoleMain in this process as if started with `args` (program name first).
int RunConsoleMain(std::vector<std::string> args, CapturedOutput* output) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  RememberProcessArguments(static_cast<int>(argv.size()), argv.data());
  int exit_code = -1;
  *output = CaptureOutput([&] { exit_code = ConsoleMain(); });
  return exit_code;
}

// Records the driver's calls to its hooks.
std::string g_calls;
RunSettings g_seen;
int g_runner_result = 0;

class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_calls.clear();
    TheDriverHooks().start_imaging = [] { g_calls += "start "; };
    TheDriverHooks().stop_imaging = [] { g_calls += "stop "; };
    TheDriverHooks().run_sheet = [](RunSettings& settings) {
      g_calls += "sheet ";
      g_seen = settings;
      return g_runner_result;
    };
  }
  void TearDown() override {
    TheDriverHooks() = DriverHooks();
    SetCoInitializeResultForTesting(S_OK);
  }
  TempDir dir_;
  CapturedOutput output_;
};

TEST_F(DriverTest, RunsTheSheetBetweenStartAndStop) {
  g_runner_result = 1;
  std::string src = dir_.File("my \"best\" clip.avi");
  EXPECT_EQ(RunConsoleMain({"vgrid", "-c=5", src, "-r=2"}, &output_), 1);
  EXPECT_EQ(g_calls, "start sheet stop ");
  EXPECT_EQ(output_.out, Echo(src, dir_.File("my \"best\" clip.jpg"), 5, 2));
  EXPECT_EQ(output_.err, "");
  EXPECT_EQ(g_seen.src, src);
  EXPECT_EQ(g_seen.cols, 5);
  g_runner_result = 0;
  EXPECT_EQ(RunConsoleMain({"vgrid", src}, &output_), 0);
}

TEST_F(DriverTest, RefusedRunsTouchNothing) {
  EXPECT_EQ(RunConsoleMain({"vgrid"}, &output_), 2);
  EXPECT_EQ(output_.out.substr(0, kUsageFirstLine.size()), kUsageFirstLine);
  EXPECT_EQ(RunConsoleMain({"vgrid", dir_.File("a.avi"), ""}, &output_), 2);
  ASSERT_TRUE(WriteFileBytes(dir_.File("a.jpg"), ""));
  EXPECT_EQ(RunConsoleMain({"vgrid", dir_.File("a.avi")}, &output_), 0);
  EXPECT_EQ(output_.out,
            "dst: " + dir_.File("a.jpg") + "\n" + ConsoleText("出力ファイルがすでに存在します。"));
  EXPECT_EQ(g_calls, "");
}

TEST_F(DriverTest, RuntimeFailureEndsWithOne) {
  SetCoInitializeResultForTesting(E_FAIL);
  EXPECT_EQ(RunConsoleMain({"vgrid", dir_.File("a.avi")}, &output_), 1);
  EXPECT_EQ(g_calls, "");
  EXPECT_EQ(output_.out, "");
  const std::string text = "CoInitialize Failed!\r\n: ";
  EXPECT_EQ(output_.err.substr(0, text.size()), text);
  EXPECT_EQ(output_.err.back(), '\n');
  EXPECT_EQ(output_.err.find('\n', text.size()), output_.err.size() - 1);
}

// The built program, end to end: exact bytes and exit codes.
class BinaryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!VgridBinaryAvailable()) GTEST_SKIP() << "VGRID_BINARY does not name the built vgrid";
  }
  RunResult Run(const std::vector<std::string>& args, std::vector<std::string> env = {}) {
    RunOptions options;
    options.unset_env = {"LANG", "LANGUAGE", "LC_ALL", "LC_CTYPE", "LC_MESSAGES"};
    options.set_env = std::move(env);
    options.cwd = dir_.path();
    return RunBinary(VgridBinaryPath(), args, options);
  }
  TempDir dir_;
};

TEST_F(BinaryTest, UsageAndRefusalsInUtf8) {
  RunResult usage = Run({});
  EXPECT_EQ(usage.exit_code, 2);
  EXPECT_EQ(usage.err, "");
  EXPECT_EQ(usage.out.substr(0, kUsageFirstLine.size()), kUsageFirstLine);
  // 13 lines, every one ended by CR LF, the height line twice.
  std::size_t lines = 0;
  for (std::size_t at = usage.out.find('\n'); at != std::string::npos;
       at = usage.out.find('\n', at + 1), ++lines) {
    EXPECT_EQ(usage.out[at - 1], '\r');
  }
  EXPECT_EQ(lines, 13u);
  EXPECT_EQ(usage.out.back(), '\n');
  const std::string height =
      " height: 画像の高さ。\"240\" 240ピクセル。\"50%\"元画像の高さの50% (default:25%)\r\n";
  EXPECT_NE(usage.out.find(height + height), std::string::npos);
  EXPECT_NE(usage.out.find("\r\n       \"*\" から始めると"), std::string::npos);
  EXPECT_NE(usage.out.find("\r\n ※出力先ファイルが存在する場合は処理しません\r\n"),
            std::string::npos);

  RunResult bad = Run({"-x=1", "clip.avi"});
  EXPECT_EQ(bad.exit_code, 2);
  EXPECT_EQ(bad.out, usage.out);
  EXPECT_EQ(bad.err,
            "-x=1: Invalid argument\n : 未対応のコマンドラインオプション: Invalid argument\n");
  // A lone "-" (no way to name standard output here) is such an option too.
  RunResult dash = Run({"clip.avi", "-"});
  EXPECT_EQ(dash.exit_code, 2);
  EXPECT_EQ(dash.err,
            "-: Invalid argument\n : 未対応のコマンドラインオプション: Invalid argument\n");
  RunResult third = Run({"a", "b", "c"});
  EXPECT_EQ(third.exit_code, 2);
  EXPECT_EQ(third.out, usage.out);
  RunResult empty = Run({"clip.avi", ""});
  EXPECT_EQ(empty.exit_code, 2);
  EXPECT_EQ(empty.out, usage.out);
  EXPECT_FALSE(PathEntryExists(dir_.File("clip.jpg")));

  ASSERT_TRUE(WriteFileBytes(dir_.File("clip.jpg"), "old"));
  RunResult exists = Run({"clip.avi"});
  EXPECT_EQ(exists.exit_code, 0);
  EXPECT_EQ(exists.out, "dst: clip.jpg\n出力ファイルがすでに存在します。");
  EXPECT_EQ(exists.err, "");
  EXPECT_EQ(ReadFileBytes(dir_.File("clip.jpg")), "old");
}

TEST_F(BinaryTest, EchoShowsTheResolvedDestination) {
  // There is no such movie: the run echoes its settings, writes no image and exits 1.
  RunResult run = Run({"/some/movie.avi"});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, Echo("/some/movie.avi", "/some/movie.jpg", 3, 4));
  RunResult quoted = Run({"-f:p", "-c=2", "my \"odd\"  movie.mkv", "*_sheet.png", "-r=-1"});
  EXPECT_EQ(quoted.exit_code, 1);
  EXPECT_EQ(quoted.out, Echo("my \"odd\"  movie.mkv", "my \"odd\"  movie.mkv_sheet.png", 2, -1));
  // The plain C locale reads paths as UTF-8, like a UTF-8 locale.
  RunResult c_locale = Run({"/v/クリップ.表"}, {"LC_ALL=C"});
  EXPECT_EQ(c_locale.out, Echo("/v/クリップ.表", "/v/クリップ.jpg", 3, 4));
}

TEST_F(BinaryTest, TextsAndPathsInCp932) {
  std::string why;
  std::vector<std::string> env =
      CompileLocale(dir_.path(), "ja_JP", "WINDOWS-31J", "ja_JP.WINDOWS-31J", &why);
  if (env.empty()) GTEST_SKIP() << "no CP932 locale: " << why;
  RunResult usage = Run({}, env);
  EXPECT_EQ(usage.exit_code, 2);
  EXPECT_EQ(usage.out.substr(0, kUsageFirstLine.size()), kUsageFirstLine);
  EXPECT_NE(usage.out.find("\r\n" + kColsLineCp932), std::string::npos);
  EXPECT_EQ(usage.out.find("カラム数"), std::string::npos);

  RunResult bad = Run({"-C", "x.avi"}, env);
  EXPECT_EQ(bad.exit_code, 2);
  EXPECT_EQ(bad.err.substr(0, 4), "-C: ");
  EXPECT_NE(bad.err.find("\n" + kUnknownOptionCp932 + ": "), std::string::npos);

  // A path of more than 128 bytes whose extension is a character with the trail byte 0x5C.
  std::string long_name(130, 'n');
  std::string src = dir_.File(long_name + "." + kHyouCp932);
  RunResult run = Run({src}, env);
  EXPECT_EQ(run.exit_code, 1);  // no such movie
  EXPECT_EQ(run.out, Echo(src, dir_.File(long_name + ".jpg"), 3, 4));
  EXPECT_EQ(run.err.rfind(src + ": " + kCannotOpenCp932 + ": ", 0), 0u) << run.err;
  ASSERT_TRUE(WriteFileBytes(dir_.File(long_name + ".jpg"), ""));
  RunResult exists = Run({src}, env);
  EXPECT_EQ(exists.exit_code, 0);
  EXPECT_EQ(exists.out, "dst: " + dir_.File(long_name + ".jpg") + "\n" + kRefusalCp932);
}

}  // namespace
