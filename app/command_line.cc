// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/command_line.h"

#include <cerrno>
#include <cstdio>
#include <limits>

#include "app/destination.h"
#include "platform/text_conv.h"

namespace {

constexpr char kUsageText[] =
    "vgrid [-c=cols] [-r=rows] [-w=width] [-h=height] [-f:format] [-q:quality] [-b:bgcolor] "
    "[src] [dst]\r\n"
    " cols : カラム数(default:1)\r\n"
    " rows : 行数(default:1)\r\n"
    " width : 画像の幅。\"320\" 320ピクセル。\"50%\"元画像の幅の50% (default:25%)\r\n"
    " height: 画像の高さ。\"240\" 240ピクセル。\"50%\"元画像の高さの50% (default:25%)\r\n"
    " height: 画像の高さ。\"240\" 240ピクセル。\"50%\"元画像の高さの50% (default:25%)\r\n"
    " quality: JPEG保存の品質。1-100で指定 (default:85)\r\n"
    " bgcolor: 背景色。16進数4桁で指定 (default:000000)\r\n"
    " format: \"p\" png / \"j\" jpeg / \"g\" gif\r\n"
    " src : 入力ファイル名\r\n"
    " dst : 出力ファイル名。省略した場合は拡張子を.jpgにしたもの\r\n"
    "       \"*\" から始めると \"src\"+\"dst\" がファイル名になる\r\n"
    " ※出力先ファイルが存在する場合は処理しません\r\n";

constexpr char kUnknownOption[] = " : 未対応のコマンドラインオプション";

// White space as atoi and sscanf skip it in the C locale.
bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::int32_t Saturate(std::int64_t value) {
  if (value > std::numeric_limits<std::int32_t>::max())
    return std::numeric_limits<std::int32_t>::max();
  if (value < std::numeric_limits<std::int32_t>::min())
    return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(value);
}

// A cell size: the number, negated when a "%" stands anywhere in the value, since a negative
// size means a percentage. Done in 64 bits so that negating the 32-bit minimum saturates.
std::int32_t ParseCellSpec(std::string_view value) {
  std::int64_t number = ParseDecimal(value);
  if (value.find('%') != std::string_view::npos) number = -number;
  return Saturate(number);
}

void ReadFormat(std::string_view value, RunSettings& settings) {
  settings.format = std::string(value);
  if (value.empty()) return;
  switch (value.front()) {
    case 'G':
    case 'g':
      settings.format = "image/gif";
      break;
    case 'P':
    case 'p':
      settings.format = "image/png";
      break;
    case 'J':
    case 'j':
      // The usage text offers "j" for JPEG; as typed it would name no encoder.
      settings.format = "image/jpeg";
      break;
    default:
      break;
  }
}

// Reads one option token; false when its letter is not one of ours.
bool ReadOption(const std::string& token, RunSettings& settings) {
  char letter = token.size() > 1 ? token[1] : '\0';
  // The value starts at the fourth character whatever the third is; a shorter token has an
  // empty value.
  std::string_view value = token.size() > 3 ? std::string_view(token).substr(3) : "";
  switch (letter) {
    case 'b':
      if (std::optional<std::uint32_t> colour = ParseHex(value)) settings.bgcolor = *colour;
      return true;
    case 'c':
      settings.cols = ParseDecimal(value);
      return true;
    case 'd':
      settings.previewFlag = 1;
      return true;
    case 'f':
      ReadFormat(value, settings);
      return true;
    case 'h':
      settings.height = ParseCellSpec(value);
      return true;
    case 'i':
      settings.showHeader = true;
      return true;
    case 'q':
      settings.quality = ParseDecimal(value);
      return true;
    case 'r':
      settings.rows = ParseDecimal(value);
      return true;
    case 's':
      settings.skipDull = true;
      return true;
    case 't':
      settings.showTimes = true;
      return true;
    case 'w':
      settings.width = ParseCellSpec(value);
      return true;
    default:
      return false;
  }
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view text) {
  std::vector<std::string> tokens;
  std::string token;
  bool quoting = false;
  std::size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
      token += '"';
      i += 2;
    } else if (c == '"') {
      quoting = !quoting;
      ++i;
    } else if (c == ' ' && !quoting) {
      tokens.push_back(std::move(token));
      token.clear();
      while (i < text.size() && text[i] == ' ') ++i;
    } else {
      token += c;
      ++i;
    }
  }
  if (!token.empty()) tokens.push_back(std::move(token));
  return tokens;
}

