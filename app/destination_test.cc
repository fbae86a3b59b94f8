// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/destination.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "gtest/gtest.h"
#include "platform/text_conv.h"
#include "testutil/capture.h"
#include "testutil/run_binary.h"
#include "testutil/temp_dir.h"

namespace {

// 表 and ソ in CP932, each with the trail byte 0x5C.
const std::string kHyou = "\x95\x5C";
const std::string kSo = "\x83\x5C";

std::string LongCp932Directory() {
  std::string dir = "/v";
  for (int i = 0; i < 70; ++i) dir += kSo;  // 140 bytes of double-byte characters
  return dir;
}

// Run in a child under a CP932 locale: prints the FindExtension results and the destination
// names of paths holding double-byte characters, one per line, and exits before any test.
const bool kProbed = [] {
  if (std::getenv("VGRID_DESTINATION_PROBE") == nullptr) return false;
  std::printf("%s\n", ConversionCodePage());
  const std::string paths[] = {
      "/v/clip." + kHyou,
      "/v/" + kHyou + ".d/clip",
      "/v/" + kSo + "." + kSo,
      LongCp932Directory() + "/clip.avi",
      LongCp932Directory() + ".x/" + kHyou,
  };
  for (const std::string& path : paths) {
    std::printf("%zu %s\n", FindExtension(path), DestinationName(path, "", "image/png").c_str());
  }
  std::fflush(stdout);
  std::_Exit(0);
}();

TEST(FindExtensionTest, LastDotOfTheLastComponent) {
  EXPECT_EQ(FindExtension("/v/clip.avi"), 7u);
  EXPECT_EQ(FindExtension("/v/a.b.avi"), 6u);
  EXPECT_EQ(FindExtension("/v/.avi"), 3u);
  EXPECT_EQ(FindExtension("/v.old/clip"), 11u);
  EXPECT_EQ(FindExtension("clip."), 4u);
  EXPECT_EQ(FindExtension("clip"), 4u);
  EXPECT_EQ(FindExtension(""), 0u);
  // A backslash is an ordinary character, not a separator.
  EXPECT_EQ(FindExtension("/v/a.b\\clip"), 4u);
}

TEST(DestinationNameTest, WorkedExamples) {
  struct Case {
    const char* src;
    const char* dst;
    const char* format;
    const char* expected;
  };
  const Case cases[] = {
      {"/v/clip.avi", "", "image/jpeg", "/v/clip.jpg"},
      {"/v/clip.avi", "", "image/png", "/v/clip.png"},
      {"/v/clip.avi", "", "image/bmp", "/v/clip.jpg"},
      {"/v/clip.avi", "", "image/PNG", "/v/clip.jpg"},
      {"/v/clip", "", "image/gif", "/v/clip.gif"},
      {"/v.old/clip", "", "image/jpeg", "/v.old/clip.jpg"},
      {"/v/a.b.avi", "", "image/jpeg", "/v/a.b.jpg"},
      {"/v/.avi", "", "image/jpeg", "/v/.jpg"},
      {"/v/clip.表", "", "image/jpeg", "/v/clip.jpg"},
      {"/v/表.d/clip", "", "image/jpeg", "/v/表.d/clip.jpg"},
      {"", "", "image/jpeg", ".jpg"},
      {"/v/clip.avi", "*.jpg", "image/png", "/v/clip.avi.jpg"},
      {"/v/clip.avi", "*_s.png", "image/jpeg", "/v/clip.avi_s.png"},
      {"/v/clip.avi", "thumb_*.jpg", "image/jpeg", "/v/clip.avi.jpg"},
      {"/v/clip.avi", "/out/*.jpg", "image/jpeg", "/v/clip.avi.jpg"},
      {"/v/clip.avi", "*", "image/jpeg", "/v/clip.avi"},
      {"/v/clip.avi", "*a*b", "image/jpeg", "/v/clip.avia*b"},
      {"clip.avi", "*.jpg", "image/jpeg", "clip.avi.jpg"},
      {"/v/clip.avi", "out.jpg", "image/png", "out.jpg"},
      {"/v/clip.avi", "out", "image/jpeg", "out"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DestinationName(c.src, c.dst, c.format), c.expected)
        << c.src << " | " << c.dst << " | " << c.format;
  }
  // Long names are kept whole.
  std::string long_src = "/" + std::string(300, 'd') + "/" + std::string(300, 'f') + ".avi";
  EXPECT_EQ(DestinationName(long_src, "", "image/gif"), long_src.substr(0, 602) + ".gif");
  EXPECT_EQ(DestinationName(long_src, "*" + std::string(300, 's'), ""),
            long_src + std::string(300, 's'));
}

TEST(ResolveDestinationTest, ExistingEntriesAreRefused) {
  TempDir dir;
  RunSettings settings;
  settings.format = "image/jpeg";
  auto resolve = [&](const std::string& src, const std::string& dst, bool* result) {
    settings.src = src;
    settings.dst = dst;
    return CaptureOutput([&] { *result = ResolveDestination(settings); }).out;
  };
  const std::string refusal = ConsoleText("出力ファイルがすでに存在します。");
  bool goes_on = false;

  EXPECT_EQ(resolve(dir.File("clip.avi"), "", &goes_on), "");
  EXPECT_TRUE(goes_on);
  EXPECT_EQ(settings.dst, dir.File("clip.jpg"));

  ASSERT_TRUE(WriteFileBytes(dir.File("clip.jpg"), "x"));
  EXPECT_EQ(resolve(dir.File("clip.avi"), "", &goes_on),
            "dst: " + dir.File("clip.jpg") + "\n" + refusal);
  EXPECT_FALSE(goes_on);

  // "*" alone names the source itself.
  ASSERT_TRUE(WriteFileBytes(dir.File("clip.avi"), "movie"));
  EXPECT_EQ(resolve(dir.File("clip.avi"), "*", &goes_on),
            "dst: " + dir.File("clip.avi") + "\n" + refusal);
  EXPECT_FALSE(goes_on);

  // A directory, and a symbolic link that points nowhere, are entries too.
  std::filesystem::create_directory(dir.File("out"));
  EXPECT_EQ(resolve(dir.File("clip.avi"), dir.File("out"), &goes_on),
            "dst: " + dir.File("out") + "\n" + refusal);
  EXPECT_FALSE(goes_on);
  ASSERT_EQ(symlink(dir.File("nowhere").c_str(), dir.File("link.jpg").c_str()), 0);
  EXPECT_EQ(resolve(dir.File("clip.avi"), dir.File("link.jpg"), &goes_on),
            "dst: " + dir.File("link.jpg") + "\n" + refusal);
  EXPECT_FALSE(goes_on);

  // A relative name counts from the current directory.
  std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  EXPECT_EQ(resolve("clip.avi", "*.x", &goes_on), "");
  EXPECT_TRUE(goes_on);
  EXPECT_EQ(resolve("clip.avi", "", &goes_on), "dst: clip.jpg\n" + refusal);
  EXPECT_FALSE(goes_on);
  std::filesystem::current_path(previous);
}

TEST(FindExtensionTest, DoubleByteCharactersUnderCp932) {
  TempDir dir;
  std::string why;
  RunOptions options;
  options.set_env = CompileLocale(dir.path(), "ja_JP", "WINDOWS-31J", "ja_JP.WINDOWS-31J", &why);
  if (options.set_env.empty()) GTEST_SKIP() << "no CP932 locale: " << why;
  options.set_env.push_back("VGRID_DESTINATION_PROBE=1");
  RunResult run = RunBinary("/proc/self/exe", {}, options);
  ASSERT_EQ(run.exit_code, 0) << run.start_error << run.err;
  const std::string long_dir = LongCp932Directory();
  const std::string expected =
      "WINDOWS-31J\n"
      "7 /v/clip.png\n"
      "12 /v/" +
      kHyou +
      ".d/clip.png\n"
      "5 /v/" +
      kSo + ".png\n" + std::to_string(long_dir.size() + 5) + " " + long_dir + "/clip.png\n" +
      std::to_string(long_dir.size() + 5) + " " + long_dir + ".x/" + kHyou + ".png\n";
  EXPECT_EQ(run.out, expected);
}

}  // namespace
