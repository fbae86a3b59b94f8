// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/text_draw.h"

#include <cairo.h>
#include <fontconfig/fontconfig.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

namespace {

struct GObjectUnref {
  void operator()(void* p) const { g_object_unref(p); }
};
struct GFree {
  void operator()(char* p) const { g_free(p); }
};
struct FontDescriptionFree {
  void operator()(PangoFontDescription* p) const { pango_font_description_free(p); }
};
struct SurfaceDestroy {
  void operator()(cairo_surface_t* p) const { cairo_surface_destroy(p); }
};
struct CairoDestroy {
  void operator()(cairo_t* p) const { cairo_destroy(p); }
};
struct CharSetDestroy {
  void operator()(FcCharSet* p) const { FcCharSetDestroy(p); }
};
struct PatternDestroy {
  void operator()(FcPattern* p) const { FcPatternDestroy(p); }
};
struct ObjectSetDestroy {
  void operator()(FcObjectSet* p) const { FcObjectSetDestroy(p); }
};
struct FontSetDestroy {
  void operator()(FcFontSet* p) const { FcFontSetDestroy(p); }
};

// The context every line is laid out in, made once: the font map holds the fonts loaded so
// far, so that the second line costs no loading. Glyphs are grey-scale antialiased and placed
// on whole pixels, so that a line drawn at another whole-pixel position is the same pixels.
PangoContext* SharedContext() {
  static PangoContext* const context = [] {
    std::unique_ptr<PangoFontMap, GObjectUnref> font_map(pango_cairo_font_map_new());
    PangoContext* made = pango_font_map_create_context(font_map.get());
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_SLIGHT);
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_ON);
    pango_cairo_context_set_font_options(made, options);
    cairo_font_options_destroy(options);
    pango_context_set_round_glyph_positions(made, TRUE);
    return made;
  }();
  return context;
}

// Cairo's pixels are premultiplied by their alpha, the canvas's are not; on an opaque pixel,
// which is what a sheet holds, both are the same.
std::uint32_t Premultiply(std::uint32_t p) {
  const std::uint32_t a = p >> 24;
  if (a == 255) return p;
  std::uint32_t out = a << 24;
  for (int shift = 0; shift <= 16; shift += 8)
    out |= (((p >> shift) & 0xFF) * a + 127) / 255 << shift;
  return out;
}

std::uint32_t Unpremultiply(std::uint32_t p) {
  const std::uint32_t a = p >> 24;
  if (a == 255) return p;
  if (a == 0) return 0;
  std::uint32_t out = a << 24;
  for (int shift = 0; shift <= 16; shift += 8)
    out |= std::min<std::uint32_t>(255, (((p >> shift) & 0xFF) * 255 + a / 2) / a) << shift;
  return out;
}

void SetSource(cairo_t* cr, ARGB colour) {
  cairo_set_source_rgba(cr, ((colour >> 16) & 0xFF) / 255.0, ((colour >> 8) & 0xFF) / 255.0,
                        (colour & 0xFF) / 255.0, (colour >> 24) / 255.0);
}

// The smallest rectangle holding both; an empty one counts as nothing.
PangoRectangle Union(const PangoRectangle& a, const PangoRectangle& b) {
  if (a.width <= 0 || a.height <= 0) return b;
  if (b.width <= 0 || b.height <= 0) return a;
  const int x0 = std::min(a.x, b.x), y0 = std::min(a.y, b.y);
  const int x1 = std::max(a.x + a.width, b.x + b.width);
  const int y1 = std::max(a.y + a.height, b.y + b.height);
  return {x0, y0, x1 - x0, y1 - y0};
}

}  // namespace

bool TextFontsAvailable() {
  static const bool available = [] {
    if (!FcInit()) return false;
    std::unique_ptr<FcCharSet, CharSetDestroy> needed(FcCharSetCreate());
    std::unique_ptr<FcPattern, PatternDestroy> pattern(FcPatternCreate());
    std::unique_ptr<FcObjectSet, ObjectSetDestroy> objects(FcObjectSetBuild(FC_FILE, nullptr));
    if (!needed || !pattern || !objects) return false;
    for (const char* c = "0123456789:.,ABCMXYZabcmxyz"; *c != '\0'; ++c)
      FcCharSetAddChar(needed.get(), static_cast<FcChar32>(*c));
    // A listed font matches a character set when its own holds all of it.
    FcPatternAddCharSet(pattern.get(), FC_CHARSET, needed.get());
    std::unique_ptr<FcFontSet, FontSetDestroy> fonts(
        FcFontList(nullptr, pattern.get(), objects.get()));
    return fonts != nullptr && fonts->nfont > 0;
  }();
  return available;
}

