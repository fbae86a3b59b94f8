// SPDX-License-Identifier: GPL-3.0-or-later
// The text module: single lines laid out with Pango in the sans-serif fonts that fontconfig
// finds (a character the first font lacks is taken from one that has it, so that a Japanese
// name gets Japanese glyphs), and drawn with Cairo on a strip of pixels. Linked against the
// text stack; nothing else of the program's is in it.
#include <cairo.h>
#include <fontconfig/fontconfig.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>

#include "platform/modules.h"
#include "platform/text_module.h"

struct TextModuleLine {
  PangoLayout* layout = nullptr;
  PangoRectangle ink = {};
  PangoRectangle logical = {};
  ~TextModuleLine() {
    if (layout != nullptr) g_object_unref(layout);
  }
};

namespace {

// The owner's deleter that hands a pointer to the library function `kFree`.
template <auto kFree>
struct FreeWith {
  template <typename T>
  void operator()(T* p) const {
    kFree(p);
  }
};

// The context every line is laid out in, made once: the font map holds the fonts loaded so
// far, so that the second line costs no loading. Glyphs are grey-scale antialiased and placed
// on whole pixels, so that a line drawn at another whole-pixel position is the same pixels.
PangoContext* SharedContext() {
  static PangoContext* const context = [] {
    std::unique_ptr<PangoFontMap, FreeWith<g_object_unref>> font_map(pango_cairo_font_map_new());
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

void SetSource(cairo_t* cr, std::uint32_t colour) {
  cairo_set_source_rgba(cr, ((colour >> 16) & 0xFF) / 255.0, ((colour >> 8) & 0xFF) / 255.0,
                        (colour & 0xFF) / 255.0, (colour >> 24) / 255.0);
}

}  // namespace

VGRID_MODULE_EXPORT int VgridTextFonts() {
  static const bool available = [] {
    if (!FcInit()) return false;
    std::unique_ptr<FcCharSet, FreeWith<FcCharSetDestroy>> needed(FcCharSetCreate());
    std::unique_ptr<FcPattern, FreeWith<FcPatternDestroy>> pattern(FcPatternCreate());
    std::unique_ptr<FcObjectSet, FreeWith<FcObjectSetDestroy>> objects(
        FcObjectSetBuild(FC_FILE, nullptr));
    if (!needed || !pattern || !objects) return false;
    for (const char* c = "0123456789:.,ABCMXYZabcmxyz"; *c != '\0'; ++c)
      FcCharSetAddChar(needed.get(), static_cast<FcChar32>(*c));
    // A listed font matches a character set when its own holds all of it.
    FcPatternAddCharSet(pattern.get(), FC_CHARSET, needed.get());
    std::unique_ptr<FcFontSet, FreeWith<FcFontSetDestroy>> fonts(
        FcFontList(nullptr, pattern.get(), objects.get()));
    return fonts != nullptr && fonts->nfont > 0;
  }();
  return available;
  return available ? 1 : 0;
}

VGRID_MODULE_EXPORT TextModuleLine* VgridTextLayOut(const char* utf8, std::size_t size,
                                                    double pixels, int bold, int max_width) {
  std::unique_ptr<TextModuleLine> line(new (std::nothrow) TextModuleLine);
  if (!line) return nullptr;
  line->layout = pango_layout_new(SharedContext());
  if (line->layout == nullptr) return nullptr;
  PangoLayout* layout = line->layout;
  std::unique_ptr<PangoFontDescription, FreeWith<pango_font_description_free>> font(
      pango_font_description_new());
  pango_font_description_set_family_static(font.get(), "sans-serif");
  pango_font_description_set_weight(font.get(), bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
  pango_font_description_set_absolute_size(font.get(), pixels * PANGO_SCALE);
  pango_layout_set_font_description(layout, font.get());
  // Pango takes only valid UTF-8, and would warn on the console about anything else.
  std::unique_ptr<char, FreeWith<g_free>> valid(g_utf8_make_valid(utf8, static_cast<gssize>(size)));
  pango_layout_set_single_paragraph_mode(layout, TRUE);
  pango_layout_set_text(layout, valid.get(), -1);
  if (max_width > 0) {
    // Pango counts in 1/1024 of a pixel in an int; no line is ever that wide.
    pango_layout_set_width(layout, std::min(max_width, 1 << 20) * PANGO_SCALE);
    pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_END);
  }
  pango_layout_get_pixel_extents(layout, &line->ink, &line->logical);
  return line.release();
}

VGRID_MODULE_EXPORT void VgridTextMeasure(const TextModuleLine* line, TextModuleExtents* out) {
  out->ink = {line->ink.x, line->ink.y, line->ink.width, line->ink.height};
  out->logical = {line->logical.x, line->logical.y, line->logical.width, line->logical.height};
  out->ellipsized = pango_layout_is_ellipsized(line->layout) ? 1 : 0;
  out->unknown_glyphs = pango_layout_get_unknown_glyphs_count(line->layout);
}

VGRID_MODULE_EXPORT int VgridTextDraw(const TextModuleLine* line, std::uint32_t* strip, int width,
                                      int height, int x, int y, std::uint32_t colour,
                                      std::uint32_t box, TextModuleRect backdrop) {
  std::uint32_t* const end = strip + static_cast<std::size_t>(width) * height;
  std::transform(strip, end, strip, Premultiply);
  {
    // Cairo's ARGB32 pixels are 32-bit words 0xAARRGGBB in native byte order, as the canvas's.
    std::unique_ptr<cairo_surface_t, FreeWith<cairo_surface_destroy>> surface(
        cairo_image_surface_create_for_data(reinterpret_cast<unsigned char*>(strip),
                                            CAIRO_FORMAT_ARGB32, width, height, width * 4));
    std::unique_ptr<cairo_t, FreeWith<cairo_destroy>> cr(cairo_create(surface.get()));
    if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) return 1;
    if ((box >> 24) != 0) {
      cairo_rectangle(cr.get(), backdrop.x, backdrop.y, backdrop.width, backdrop.height);
      SetSource(cr.get(), box);
      cairo_fill(cr.get());
    }
    cairo_move_to(cr.get(), x, y);
    SetSource(cr.get(), colour);
    pango_cairo_show_layout(cr.get(), line->layout);
    cairo_surface_flush(surface.get());
    if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) return 2;
  }
  std::transform(strip, end, strip, Unpremultiply);
  return 0;
}

VGRID_MODULE_EXPORT void VgridTextFree(TextModuleLine* line) { delete line; }
