// SPDX-License-Identifier: GPL-3.0-or-later
// Everything a run needs, filled from the command line once per process.
#pragma once

#include <cstdint>
#include <string>

struct RunSettings {
  std::uint32_t bgcolor = 0;  ///< 0xRRGGBB
  /// Cell size: 0 or more is pixels; -p means p percent of the video's own size.
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t cols = 0;
  std::int32_t rows = 0;
  std::string src;
  std::string dst;
  std::int32_t cellWidth = 0;   ///< pixels, computed by the sheet
  std::int32_t cellHeight = 0;  ///< pixels, computed by the sheet
  std::int32_t quality = 0;
  std::int32_t previewFlag = 0;
  std::string format;       ///< MIME type
  bool showTimes = false;   ///< -t: each cell's time drawn on its frame
  bool showHeader = false;  ///< -i: the movie's facts in a header above the grid
  bool skipDull = false;    ///< -s: a nearly uniform frame passed over for a livelier one
};

/// The process-wide settings.
RunSettings& TheRunSettings();
