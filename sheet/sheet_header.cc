// SPDX-License-Identifier: GPL-3.0-or-later
#include "sheet/sheet_header.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "platform/text_conv.h"
#include "sheet/cell_time.h"

namespace {

// The facts' size grows with the sheet: a 48th of its width, up to this.
constexpr int kMaxHeaderPixels = 24;
constexpr double kWidthPerPixel = 48;
// The name stands out: bold, and a quarter larger than the facts.
constexpr double kNameScale = 1.25;

// UTF-8 of UTF-16 text; a lone surrogate (a byte of the name that was no text in the
// locale's encoding) becomes U+FFFD.
std::string Utf8(const char16_t* text) {
  std::string out;
  for (const char16_t* p = text; *p != u'\0'; ++p) {
    char32_t c = *p;
    if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00);
      ++p;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// The file name of `src`, without its folder, in UTF-8.
std::string DisplayName(const std::string& src) {
  // '/' is never part of a multibyte character in the locales' encodings.
  const std::size_t slash = src.rfind('/');
  const std::string name = slash == std::string::npos ? src : src.substr(slash + 1);
  try {
    const MultibyteToWide wide(name.c_str());
    return Utf8(wide.get());
  } catch (const ComError&) {
    // Text the locale's encoding refuses is shown as it is; what is no UTF-8 shows as U+FFFD.
    return name;
  }
}

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// Three significant digits: 950 kB, 2.95 MB, 18.4 MB, 1.20 GB.
std::string FileSize(std::int64_t bytes) {
  if (bytes < 1000) return std::to_string(bytes) + " bytes";
  static const char* const kUnits[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
  double value = static_cast<double>(bytes) / 1000;
  int unit = 0;
  while (value >= 999.5 && unit < 5) {
    value /= 1000;
    ++unit;
  }
  const char* format = value < 9.995 ? "%.2f " : value < 99.95 ? "%.1f " : "%.0f ";
  return Format(format, value) + kUnits[unit];
}

std::string BitRate(std::int64_t bits_per_second) {
  const double kilobits = static_cast<double>(bits_per_second) / 1000;
  if (kilobits < 9999.5) return Format("%.0f kb/s", kilobits);
  return Format("%.1f Mb/s", kilobits / 1000);
}

// 25 fps, 29.97 fps, 23.976 fps.
std::string FrameRate(double rate) {
  std::string text = Format("%.3f", rate);
  text.erase(text.find_last_not_of('0') + 1);
  if (text.back() == '.') text.pop_back();
  return text + " fps";
}

// The shape of the picture as shown: the usual ratios by name, others as x.xx:1.
std::string DisplayAspect(std::int32_t width, std::int32_t height) {
  static const std::pair<int, int> kNamed[] = {{16, 9},  {4, 3},  {3, 2},  {5, 4}, {1, 1},
                                               {16, 10}, {21, 9}, {9, 16}, {3, 4}, {2, 3}};
  const double aspect = static_cast<double>(width) / height;
  for (const auto& [w, h] : kNamed)
    if (std::abs(aspect / (static_cast<double>(w) / h) - 1) < 0.01)
      return std::to_string(w) + ":" + std::to_string(h);
  return Format("%.2f:1", aspect);
}

// Joins the parts that are not empty with ", ".
std::string Join(std::initializer_list<std::string> parts) {
  std::string line;
  for (const std::string& part : parts) {
    if (part.empty()) continue;
    if (!line.empty()) line += ", ";
    line += part;
  }
  return line;
}

// Black or white, whichever contrasts more with the background (by the relative luminance of
// its sRGB colour).
ARGB TextColourOn(std::uint32_t bgcolor) {
  auto linear = [](std::uint32_t v) {
    const double c = static_cast<double>(v & 0xFF) / 255;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
  };
  const double luminance =
      0.2126 * linear(bgcolor >> 16) + 0.7152 * linear(bgcolor >> 8) + 0.0722 * linear(bgcolor);
  const double against_white = 1.05 / (luminance + 0.05);
  const double against_black = (luminance + 0.05) / 0.05;
  return against_white >= against_black ? 0xFFFFFFFFu : 0xFF000000u;
}

}  // namespace

HeaderText DescribeMovie(const std::string& src, const MovieFacts& facts, double length,
                         std::int32_t display_width, std::int32_t display_height) {
  HeaderText text;
  text.name = DisplayName(src);
  text.duration = TimeText(length, length, false);
  text.facts.push_back(Join({facts.file_bytes >= 0 ? "Size " + FileSize(facts.file_bytes) : "",
                             "duration " + text.duration,
                             facts.bit_rate > 0 ? "bit rate " + BitRate(facts.bit_rate) : ""}));
  std::string picture;
  if (facts.picture_width > 0 && facts.picture_height > 0)
    picture = std::to_string(facts.picture_width) + "x" + std::to_string(facts.picture_height);
  if (display_width > 0 && display_height > 0)
    picture +=
        (picture.empty() ? "" : " ") + ("(" + DisplayAspect(display_width, display_height) + ")");
  text.facts.push_back(
      "Video: " + Join({facts.video_codec +
                            (facts.video_profile.empty() ? "" : " (" + facts.video_profile + ")"),
                        picture, facts.frame_rate > 0 ? FrameRate(facts.frame_rate) : "",
                        facts.interlaced ? "interlaced" : "", facts.hdr}));
  if (facts.has_audio)
    text.facts.push_back("Audio: " +
                         Join({facts.audio_codec, facts.audio_channels, facts.audio_language}));
  return text;
}

SheetHeader LayOutHeader(const HeaderText& text, std::int64_t width, std::uint32_t bgcolor) {
  SheetHeader header;
  header.colour = TextColourOn(bgcolor);
  const int sheet_width = static_cast<int>(std::clamp<std::int64_t>(width, 0, kMaxCanvasSide));
  const int largest = std::clamp(static_cast<int>(sheet_width / kWidthPerPixel), kMinHeaderPixels,
                                 kMaxHeaderPixels);
  for (int pixels = largest; pixels >= kMinHeaderPixels; --pixels) {
    const int margin = pixels / 2;
    const int room = sheet_width - 2 * margin;
    std::vector<std::unique_ptr<TextLine>> facts;
    for (const std::string& fact : text.facts) {
      facts.push_back(std::make_unique<TextLine>(fact, TextStyle{static_cast<double>(pixels)}));
      if (facts.back()->width() > room) break;
    }
    if (facts.empty() || facts.back()->width() > room) continue;
    const int gap = pixels / 4;
    int y = margin;
    header.lines.push_back({std::make_unique<TextLine>(
                                text.name, TextStyle{std::round(pixels * kNameScale), true}, room),
                            margin, y});
    y += header.lines.back().line->height() + gap;
    for (auto& fact : facts) {
      const int height = fact->height();
      header.lines.push_back({std::move(fact), margin, y});
      y += height + gap;
    }
    header.height = y - gap + margin;
    return header;
  }
  // Too narrow for the facts: the name, cut to what the duration leaves of the line.
  const TextStyle style{static_cast<double>(kMinHeaderPixels)};
  const int margin = kMinHeaderPixels / 2;
  auto duration = std::make_unique<TextLine>(text.duration, style);
  const int name_room = sheet_width - 2 * margin - duration->width() - kMinHeaderPixels;
  if (name_room < 2 * kMinHeaderPixels) return header;
  auto name = std::make_unique<TextLine>(text.name, TextStyle{style.pixels, true}, name_room);
  header.height = std::max(name->height(), duration->height()) + 2 * margin;
  const int duration_x = sheet_width - margin - duration->width();
  header.lines.push_back({std::move(name), margin, margin});
  header.lines.push_back({std::move(duration), duration_x, margin});
  return header;
}

void DrawHeader(GpBitmap* canvas, const SheetHeader& header) {
  for (const HeaderLine& line : header.lines)
    line.line->Draw(canvas, line.x, line.y, header.colour);
}
