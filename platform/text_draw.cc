// SPDX-License-Identifier: GPL-3.0-or-later
// Text on a canvas, through the text module: the strip of the canvas a line covers is copied
// out, drawn on by the module and copied back.
#include "platform/text_draw.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "platform/modules.h"
#include "platform/text_module.h"

namespace {

// The module's entry points, looked up once; all null when it cannot be loaded.
struct TextFunctions {
  TextModuleFontsFunction fonts = nullptr;
  TextModuleLayOutFunction lay_out = nullptr;
  TextModuleMeasureFunction measure = nullptr;
  TextModuleDrawFunction draw = nullptr;
  TextModuleFreeFunction free = nullptr;
};

const TextFunctions& Functions() {
  static const TextFunctions functions = [] {
    TextFunctions f;
    std::string why;
    void* fonts = ModuleSymbol(kTextModule, kTextFontsSymbol, &why);
    void* lay_out = ModuleSymbol(kTextModule, kTextLayOutSymbol, &why);
    void* measure = ModuleSymbol(kTextModule, kTextMeasureSymbol, &why);
    void* draw = ModuleSymbol(kTextModule, kTextDrawSymbol, &why);
    void* free = ModuleSymbol(kTextModule, kTextFreeSymbol, &why);
    if (fonts == nullptr || lay_out == nullptr || measure == nullptr || draw == nullptr ||
        free == nullptr)
      return f;
    f.fonts = reinterpret_cast<TextModuleFontsFunction>(fonts);
    f.lay_out = reinterpret_cast<TextModuleLayOutFunction>(lay_out);
    f.measure = reinterpret_cast<TextModuleMeasureFunction>(measure);
    f.draw = reinterpret_cast<TextModuleDrawFunction>(draw);
    f.free = reinterpret_cast<TextModuleFreeFunction>(free);
    return f;
  }();
  return functions;
}

// The smallest rectangle holding both; an empty one counts as nothing.
TextModuleRect Union(const TextModuleRect& a, const TextModuleRect& b) {
  if (a.width <= 0 || a.height <= 0) return b;
  if (b.width <= 0 || b.height <= 0) return a;
  const int x0 = std::min(a.x, b.x), y0 = std::min(a.y, b.y);
  const int x1 = std::max(a.x + a.width, b.x + b.width);
  const int y1 = std::max(a.y + a.height, b.y + b.height);
  return {x0, y0, x1 - x0, y1 - y0};
}

}  // namespace

bool TextFontsAvailable() {
  // Without the module (or its libraries) no text can be drawn, as without a font.
  static const bool available = Functions().fonts != nullptr && Functions().fonts() != 0;
  return available;
}

struct TextLine::Layout {
  TextModuleLine* line = nullptr;
  TextModuleExtents extents;
  ~Layout() {
    if (line != nullptr) Functions().free(line);
  }
};

TextLine::TextLine(std::string_view utf8, const TextStyle& style, int max_width)
    : layout_(std::make_unique<Layout>()) {
  const TextFunctions& f = Functions();
  if (f.lay_out == nullptr) throw std::bad_alloc();
  layout_->line = f.lay_out(utf8.data(), utf8.size(), style.pixels, style.bold ? 1 : 0, max_width);
  if (layout_->line == nullptr) throw std::bad_alloc();
  f.measure(layout_->line, &layout_->extents);
}

TextLine::~TextLine() = default;

int TextLine::width() const { return layout_->extents.logical.width; }

int TextLine::height() const { return layout_->extents.logical.height; }

bool TextLine::ellipsized() const { return layout_->extents.ellipsized != 0; }

int TextLine::unknown_glyphs() const { return layout_->extents.unknown_glyphs; }

GpStatus TextLine::Draw(GpBitmap* canvas, int x, int y, ARGB colour, ARGB box, int padding) const {
  std::uint32_t canvas_width = 0, canvas_height = 0;
  if (GpStatus s = GdipGetImageWidth(canvas, &canvas_width); s != Ok) return s;
  if (GpStatus s = GdipGetImageHeight(canvas, &canvas_height); s != Ok) return s;
  const bool boxed = (box >> 24) != 0;
  if (!boxed) padding = 0;
  // The strip: the box and the ink, which may reach beyond the box (a descender, an accent).
  TextModuleRect backdrop = layout_->extents.logical;
  backdrop.x += x - padding;
  backdrop.y += y - padding;
  backdrop.width += 2 * padding;
  backdrop.height += 2 * padding;
  TextModuleRect ink = layout_->extents.ink;
  ink.x += x;
  ink.y += y;
  const TextModuleRect area = Union(backdrop, ink);
  const int x0 = std::max(area.x, 0), y0 = std::max(area.y, 0);
  const int x1 = std::min<std::int64_t>(std::int64_t{area.x} + area.width, canvas_width);
  const int y1 = std::min<std::int64_t>(std::int64_t{area.y} + area.height, canvas_height);
  if (x0 >= x1 || y0 >= y1) return Ok;
  const GpRect strip = {x0, y0, x1 - x0, y1 - y0};

  std::vector<std::uint32_t> pixels;
  try {
    pixels.resize(static_cast<std::size_t>(strip.Width) * static_cast<std::size_t>(strip.Height));
  } catch (const std::bad_alloc&) {
    return OutOfMemory;
  }
  if (GpStatus s = GdipBitmapReadPixels(canvas, strip, pixels.data(), strip.Width); s != Ok)
    return s;
  backdrop.x -= strip.X;
  backdrop.y -= strip.Y;
  const int drawn = Functions().draw(layout_->line, pixels.data(), strip.Width, strip.Height,
                                     x - strip.X, y - strip.Y, colour, box, backdrop);
  if (drawn != 0) return drawn == 1 ? OutOfMemory : GenericError;
  return GdipBitmapWritePixels(canvas, strip, pixels.data(), strip.Width);
}
