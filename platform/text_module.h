// SPDX-License-Identifier: GPL-3.0-or-later
// The entry points of the text module (platform/text_draw_module.cc): Pango, Cairo and
// fontconfig, and the forty-odd libraries they bring, are linked only into it, loaded when a
// run first draws text.
#pragma once

#include <cstddef>
#include <cstdint>

struct TextModuleLine;  // the module's own laid-out line

/// A rectangle in pixels.
struct TextModuleRect {
  int x = 0, y = 0, width = 0, height = 0;
};

/// What a laid-out line measures, relative to the top-left corner of its box.
struct TextModuleExtents {
  TextModuleRect ink;      ///< where its glyphs' ink falls
  TextModuleRect logical;  ///< its box: advance and line height
  int ellipsized = 0;      ///< whether it was cut to its width
  int unknown_glyphs = 0;  ///< characters no font has
};

extern "C" {
/// 1 when fontconfig finds a font for digits and Latin letters, else 0.
using TextModuleFontsFunction = int (*)();
/// Lays out `size` bytes of UTF-8 at `pixels` to the em (bold when `bold`), cut with an
/// ellipsis to `max_width` pixels when that is above 0; null when memory runs out.
using TextModuleLayOutFunction = TextModuleLine* (*)(const char* utf8, std::size_t size,
                                                     double pixels, int bold, int max_width);
using TextModuleMeasureFunction = void (*)(const TextModuleLine* line, TextModuleExtents* out);
/// Draws `line` on `strip` (width x height pixels 0xAARRGGBB, not premultiplied, rows of
/// `width`) with its box's top-left corner at (x, y) in `colour`, over `backdrop` filled with
/// `box` first when box's alpha is not 0. 0 when drawn, 1 when memory ran out, 2 otherwise.
using TextModuleDrawFunction = int (*)(const TextModuleLine* line, std::uint32_t* strip, int width,
                                       int height, int x, int y, std::uint32_t colour,
                                       std::uint32_t box, TextModuleRect backdrop);
using TextModuleFreeFunction = void (*)(TextModuleLine* line);
}

inline constexpr char kTextModule[] = "text_draw";
inline constexpr char kTextFontsSymbol[] = "VgridTextFonts";
inline constexpr char kTextLayOutSymbol[] = "VgridTextLayOut";
inline constexpr char kTextMeasureSymbol[] = "VgridTextMeasure";
inline constexpr char kTextDrawSymbol[] = "VgridTextDraw";
inline constexpr char kTextFreeSymbol[] = "VgridTextFree";
