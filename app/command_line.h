// SPDX-License-Identifier: GPL-3.0-or-later
// The command line: splitting it into tokens by the program's own quoting rules, the quoting
// that makes such a line from separate arguments, and reading the options into RunSettings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/run_settings.h"

/// Splits a whole command line, program name first, into its tokens:
/// - `""` writes one `"` and leaves the quoting as it is;
/// - a single `"` turns quoting on or off and writes nothing;
/// - a run of spaces outside quoting ends the token (tabs and backslashes are ordinary);
/// - the last token counts only if it holds a character, so trailing spaces add none.
/// Only the program name (token 0) can come out empty, when the line starts with a space.
std::vector<std::string> SplitCommandLine(std::string_view text);

/// Writes `arg` so that SplitCommandLine gives it back byte for byte as one token. An empty
/// argument has no such form; it comes out empty here and vanishes from the line.
std::string QuoteArgument(std::string_view arg);

/// The arguments quoted and joined by single spaces.
std::string JoinCommandLine(const std::vector<std::string>& args);

/// Reads a decimal number as atoi does (leading white space, an optional sign, digits up to
/// the first other character, 0 without digits), saturating at the 32-bit range.
std::int32_t ParseDecimal(std::string_view text);

/// Reads a hexadecimal number as sscanf's "%x" does (leading white space, an optional sign,
/// an optional 0x, hex digits); nothing when the text does not begin with one. Values beyond
/// 32 bits give 0xFFFFFFFF; a minus sign negates modulo 2^32, as "%x" does.
std::optional<std::uint32_t> ParseHex(std::string_view text);

/// Puts the defaults in force for a run: 3 x 4 cells of 10 percent of the video size, black,
/// JPEG at quality 85, no times, no header, no frame passed over. Leaves cellWidth and
/// cellHeight alone.
void SetDefaultSettings(RunSettings& settings);

/// Writes the usage text to standard output, in the conversion code page.
void PrintUsage();

/// How a parse ended.
enum class ParseOutcome {
  kRun,                ///< settings complete, `dst` final and free: the run goes on
  kUsage,              ///< the command line was refused and the usage text printed
  kDestinationExists,  ///< the destination exists; its message was printed
};

/// `ParseCommandLine`: resets `settings` to the defaults, splits `text`, reads the options
/// (a later one overrides an earlier one) and up to two positional arguments (`src`, `dst`).
/// An unrecognised option prints two perror lines; any refusal prints the usage text. Ends
/// with ResolveDestination.
ParseOutcome ParseCommandLine(std::string_view text, RunSettings& settings);