std::string QuoteArgument(std::string_view arg) {
  // A `"` is always written doubled, which reads back as one whatever the quoting. A space
  // needs quoting on; it is turned on before the first space and off at the end. A single
  // toggle next to a doubled quote may be read in another order, but toggles write nothing
  // and pairs change no state, so what comes back is the same.
  std::string quoted;
  bool quoting = false;
  for (char c : arg) {
    if (c == '"') {
      quoted += "\"\"";
    } else if (c == ' ') {
      if (!quoting) quoted += '"';
      quoting = true;
      quoted += ' ';
    } else {
      quoted += c;
    }
  }
  if (quoting) quoted += '"';
  return quoted;
}

std::string JoinCommandLine(const std::vector<std::string>& args) {
  std::string line;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i > 0) line += ' ';
    line += QuoteArgument(args[i]);
  }
  return line;
}

std::int32_t ParseDecimal(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // 2^32 already lies beyond either end of the range; stop growing there.
  constexpr std::int64_t kCap = std::int64_t{1} << 32;
  std::int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > kCap) magnitude = kCap;
  }
  return Saturate(negative ? -magnitude : magnitude);
}

std::optional<std::uint32_t> ParseHex(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  bool any_digit = false;
  if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    // "0x" counts as the number 0 even when no hex digit follows, as with sscanf.
    any_digit = true;
    i += 2;
  }
  constexpr std::uint64_t kMax = 0xFFFFFFFFu;
  std::uint64_t magnitude = 0;
  bool overflow = false;
  for (int digit; i < text.size() && (digit = HexDigit(text[i])) >= 0; ++i) {
    any_digit = true;
    magnitude = magnitude * 16 + static_cast<std::uint64_t>(digit);
    if (magnitude > kMax) {
      overflow = true;
      magnitude = kMax;
    }
  }
  if (!any_digit) return std::nullopt;
  if (overflow) return static_cast<std::uint32_t>(kMax);
  std::uint32_t value = static_cast<std::uint32_t>(magnitude);
  return negative ? static_cast<std::uint32_t>(0u - value) : value;
}

void SetDefaultSettings(RunSettings& settings) {
  settings.bgcolor = 0;
  settings.width = -10;
  settings.height = -10;
  settings.cols = 3;
  settings.rows = 4;
  settings.src.clear();
  settings.dst.clear();
  settings.quality = 85;
  settings.previewFlag = 0;
  settings.format = "image/jpeg";
  settings.showTimes = false;
  settings.showHeader = false;
  settings.skipDull = false;
}

void PrintUsage() {
  std::string text = ConsoleText(kUsageText);
  std::fwrite(text.data(), 1, text.size(), stdout);
}

ParseOutcome ParseCommandLine(std::string_view text, RunSettings& settings) {
  SetDefaultSettings(settings);
  std::vector<std::string> argv = SplitCommandLine(text);
  bool error = false;
  for (std::size_t i = 1; i < argv.size(); ++i) {
    const std::string& token = argv[i];
    if (token.empty() || token.front() != '-') {
      if (settings.src.empty()) {
        settings.src = token;
      } else if (settings.dst.empty()) {
        settings.dst = token;
      } else {
        error = true;
      }
    } else if (!ReadOption(token, settings)) {
      error = true;
      // Both lines report the same error number: perror itself may change errno on the
      // way (glibc's may, when standard error is not readable). The number is that of what
      // went wrong, an argument not understood; whatever errno held before (nothing, on a
      // clean start, which read as "Success") has no part in it.
      int error_number = EINVAL;
      errno = error_number;
      std::string second = ConsoleText(kUnknownOption);
      std::perror(token.c_str());
      errno = error_number;
      std::perror(second.c_str());
    }
  }
  if (argv.size() < 2 || error) {
    PrintUsage();
    return ParseOutcome::kUsage;
  }
  return ResolveDestination(settings) ? ParseOutcome::kRun : ParseOutcome::kDestinationExists;
}
