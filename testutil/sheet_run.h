// SPDX-License-Identifier: GPL-3.0-or-later
// One sheet run for the sheet's tests: the settings they start from, a run with what it
// printed captured, and the pixel checks of the sheet it wrote.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sheet/sheet_generator.h"
#include "testutil/fake_media_det.h"
#include "testutil/image_read.h"

/// What a run printed and left behind.
struct SheetRun {
  HRESULT hr = S_OK;
  bool written = false;
  std::string out;
  std::string err;
};

/// A 3 x 4 PNG sheet of cells a tenth of the video's size, written to `dst`.
inline RunSettings SheetDefaults(const std::string& dst) {
  RunSettings s;
  s.width = -10;
  s.height = -10;
  s.cols = 3;
  s.rows = 4;
  s.quality = 85;
  s.format = "image/png";
  s.src = "movie.avi";
  s.dst = dst;
  return s;
}

/// Runs SheetGenerator, capturing standard output and standard error.
inline SheetRun RunSheet(RunSettings& settings, const MediaDetFactory& factory,
                         int grab_workers = 0) {
  SheetRun run;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  run.hr = SheetGenerator(settings, &run.written, factory, grab_workers);
  run.out = testing::internal::GetCapturedStdout();
  run.err = testing::internal::GetCapturedStderr();
  return run;
}

/// The same over a fake movie, with the detectors its grab workers choose.
inline SheetRun RunSheet(RunSettings& settings, const FakeMovie& movie, FakeLog* log) {
  return RunSheet(settings, FakeFactory(movie, log));
}

/// The sheet's colour adjustment on one 8-bit channel.
inline int Adjusted(int v) {
  double out = (1.15 * v / 255.0 - 0.075) * 255.0;
  return static_cast<int>(std::lround(std::clamp(out, 0.0, 255.0)));
}

inline std::uint32_t AdjustedRgb(std::uint32_t rgb) {
  return (static_cast<std::uint32_t>(Adjusted((rgb >> 16) & 0xFF)) << 16) |
         (static_cast<std::uint32_t>(Adjusted((rgb >> 8) & 0xFF)) << 8) |
         static_cast<std::uint32_t>(Adjusted(rgb & 0xFF));
}

/// 0xRRGGBB at (x, y) of a decoded sheet.
inline std::uint32_t Rgb(const DecodedImage& img, int x, int y) {
  const std::uint8_t* p = &img.rgba[(static_cast<size_t>(y) * img.width + x) * 4];
  return (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
}

/// Whether every channel of a and b differs by at most `tolerance`.
inline bool Near(std::uint32_t a, std::uint32_t b, int tolerance = 2) {
  for (int shift = 0; shift < 24; shift += 8) {
    int d = static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF);
    if (std::abs(d) > tolerance) return false;
  }
  return true;
}
