// SPDX-License-Identifier: GPL-3.0-or-later
// Properties of the command line and the destination naming on seeded random cases: the
// command line the driver rebuilds from argv parses back into exactly the arguments given,
// and the naming rules hold for any source, pattern and format.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/console_main.h"
#include "app/destination.h"
#include "platform/text_conv.h"
#include "settings/run_settings.h"
#include "testutil/capture.h"
#include "testutil/temp_dir.h"

namespace {

// Random path-like text: the bytes that matter to the rules (separators, dots, quotes,
// spaces, stars, dashes), multibyte characters and, now and then, any other byte.
class PathMaker {
 public:
  explicit PathMaker(std::uint32_t seed) : random_(seed) {}

  std::string Piece(std::size_t max_chars) {
    static const char* const kPieces[] = {"/",  ".",    ".", "a", "b",   "clip", " ",
                                          "\"", "\"\"", "*", "-", "\\",  "\t",   "表",
                                          "ソ", "é",    "%", ":", "jpg", "..",   "x.y"};
    std::string text;
    const std::size_t n = random_() % (max_chars + 1);
    for (std::size_t i = 0; i < n; ++i) {
      if (random_() % 8 == 0) {
        text += static_cast<char>(1 + random_() % 255);
      } else {
        text += kPieces[random_() % std::size(kPieces)];
      }
    }
    return text;
  }
  std::uint32_t Next() { return random_(); }

