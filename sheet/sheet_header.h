// SPDX-License-Identifier: GPL-3.0-or-later
// The header above a sheet's grid: the movie's file name and what the file says about itself
// (size, duration, bit rate, its video and its audio), set as large as the sheet's width
// allows, in black or in white, whichever stands out more from the background.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "frames/media_det.h"
#include "platform/imaging.h"
#include "platform/text_draw.h"

/// The header's words, in UTF-8.
struct HeaderText {
  std::string name;                ///< the file name without its folder
  std::string duration;            ///< as TimeText writes it
  std::vector<std::string> facts;  ///< a line each: the file, the video, the audio if any
};

/// The words of the header of the movie `src` (its path, in the locale's encoding) with
/// `facts`, `length` seconds long (the length its cells are sampled over) and shown at
/// display_width x display_height. Facts the file does not state are left out.
HeaderText DescribeMovie(const std::string& src, const MovieFacts& facts, double length,
                         std::int32_t display_width, std::int32_t display_height);

/// The smallest text a header is set in, in pixels: anything smaller is hard to read.
inline constexpr int kMinHeaderPixels = 10;

/// A line of the header and where its box's top-left corner goes.
struct HeaderLine {
  std::unique_ptr<TextLine> line;
  int x = 0;
  int y = 0;
};

/// A header laid out for one sheet.
struct SheetHeader {
  std::int32_t height = 0;  ///< rows above the grid; 0: no header
  ARGB colour = 0;          ///< of every line
  std::vector<HeaderLine> lines;
};

/// Lays out `text` across a sheet `width` pixels wide (at most kMaxCanvasSide) on the
/// background `bgcolor` (0xRRGGBB): the name in bold on a line of its own, cut with an
/// ellipsis when it is too long, then a line for each fact, at the largest size from
/// kMinHeaderPixels up to one that goes with the width at which every fact fits. A sheet too
/// narrow for that gets the name and the duration on one line at kMinHeaderPixels, and one
/// too narrow to leave the name two ems beside the duration, none. Needs
/// TextFontsAvailable().
SheetHeader LayOutHeader(const HeaderText& text, std::int64_t width, std::uint32_t bgcolor);

/// Draws `header` on the rows it takes at the top of `canvas`, which hold the background
/// colour. A line there is no memory to draw is left out.
void DrawHeader(GpBitmap* canvas, const SheetHeader& header);
