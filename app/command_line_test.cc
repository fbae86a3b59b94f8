// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/command_line.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "testutil/capture.h"
#include "testutil/temp_dir.h"

namespace {

using Tokens = std::vector<std::string>;

TEST(SplitCommandLineTest, QuotingAndSeparators) {
  EXPECT_EQ(SplitCommandLine("vgrid a b"), (Tokens{"vgrid", "a", "b"}));
  EXPECT_EQ(SplitCommandLine("vgrid \"my movie.avi\" out"),
            (Tokens{"vgrid", "my movie.avi", "out"}));
  // Quotes around part of a token vanish and keep the rest; "" writes one quote.
  EXPECT_EQ(SplitCommandLine("vgrid /v/\"my movie\".avi"), (Tokens{"vgrid", "/v/my movie.avi"}));
  EXPECT_EQ(SplitCommandLine("vgrid a\"\"b \"\"\"\""), (Tokens{"vgrid", "a\"b", "\"\""}));
  EXPECT_EQ(SplitCommandLine("vgrid \"a\"\" b\""), (Tokens{"vgrid", "a\" b"}));
  // Runs of spaces separate like one; trailing spaces add nothing; tabs and backslashes are
  // ordinary characters.
  EXPECT_EQ(SplitCommandLine("vgrid   a    b   "), (Tokens{"vgrid", "a", "b"}));
  EXPECT_EQ(SplitCommandLine("vgrid a\tb c\\ d\\\""), (Tokens{"vgrid", "a\tb", "c\\", "d\\"}));
  // An unterminated quote runs to the end; a lone quote at the end writes nothing.
  EXPECT_EQ(SplitCommandLine("vgrid \"a b"), (Tokens{"vgrid", "a b"}));
  EXPECT_EQ(SplitCommandLine("vgrid a \""), (Tokens{"vgrid", "a"}));
  // Only token 0 can be empty: a line that starts with a space.
  EXPECT_EQ(SplitCommandLine(" a"), (Tokens{"", "a"}));
  EXPECT_EQ(SplitCommandLine(""), Tokens{});
  EXPECT_EQ(SplitCommandLine("vgrid"), Tokens{"vgrid"});
}

TEST(SplitCommandLineTest, QuotedArgumentsComeBackByteForByte) {
  // Bytes that matter to the quoting turn up often; the rest covers every other byte but NUL.
  std::mt19937 random(20240601);
  const std::string special = " \"\t\\*-";
  auto random_byte = [&]() -> char {
    if (random() % 2 == 0) return special[random() % special.size()];
    return static_cast<char>(1 + random() % 255);
  };
  for (int round = 0; round < 3000; ++round) {
    Tokens args;
    std::size_t count = 1 + random() % 6;
    for (std::size_t i = 0; i < count; ++i) {
      // The program name may be empty; other arguments cannot be.
      std::size_t length = (i == 0 ? 0 : 1) + random() % 10;
      std::string arg;
      for (std::size_t j = 0; j < length; ++j) arg += random_byte();
      args.push_back(arg);
    }
    std::string line = JoinCommandLine(args);
    if (args.size() == 1 && args[0].empty()) {
      EXPECT_EQ(SplitCommandLine(line), Tokens{});
      continue;
    }
    ASSERT_EQ(SplitCommandLine(line), args) << "line: [" << line << "]";
  }
  EXPECT_EQ(QuoteArgument("plain"), "plain");
  EXPECT_EQ(SplitCommandLine(JoinCommandLine({"v", "\" \"", " ", "\"\"\" "})),
            (Tokens{"v", "\" \"", " ", "\"\"\" "}));
}

TEST(NumberParsingTest, DecimalMatchesStrtolAndSaturates) {
  EXPECT_EQ(ParseDecimal("4x"), 4);
  EXPECT_EQ(ParseDecimal(" \t-12"), -12);
  EXPECT_EQ(ParseDecimal("+7"), 7);
  EXPECT_EQ(ParseDecimal("x4"), 0);
  EXPECT_EQ(ParseDecimal(""), 0);
  EXPECT_EQ(ParseDecimal("2147483647"), INT_MAX);
  EXPECT_EQ(ParseDecimal("2147483648"), INT_MAX);
  EXPECT_EQ(ParseDecimal("-2147483648"), INT_MIN);
  EXPECT_EQ(ParseDecimal("-99999999999999999999999999"), INT_MIN);
  // On any text, the result is strtol's, brought into the 32-bit range.
  std::mt19937 random(7);
  const std::string alphabet = "0123456789999 \t+-x%";
  for (int round = 0; round < 5000; ++round) {
    std::string text;
    for (std::size_t i = random() % 25; i > 0; --i) text += alphabet[random() % alphabet.size()];
    long long reference = std::strtoll(text.c_str(), nullptr, 10);
    reference = std::clamp<long long>(reference, INT_MIN, INT_MAX);
    ASSERT_EQ(ParseDecimal(text), reference) << "[" << text << "]";
  }
}

TEST(NumberParsingTest, HexReadsLikeScanfAndSaturates) {
  EXPECT_EQ(ParseHex("ff"), 0xFFu);
  EXPECT_EQ(ParseHex("0xff"), 0xFFu);
  EXPECT_EQ(ParseHex(" 0XfF0000"), 0xFF0000u);
  EXPECT_EQ(ParseHex("12zz"), 0x12u);
  EXPECT_EQ(ParseHex("0x"), 0u);
  EXPECT_EQ(ParseHex("-1"), 0xFFFFFFFFu);
  EXPECT_EQ(ParseHex("FFFFFFFF"), 0xFFFFFFFFu);
  EXPECT_EQ(ParseHex("123456789"), 0xFFFFFFFFu);
  EXPECT_EQ(ParseHex("#ff"), std::nullopt);
  EXPECT_EQ(ParseHex(""), std::nullopt);
  EXPECT_EQ(ParseHex("-"), std::nullopt);
  std::mt19937 random(11);
  const std::string alphabet = "0123456789abcdefABCDEFxX0 g";
  for (int round = 0; round < 5000; ++round) {
    std::string text;
    for (std::size_t i = random() % 14; i > 0; --i) text += alphabet[random() % alphabet.size()];
    char* end = nullptr;
    unsigned long long reference = std::strtoull(text.c_str(), &end, 16);
    std::optional<std::uint32_t> parsed = ParseHex(text);
    if (end == text.c_str()) {
      ASSERT_EQ(parsed, std::nullopt) << "[" << text << "]";
    } else {
      ASSERT_EQ(parsed, std::min<unsigned long long>(reference, 0xFFFFFFFFu)) << "[" << text << "]";
    }
  }
}

// Parses with the source inside a fresh directory, so no destination exists.
class ParseTest : public ::testing::Test {
 protected:
  ParseOutcome Parse(const std::string& options) {
    captured_ = CaptureOutput([&] {
      outcome_ = ParseCommandLine("vgrid " + options + " " + dir_.File("clip.avi"), settings_);
    });
    return outcome_;
  }
  TempDir dir_;
  RunSettings settings_;
  ParseOutcome outcome_ = ParseOutcome::kUsage;
  CapturedOutput captured_;
};

TEST_F(ParseTest, DefaultsAreSetOnEveryCall) {
  settings_.cellWidth = 77;
  // The flags read no value: whatever follows the letter is ignored.
  Parse("-c=9 -r=9 -w=9 -h=9 -q=9 -b=9 -d -f:p -t -i=no -s:0");
  EXPECT_TRUE(settings_.showTimes && settings_.showHeader && settings_.skipDull);
  ASSERT_EQ(Parse(""), ParseOutcome::kRun);
  EXPECT_EQ(settings_.cols, 3);
  EXPECT_EQ(settings_.rows, 4);
  EXPECT_EQ(settings_.width, -10);
  EXPECT_EQ(settings_.height, -10);
  EXPECT_EQ(settings_.quality, 85);
  EXPECT_EQ(settings_.bgcolor, 0u);
  EXPECT_EQ(settings_.previewFlag, 0);
  EXPECT_EQ(settings_.format, "image/jpeg");
  EXPECT_FALSE(settings_.showTimes || settings_.showHeader || settings_.skipDull);
  EXPECT_EQ(settings_.src, dir_.File("clip.avi"));
  EXPECT_EQ(settings_.dst, dir_.File("clip.jpg"));
  EXPECT_EQ(settings_.cellWidth, 77);  // the sheet's, not the parser's
  EXPECT_EQ(captured_.out, "");
  EXPECT_EQ(captured_.err, "");
}

TEST_F(ParseTest, OptionValuesStartAtTheFourthCharacter) {
  Parse("-c4");
  EXPECT_EQ(settings_.cols, 0);
  Parse("-c=4x -r:7");
  EXPECT_EQ(settings_.cols, 4);
  EXPECT_EQ(settings_.rows, 7);
  Parse("-cols=4");
  EXPECT_EQ(settings_.cols, 0);
  Parse("-c=2 -c=5 -q=100");
  EXPECT_EQ(settings_.cols, 5);
  EXPECT_EQ(settings_.quality, 100);
  // A bare option has an empty value.
  Parse("-c -q -w");
  EXPECT_EQ(settings_.cols, 0);
  EXPECT_EQ(settings_.quality, 0);
  EXPECT_EQ(settings_.width, 0);
  EXPECT_EQ(outcome_, ParseOutcome::kRun);
}

TEST_F(ParseTest, CellSizesAndPercentages) {
  Parse("-w=50% -h=240");
  EXPECT_EQ(settings_.width, -50);
  EXPECT_EQ(settings_.height, 240);
  Parse("-w=%50 -h=-50%");
  EXPECT_EQ(settings_.width, 0);
  EXPECT_EQ(settings_.height, 50);
  Parse("-w=5%0 -h=-50");
  EXPECT_EQ(settings_.width, -5);
  EXPECT_EQ(settings_.height, -50);
  // Beyond 32 bits, and the negation of the smallest value, saturate.
  Parse("-w=99999999999 -h=-99999999999%");
  EXPECT_EQ(settings_.width, INT_MAX);
  EXPECT_EQ(settings_.height, INT_MAX);
  Parse("-w=-2147483648% -h=2147483648%");
  EXPECT_EQ(settings_.width, INT_MAX);
  EXPECT_EQ(settings_.height, -INT_MAX);
  Parse("-c=-99999999999 -r=4294967297 -q=-2147483649");
  EXPECT_EQ(settings_.cols, INT_MIN);
  EXPECT_EQ(settings_.rows, INT_MAX);
  EXPECT_EQ(settings_.quality, INT_MIN);
}

TEST_F(ParseTest, BackgroundColour) {
  Parse("-b=ff");
  EXPECT_EQ(settings_.bgcolor, 0xFFu);
  Parse("-b:0xff");
  EXPECT_EQ(settings_.bgcolor, 0xFFu);
  Parse("-b=12 -b=#ff");
  EXPECT_EQ(settings_.bgcolor, 0x12u);
  Parse("-b=12 -b");
  EXPECT_EQ(settings_.bgcolor, 0x12u);
  Parse("-b=1ffffffff");
  EXPECT_EQ(settings_.bgcolor, 0xFFFFFFFFu);
}

TEST_F(ParseTest, FormatByFirstCharacter) {
  const std::pair<const char*, const char*> cases[] = {
      {"-f:PNG", "image/png"},
      {"-f:p", "image/png"},
      {"-f:png", "image/png"},
      {"-f:Gif", "image/gif"},
      {"-f:g", "image/gif"},
      {"-f:j", "image/jpeg"},
      {"-f:JPEG", "image/jpeg"},
      {"-f:image/png", "image/png"},
      {"-f=image/bmp", "image/bmp"},
      {"-f:webp", "webp"},
      {"-f", ""},
  };
  for (const auto& [option, format] : cases) {
    Parse(option);
    EXPECT_EQ(settings_.format, format) << option;
  }
  Parse("-f:image/bmp");
  EXPECT_EQ(settings_.dst, dir_.File("clip.jpg"));
  Parse("-f:g -d");
  EXPECT_EQ(settings_.dst, dir_.File("clip.gif"));
  EXPECT_EQ(settings_.previewFlag, 1);
}

TEST_F(ParseTest, RefusedCommandLinesPrintTheUsage) {
  std::string usage = CaptureOutput(PrintUsage).out;
  ASSERT_EQ(usage.substr(0, 6), "vgrid ");
  // Unrecognised options: two perror lines each, then the usage text. The reading goes on.
  for (const char* option : {"-C=2", "-", "-x=1", "-1", "-T", "-I=1", "-S"}) {
    EXPECT_EQ(Parse(std::string("-c=6 ") + option + " -r=8"), ParseOutcome::kUsage) << option;
    EXPECT_EQ(captured_.out, usage);
    EXPECT_EQ(settings_.rows, 8);
    std::string first = std::string(option) + ": ";
    std::string second = " : 未対応のコマンドラインオプション: ";
    ASSERT_EQ(captured_.err.substr(0, first.size()), first);
    std::size_t line_end = captured_.err.find('\n');
    std::string message = captured_.err.substr(first.size(), line_end + 1 - first.size());
    EXPECT_EQ(captured_.err, first + message + second + message);
  }
  // A third positional argument: the usage alone.
  EXPECT_EQ(Parse("a b"), ParseOutcome::kUsage);
  EXPECT_EQ(captured_.out, usage);
  EXPECT_EQ(captured_.err, "");
  EXPECT_EQ(settings_.src, "a");
  EXPECT_EQ(settings_.dst, "b");
  // The program name alone.
  captured_ = CaptureOutput([&] { outcome_ = ParseCommandLine("vgrid   ", settings_); });
  EXPECT_EQ(outcome_, ParseOutcome::kUsage);
  EXPECT_EQ(captured_.out, usage);
  EXPECT_EQ(captured_.err, "");
}

TEST(ParseCommandLineTest, OptionsWithoutSourceGoOnWithAnEmptySource) {
  TempDir dir;
  RunSettings settings;
  std::string line = "vgrid -c=2 \"" + dir.path() + "/my clip.avi\" \"*_s.png\"";
  ASSERT_EQ(ParseCommandLine(line, settings), ParseOutcome::kRun);
  EXPECT_EQ(settings.src, dir.path() + "/my clip.avi");
  EXPECT_EQ(settings.dst, dir.path() + "/my clip.avi_s.png");
  EXPECT_EQ(settings.format, "image/jpeg");
  // Options alone pass the check; the destination is then ".jpg" in the current directory.
  ASSERT_FALSE(PathEntryExists(".jpg"));
  ASSERT_EQ(ParseCommandLine("vgrid -c=2", settings), ParseOutcome::kRun);
  EXPECT_EQ(settings.src, "");
  EXPECT_EQ(settings.dst, ".jpg");
}

}  // namespace