struct TextLine::Layout {
  std::unique_ptr<PangoLayout, GObjectUnref> layout;
  PangoRectangle ink = {};
  PangoRectangle logical = {};
};

TextLine::TextLine(std::string_view utf8, const TextStyle& style, int max_width)
    : layout_(std::make_unique<Layout>()) {
  layout_->layout.reset(pango_layout_new(SharedContext()));
  if (!layout_->layout) throw std::bad_alloc();
  PangoLayout* layout = layout_->layout.get();
  std::unique_ptr<PangoFontDescription, FontDescriptionFree> font(pango_font_description_new());
  pango_font_description_set_family_static(font.get(), "sans-serif");
  pango_font_description_set_weight(font.get(),
                                    style.bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
  pango_font_description_set_absolute_size(font.get(), style.pixels * PANGO_SCALE);
  pango_layout_set_font_description(layout, font.get());
  // Pango takes only valid UTF-8, and would warn on the console about anything else.
  std::unique_ptr<char, GFree> valid(
      g_utf8_make_valid(utf8.data(), static_cast<gssize>(utf8.size())));
  pango_layout_set_single_paragraph_mode(layout, TRUE);
  pango_layout_set_text(layout, valid.get(), -1);
  if (max_width > 0) {
    // Pango counts in 1/1024 of a pixel in an int; no line is ever that wide.
    pango_layout_set_width(layout, std::min(max_width, 1 << 20) * PANGO_SCALE);
    pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_END);
  }
  pango_layout_get_pixel_extents(layout, &layout_->ink, &layout_->logical);
}

TextLine::~TextLine() = default;

int TextLine::width() const { return layout_->logical.width; }

int TextLine::height() const { return layout_->logical.height; }

bool TextLine::ellipsized() const { return pango_layout_is_ellipsized(layout_->layout.get()); }

int TextLine::unknown_glyphs() const {
  return pango_layout_get_unknown_glyphs_count(layout_->layout.get());
}

GpStatus TextLine::Draw(GpBitmap* canvas, int x, int y, ARGB colour, ARGB box, int padding) const {
  std::uint32_t canvas_width = 0, canvas_height = 0;
  if (GpStatus s = GdipGetImageWidth(canvas, &canvas_width); s != Ok) return s;
  if (GpStatus s = GdipGetImageHeight(canvas, &canvas_height); s != Ok) return s;
  const bool boxed = (box >> 24) != 0;
  if (!boxed) padding = 0;
  // The strip: the box and the ink, which may reach beyond the box (a descender, an accent).
  PangoRectangle backdrop = layout_->logical;
  backdrop.x += x - padding;
  backdrop.y += y - padding;
  backdrop.width += 2 * padding;
  backdrop.height += 2 * padding;
  PangoRectangle ink = layout_->ink;
  ink.x += x;
  ink.y += y;
  const PangoRectangle area = Union(backdrop, ink);
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
  std::transform(pixels.begin(), pixels.end(), pixels.begin(), Premultiply);
  {
    // Cairo's ARGB32 pixels are 32-bit words 0xAARRGGBB in native byte order, as the canvas's.
    std::unique_ptr<cairo_surface_t, SurfaceDestroy> surface(cairo_image_surface_create_for_data(
        reinterpret_cast<unsigned char*>(pixels.data()), CAIRO_FORMAT_ARGB32, strip.Width,
        strip.Height, strip.Width * 4));
    std::unique_ptr<cairo_t, CairoDestroy> cr(cairo_create(surface.get()));
    if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) return OutOfMemory;
    if (boxed) {
      cairo_rectangle(cr.get(), backdrop.x - strip.X, backdrop.y - strip.Y, backdrop.width,
                      backdrop.height);
      SetSource(cr.get(), box);
      cairo_fill(cr.get());
    }
    cairo_move_to(cr.get(), x - strip.X, y - strip.Y);
    SetSource(cr.get(), colour);
    pango_cairo_show_layout(cr.get(), layout_->layout.get());
    cairo_surface_flush(surface.get());
    if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) return GenericError;
  }
  std::transform(pixels.begin(), pixels.end(), pixels.begin(), Unpremultiply);
  return GdipBitmapWritePixels(canvas, strip, pixels.data(), strip.Width);
}