 private:
  std::mt19937 random_;
};

std::size_t DirectoryEnd(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? 0 : slash + 1;
}

TEST(NamingPropertyTest, DerivedNamesKeepTheDirectoryAndTakeTheFormatsExtension) {
  PathMaker maker(7001);
  const std::vector<std::pair<std::string, std::string>> formats = {
      {"image/jpeg", ".jpg"}, {"image/png", ".png"}, {"image/gif", ".gif"},
      {"image/bmp", ".jpg"},  {"image/PNG", ".jpg"}, {"", ".jpg"}};
  for (int round = 0; round < 4000; ++round) {
    const std::string src = maker.Piece(12);
    const auto& [format, extension] = formats[maker.Next() % formats.size()];
    const std::string name = DestinationName(src, "", format);
    SCOPED_TRACE("src [" + src + "] format " + format + " -> [" + name + "]");
    ASSERT_GE(name.size(), extension.size());
    EXPECT_EQ(name.substr(name.size() - extension.size()), extension);
    // The directory part stays as it was, byte for byte...
    const std::size_t dir = DirectoryEnd(src);
    EXPECT_EQ(name.substr(0, dir), src.substr(0, dir));
    // ...and so does the file name up to its last dot; the new extension is the only one
    // the rules see in the result.
    const std::size_t stem = FindExtension(src);
    EXPECT_EQ(name.substr(0, stem), src.substr(0, stem));
    EXPECT_EQ(name.size(), stem + extension.size());
    EXPECT_EQ(FindExtension(name), stem);
    EXPECT_EQ(DirectoryEnd(name), dir);
  }
}

TEST(NamingPropertyTest, PatternsFollowTheWholeSourceAndPlainNamesStayAsTyped) {
  PathMaker maker(7002);
  for (int round = 0; round < 4000; ++round) {
    const std::string src = maker.Piece(10);
    const std::string before = maker.Piece(4);
    const std::string after = maker.Piece(6);
    const std::string format = maker.Next() % 2 ? "image/png" : "image/jpeg";
    std::string pattern = before + "*" + after;
    const std::size_t star = pattern.find('*');
    const std::string name = DestinationName(src, pattern, format);
    SCOPED_TRACE("src [" + src + "] pattern [" + pattern + "] -> [" + name + "]");
    ASSERT_EQ(name.compare(0, src.size(), src), 0);
    // What follows the source is the pattern after its first star, further stars included.
    EXPECT_EQ(name.substr(src.size()), pattern.substr(star + 1));

    std::string plain = before + after;
    std::erase(plain, '*');
    if (plain.empty()) continue;
    EXPECT_EQ(DestinationName(src, plain, format), plain);
  }
}

TEST(NamingPropertyTest, ExistingDestinationsAreAlwaysRefused) {
  TempDir dir;
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  PathMaker maker(7003);
  int refused = 0;
  int accepted = 0;
  for (int round = 0; round < 600; ++round) {
    // Names within this directory only (no separators), so every entry is made here.
    std::string entry = maker.Piece(5);
    std::erase(entry, '/');
    if (entry.empty() || entry == "." || entry == "..") continue;
    const bool make_it = maker.Next() % 2 == 0;
    const int kind = static_cast<int>(maker.Next() % 4);
    if (make_it && !PathEntryExists(entry)) {
      bool made = false;
      if (kind == 0) made = WriteFileBytes(entry, "keep " + entry);
      if (kind == 1) made = mkdir(entry.c_str(), 0755) == 0;
      if (kind == 2) made = symlink("missing-target", entry.c_str()) == 0;
      if (kind == 3) made = symlink(".", entry.c_str()) == 0;
      ASSERT_TRUE(made) << "could not make [" << entry << "]";
    }
    const bool exists = PathEntryExists(entry);
    const bool regular = std::filesystem::is_regular_file(std::filesystem::symlink_status(entry));
    const std::string before = regular ? ReadFileBytes(entry) : "";

    RunSettings settings;
    settings.src = "source";
    // Reach the name by each of the three rules in turn.
    switch (round % 3) {
      case 0:
        settings.dst = entry;
        break;
      case 1:
        settings.src = entry;
        settings.dst = "*";
        break;
      default:
        settings.src = entry + ".avi";
        settings.dst = "";
        break;
    }
    settings.format = "image/jpeg";
    const std::string name = DestinationName(settings.src, settings.dst, settings.format);
    const bool name_exists = PathEntryExists(name);
    bool goes_on = true;
    CapturedOutput out = CaptureOutput([&] { goes_on = ResolveDestination(settings); });
    SCOPED_TRACE("name [" + name + "]");
    EXPECT_EQ(settings.dst, name);
    EXPECT_EQ(goes_on, !name_exists);
    if (name_exists) {
      ++refused;
      EXPECT_EQ(out.out, "dst: " + name + "\n" + ConsoleText("出力ファイルがすでに存在します。"));
    } else {
      ++accepted;
      EXPECT_EQ(out.out, "");
    }
    EXPECT_EQ(out.err, "");
    // The refusal touched nothing.
    EXPECT_EQ(PathEntryExists(entry), exists);
    if (!before.empty()) {
      EXPECT_EQ(ReadFileBytes(entry), before);
    }
  }
  std::filesystem::current_path(previous);
  // Both answers were really tried.
  EXPECT_GT(refused, 50);
  EXPECT_GT(accepted, 50);
}

TEST(CommandLinePropertyTest, ArgumentsComeBackThroughTheRebuiltCommandLine) {
  // The driver sees argv only as the line GetCommandLineA rebuilds; every argument must
  // reach the settings byte for byte: positional ones as src and dst, option values intact.
  TempDir dir;
  PathMaker maker(7004);
  for (int round = 0; round < 3000; ++round) {
    std::string src = maker.Piece(8);
    std::string dst = maker.Piece(8);
    // Positional arguments cannot begin with "-" and cannot be empty; and the destination
    // holds no star, which would make it a pattern.
    for (std::string* arg : {&src, &dst}) {
      std::erase(*arg, '*');
      if (arg->empty() || arg->front() == '-') arg->insert(0, "v");
    }
    // Under a directory of our own, where nothing of that name exists.
    dst = dir.File("v" + dst);
    const std::int32_t cols = static_cast<std::int32_t>(maker.Next() % 200) - 100;
    const std::string format = "image/" + maker.Piece(3);
    std::vector<std::string> args = {"/usr/bin/vgrid", "-c=" + std::to_string(cols), src,
                                     "-f:" + format, dst};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    RememberProcessArguments(static_cast<int>(argv.size()), argv.data());
    ASSERT_FALSE(CommandLineHasEmptyArgument());

    RunSettings settings;
    ParseOutcome outcome = ParseOutcome::kUsage;
    CapturedOutput out =
        CaptureOutput([&] { outcome = ParseCommandLine(GetCommandLineA(), settings); });
    SCOPED_TRACE("line [" + std::string(GetCommandLineA()) + "]");
    ASSERT_EQ(outcome, ParseOutcome::kRun) << out.out << out.err;
    EXPECT_EQ(settings.src, src);
    EXPECT_EQ(settings.dst, dst);
    EXPECT_EQ(settings.cols, cols);
    EXPECT_EQ(settings.format, format);
  }
}

}  // namespace
