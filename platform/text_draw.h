// SPDX-License-Identifier: GPL-3.0-or-later
// Text on a canvas: single lines laid out with Pango in the sans-serif fonts that fontconfig
// finds (a character the first font lacks is taken from one that has it, so that a Japanese
// name gets Japanese glyphs), and drawn with Cairo on a strip of the canvas that is copied
// out, drawn on and copied back, over a translucent box when asked.
//
// Everything here is for one thread at a time: the fonts are loaded once per process and
// shared by every line.
#pragma once

#include <memory>
#include <string_view>

#include "platform/imaging.h"

/// Whether fontconfig finds a font that draws digits and Latin letters; without one no text
/// can be drawn. The first call loads fontconfig's configuration and list of fonts.
bool TextFontsAvailable();

/// How a line is set.
struct TextStyle {
  double pixels = 12;  ///< the size of the font's em, in pixels
  bool bold = false;
};

/// One line of UTF-8 text in the sans-serif font: bytes that are no UTF-8 show as U+FFFD and a
/// line break as a glyph of its own. With max_width > 0, a line wider than that many pixels is
/// cut to fit and ended with an ellipsis. Make lines only when TextFontsAvailable().
class TextLine {
 public:
  TextLine(std::string_view utf8, const TextStyle& style, int max_width = 0);
  ~TextLine();
  TextLine(const TextLine&) = delete;
  TextLine& operator=(const TextLine&) = delete;

  /// The line's box, in pixels: its advance from the first character to the end of the last,
  /// and the height of a line of its fonts (ascent and descent).
  int width() const;
  int height() const;
  /// Whether the line was cut to its max_width.
  bool ellipsized() const;
  /// Characters that no font has; each is drawn as a box holding its code.
  int unknown_glyphs() const;

  /// Draws the line in `colour` (0xAARRGGBB, blended over the canvas) with the top-left corner
  /// of its box at (x, y) of `canvas`, a canvas bitmap. With a `box` colour whose alpha is not
  /// 0, first fills the line's box, grown by `padding` pixels on every side, with that colour
  /// blended over the canvas. What falls outside the canvas is cut off.
  GpStatus Draw(GpBitmap* canvas, int x, int y, ARGB colour, ARGB box = 0, int padding = 0) const;

 private:
  struct Layout;
  std::unique_ptr<Layout> layout_;
};
