// SPDX-License-Identifier: GPL-3.0-or-later
// Tests of canvases, frame bitmaps and drawing: scaling, the colour matrix, clipping and
// blending.

#include "platform/imaging.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <vector>

namespace {

// A 24-bit device-independent bitmap built from a colour function; bottom-up rows for
// `bottom_up`, top-down otherwise, each row padded to 4 bytes.
struct Dib {
  Dib(int width, int height, bool bottom_up, const std::function<std::uint32_t(int, int)>& rgb)
      : stride((width * 3 + 3) & ~3) {
    bytes.assign(40 + static_cast<std::size_t>(stride) * height, 0xEE);  // padding poisoned
    BITMAPINFOHEADER h{};
    h.biSize = 40;
    h.biWidth = width;
    h.biHeight = bottom_up ? height : -height;
    h.biPlanes = 1;
    h.biBitCount = 24;
    h.biCompression = BI_RGB;
    std::memcpy(bytes.data(), &h, 40);
    for (int y = 0; y < height; ++y) {
      const int stored_row = bottom_up ? height - 1 - y : y;
      std::uint8_t* row = bytes.data() + 40 + static_cast<std::size_t>(stored_row) * stride;
      for (int x = 0; x < width; ++x) {
        const std::uint32_t c = rgb(x, y);
        row[3 * x] = c & 0xFF;
        row[3 * x + 1] = (c >> 8) & 0xFF;
        row[3 * x + 2] = (c >> 16) & 0xFF;
      }
    }
  }
  const BITMAPINFO* info() const { return reinterpret_cast<const BITMAPINFO*>(bytes.data()); }
  void* bits() { return bytes.data() + 40; }
  int stride;
  std::vector<std::uint8_t> bytes;
};

ARGB Pixel(Bitmap& bmp, int x, int y) {
  ARGB c = 0x12345678;
  EXPECT_EQ(GdipBitmapGetPixel(bmp.get(), x, y, &c), Ok) << x << "," << y;
  return c;
}

// The adjustment the sheet applies: every colour channel 1.15 x v - 0.075 on the 0..1 scale.
ColorMatrix SheetMatrix() {
  ColorMatrix cm{};
  for (int i = 0; i < 5; ++i) cm.m[i][i] = 1.0f;
  for (int i = 0; i < 3; ++i) {
    cm.m[i][i] = 1.15f;
    cm.m[4][i] = -0.075f;
  }
  return cm;
}

// Expected channel after the sheet matrix, worked out in double precision.
int Adjusted(int v) {
  const double x = (1.15 * v / 255.0 - 0.075) * 255.0;
  return x <= 0 ? 0 : x >= 255 ? 255 : static_cast<int>(std::lround(x));
}

// Draws a w x h frame of one colour into a 1:1 rectangle through `matrix` and returns the
// resulting pixel.
ARGB DrawSolidThrough(std::uint32_t rgb, const ColorMatrix& matrix) {
  Dib dib(8, 6, true, [&](int, int) { return rgb; });
  Bitmap canvas(8, 6, PixelFormat32bppARGB);
  Graphics g(canvas);
  g.Clear(0xFF000000);
  Bitmap frame(dib.info(), dib.bits());
  ImageAttributes ia;
  EXPECT_EQ(ia.SetColorMatrix(matrix), Ok);
  EXPECT_EQ(g.DrawImage(frame, 0, 0, 8, 6, 0, 0, 8, 6, UnitPixel, &ia), Ok);
  return Pixel(canvas, 3, 2);
}

TEST(ImagingTest, CanvasClearsToOpaqueColourAndRefusesBadSizes) {
  Bitmap canvas(7, 5, PixelFormat32bppARGB);
  ASSERT_NE(canvas.get(), nullptr);
  std::uint32_t w = 0, h = 0;
  EXPECT_EQ(GdipGetImageWidth(canvas.get(), &w), Ok);
  EXPECT_EQ(GdipGetImageHeight(canvas.get(), &h), Ok);
  EXPECT_EQ(w, 7u);
  EXPECT_EQ(h, 5u);
  EXPECT_EQ(Pixel(canvas, 0, 0), 0x00000000u);  // a new canvas is transparent black
  Graphics g(canvas);
  EXPECT_EQ(g.Clear(0xFF000000u | 0x0000FF), Ok);
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 7; ++x) EXPECT_EQ(Pixel(canvas, x, y), 0xFF0000FFu);
  ARGB c;
  EXPECT_EQ(GdipBitmapGetPixel(canvas.get(), 7, 0, &c), InvalidParameter);
  EXPECT_EQ(GdipBitmapGetPixel(canvas.get(), 0, -1, &c), InvalidParameter);

  const int bad[][2] = {{0, 10},    {10, 0},        {-3, 10},      {65536, 1},
                        {1, 65536}, {16385, 16385}, {65535, 65535}};
  for (const auto& size : bad) {
    Bitmap refused(size[0], size[1], PixelFormat32bppARGB);
    EXPECT_EQ(refused.get(), nullptr) << size[0] << "x" << size[1];
    EXPECT_NE(refused.last_status(), Ok);
    Graphics on_refused(refused);  // every later call is without effect
    EXPECT_EQ(on_refused.get(), nullptr);
    EXPECT_EQ(on_refused.Clear(0xFFFFFFFF), InvalidParameter);
    EXPECT_EQ(on_refused.last_status(), InvalidParameter);
  }
  Bitmap largest_side(65535, 1, PixelFormat32bppARGB);
  EXPECT_NE(largest_side.get(), nullptr);
  Bitmap wrong_format(4, 4, 0x21808);  // 24-bit formats are not canvases
  EXPECT_EQ(wrong_format.get(), nullptr);
}

TEST(ImagingTest, NullAndReleasedHandlesAreRefused) {
  EXPECT_EQ(GdipGraphicsClear(nullptr, 0), InvalidParameter);
  EXPECT_EQ(GdipDisposeImage(nullptr), InvalidParameter);
  EXPECT_EQ(GdipDeleteGraphics(nullptr), InvalidParameter);
  EXPECT_EQ(GdipDisposeImageAttributes(nullptr), InvalidParameter);
  EXPECT_EQ(GdipSetImageAttributesColorMatrix(nullptr, ColorAdjustTypeDefault, true, nullptr,
                                              nullptr, ColorMatrixFlagsDefault),
            InvalidParameter);

  GpBitmap* canvas = nullptr;
  ASSERT_EQ(GdipCreateBitmapFromScan0(4, 4, 0, PixelFormat32bppARGB, nullptr, &canvas), Ok);
  GpGraphics* g = nullptr;
  ASSERT_EQ(GdipGetImageGraphicsContext(canvas, &g), Ok);
  EXPECT_EQ(GdipGraphicsClear(g, 0xFF102030), Ok);
  ASSERT_EQ(GdipDisposeImage(canvas), Ok);
  EXPECT_EQ(GdipDisposeImage(canvas), InvalidParameter);  // twice
  // The surface outlived its canvas: it must not write into freed pixels.
  EXPECT_EQ(GdipGraphicsClear(g, 0xFF000000), InvalidParameter);
  EXPECT_EQ(GdipDeleteGraphics(g), Ok);
  EXPECT_EQ(GdipDeleteGraphics(g), InvalidParameter);

  // A frame bitmap is no drawing target, and a bad header makes no bitmap.
  Dib dib(3, 3, true, [](int, int) { return 0u; });
  Bitmap frame(dib.info(), dib.bits());
  ASSERT_NE(frame.get(), nullptr);
  GpGraphics* on_frame = nullptr;
  EXPECT_EQ(GdipGetImageGraphicsContext(frame.get(), &on_frame), InvalidParameter);
  EXPECT_EQ(on_frame, nullptr);
  reinterpret_cast<BITMAPINFOHEADER*>(dib.bytes.data())->biBitCount = 32;
  Bitmap bad_bits(dib.info(), dib.bits());
  EXPECT_EQ(bad_bits.get(), nullptr);
  Bitmap no_rows(dib.info(), nullptr);
  EXPECT_EQ(no_rows.get(), nullptr);
}

TEST(ImagingTest, SheetColourMatrixOnGreysAndSaturatedColours) {
  const ColorMatrix cm = SheetMatrix();
  for (int v : {0, 16, 17, 64, 128, 200, 230, 240, 255}) {
    const ARGB expected = 0xFF000000u | (Adjusted(v) * 0x010101u);
    EXPECT_EQ(DrawSolidThrough(v * 0x010101u, cm), expected) << "grey " << v;
  }
  EXPECT_EQ(Adjusted(128), 128);  // the fixed point lies near mid grey
  EXPECT_EQ(Adjusted(64), 54);
  EXPECT_EQ(Adjusted(200), 211);
  EXPECT_EQ(DrawSolidThrough(0xFF0000, cm), 0xFFFF0000u);
  EXPECT_EQ(DrawSolidThrough(0x00FF00, cm), 0xFF00FF00u);
  EXPECT_EQ(DrawSolidThrough(0x0000FF, cm), 0xFF0000FFu);
  EXPECT_EQ(DrawSolidThrough(0x00C840, cm),
            0xFF000000u | (Adjusted(0xC8) << 8) | static_cast<ARGB>(Adjusted(0x40)));
}

TEST(ImagingTest, GeneralColourMatrixMixesChannelsAndClamps) {
  // Red takes blue's value, blue takes twice green's, green takes red less a quarter.
  ColorMatrix cm{};
  cm.m[2][0] = 1.0f;
  cm.m[1][2] = 2.0f;
  cm.m[0][1] = 1.0f;
  cm.m[4][1] = -0.25f;
  cm.m[3][3] = 1.0f;
  EXPECT_EQ(DrawSolidThrough(0x804020, cm), 0xFF204080u);
  EXPECT_EQ(DrawSolidThrough(0xFF40FF, cm), 0xFFFFBF80u);
  EXPECT_EQ(DrawSolidThrough(0x10C800, cm), 0xFF0000FFu);  // both clamps
}

TEST(ImagingTest, SolidFrameLandsExactlyOnSmallerAndLargerRectangles) {
  Dib dib(40, 30, true, [](int, int) { return 0x0AC81Eu; });
  Bitmap frame(dib.info(), dib.bits());
  struct Rect {
    int x, y, w, h;
  };
  for (const Rect r : {Rect{10, 5, 20, 15}, Rect{3, 7, 70, 60}, Rect{0, 0, 1, 1}}) {
    Bitmap canvas(80, 70, PixelFormat32bppARGB);
    Graphics g(canvas);
    g.Clear(0xFF0000FF);
    g.SetCompositingMode(CompositingModeSourceOver);
    g.SetInterpolationMode(InterpolationModeHighQuality);
    ASSERT_EQ(g.DrawImage(frame, r.x, r.y, r.w, r.h, 0, 0, 40, 30, UnitPixel, nullptr), Ok);
    int inside = 0;
    for (int y = 0; y < 70; ++y) {
      for (int x = 0; x < 80; ++x) {
        const bool in = x >= r.x && x < r.x + r.w && y >= r.y && y < r.y + r.h;
        const ARGB c = Pixel(canvas, x, y);
        ASSERT_EQ(c, in ? 0xFF0AC81Eu : 0xFF0000FFu) << x << "," << y << " rect " << r.w;
        inside += in;
      }
    }
    EXPECT_EQ(inside, r.w * r.h);
  }
}

TEST(ImagingTest, BottomUpAndTopDownFramesComeOutUprightWithPaddedRows) {
  // 5 pixels a row (15 bytes, padded to 16): red top half, green bottom half, a blue left
  // column, so a flip or a row-padding mistake shows.
  auto picture = [](int x, int y) -> std::uint32_t {
    if (x == 0) return 0x0000FF;
    return y < 2 ? 0xFF0000 : 0x00FF00;
  };
  for (bool bottom_up : {true, false}) {
    Dib dib(5, 4, bottom_up, picture);
    Bitmap frame(dib.info(), dib.bits());
    ASSERT_NE(frame.get(), nullptr);
    EXPECT_EQ(Pixel(frame, 3, 0), 0xFFFF0000u);
    Bitmap canvas(5, 4, PixelFormat32bppARGB);
    Graphics g(canvas);
    g.SetInterpolationMode(InterpolationModeNearestNeighbor);
    ASSERT_EQ(g.DrawImage(frame, 0, 0, 5, 4, 0, 0, 5, 4, UnitPixel, nullptr), Ok);
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 5; ++x)
        EXPECT_EQ(Pixel(canvas, x, y), 0xFF000000u | picture(x, y))
            << (bottom_up ? "bottom-up " : "top-down ") << x << "," << y;
    // Scaled up with the high-quality filter the halves stay where they were.
    Bitmap big(50, 40, PixelFormat32bppARGB);
    Graphics gb(big);
    gb.SetInterpolationMode(InterpolationModeHighQuality);
    ASSERT_EQ(gb.DrawImage(frame, 0, 0, 50, 40, 0, 0, 5, 4, UnitPixel, nullptr), Ok);
    EXPECT_EQ(Pixel(big, 30, 2), 0xFFFF0000u);
    EXPECT_EQ(Pixel(big, 30, 37), 0xFF00FF00u);
    EXPECT_EQ(Pixel(big, 2, 20), 0xFF0000FFu);
  }
}

TEST(ImagingTest, ShrinkingAveragesInsteadOfSampling) {
  // A one-pixel checkerboard reduced tenfold must come out mid grey everywhere; a sampling
  // scaler would give black or white.
  Dib dib(200, 120, true, [](int x, int y) { return ((x + y) & 1) ? 0xFFFFFFu : 0u; });
  Bitmap frame(dib.info(), dib.bits());
  Bitmap canvas(20, 12, PixelFormat32bppARGB);
  Graphics g(canvas);
  g.SetInterpolationMode(InterpolationModeHighQuality);
  ASSERT_EQ(g.DrawImage(frame, 0, 0, 20, 12, 0, 0, 200, 120, UnitPixel, nullptr), Ok);
  for (int y = 0; y < 12; ++y) {
    for (int x = 0; x < 20; ++x) {
      const ARGB c = Pixel(canvas, x, y);
      for (int shift : {0, 8, 16}) EXPECT_NEAR(static_cast<int>((c >> shift) & 0xFF), 128, 4);
    }
  }
}

TEST(ImagingTest, ClippingAndSourceRectangles) {
  Dib dib(4, 2, false, [](int x, int) { return x < 2 ? 0xFF0000u : 0x00FF00u; });
  Bitmap frame(dib.info(), dib.bits());
  Bitmap canvas(10, 10, PixelFormat32bppARGB);
  Graphics g(canvas);
  g.SetInterpolationMode(InterpolationModeNearestNeighbor);
  g.Clear(0xFF000000);
  // Hanging over the left/top and right/bottom edges: only the visible part is drawn.
  ASSERT_EQ(g.DrawImage(frame, -4, -3, 8, 6, 0, 0, 4, 2, UnitPixel, nullptr), Ok);
  ASSERT_EQ(g.DrawImage(frame, 8, 8, 8, 6, 0, 0, 4, 2, UnitPixel, nullptr), Ok);
  EXPECT_EQ(Pixel(canvas, 0, 0), 0xFF00FF00u);  // right half of the first draw
  EXPECT_EQ(Pixel(canvas, 3, 2), 0xFF00FF00u);
  EXPECT_EQ(Pixel(canvas, 4, 2), 0xFF000000u);
  EXPECT_EQ(Pixel(canvas, 3, 3), 0xFF000000u);
  EXPECT_EQ(Pixel(canvas, 9, 9), 0xFFFF0000u);  // left half of the second draw
  EXPECT_EQ(Pixel(canvas, 7, 9), 0xFF000000u);
  // Wholly outside, and empty rectangles: nothing changes.
  EXPECT_EQ(g.DrawImage(frame, 10, 0, 5, 5, 0, 0, 4, 2, UnitPixel, nullptr), Ok);
  EXPECT_EQ(g.DrawImage(frame, -5, 0, 5, 5, 0, 0, 4, 2, UnitPixel, nullptr), Ok);
  EXPECT_EQ(g.DrawImage(frame, 2, 2, 0, 5, 0, 0, 4, 2, UnitPixel, nullptr), Ok);
  EXPECT_EQ(Pixel(canvas, 5, 5), 0xFF000000u);
  // A source rectangle picks part of the frame; one outside the frame is refused.
  ASSERT_EQ(g.DrawImage(frame, 4, 4, 2, 2, 2, 0, 2, 2, UnitPixel, nullptr), Ok);
  EXPECT_EQ(Pixel(canvas, 4, 4), 0xFF00FF00u);
  EXPECT_EQ(g.DrawImage(frame, 0, 0, 2, 2, 3, 0, 2, 2, UnitPixel, nullptr), InvalidParameter);
  EXPECT_EQ(g.last_status(), InvalidParameter);
}

TEST(ImagingTest, SourceOverBlendsByAlphaAndSourceCopyReplaces) {
  Bitmap layer(4, 4, PixelFormat32bppARGB);
  Graphics gl(layer);
  gl.Clear(0x80FF0000);  // half-transparent red
  Bitmap canvas(4, 4, PixelFormat32bppARGB);
  Graphics g(canvas);
  g.Clear(0xFF0000FF);
  g.SetCompositingMode(CompositingModeSourceOver);
  ASSERT_EQ(g.DrawImage(layer, 0, 0, 4, 4, 0, 0, 4, 4, UnitPixel, nullptr), Ok);
  const ARGB c = Pixel(canvas, 1, 1);
  EXPECT_EQ(c >> 24, 0xFFu);
  EXPECT_NEAR(static_cast<int>((c >> 16) & 0xFF), 128, 1);
  EXPECT_EQ((c >> 8) & 0xFF, 0u);
  EXPECT_NEAR(static_cast<int>(c & 0xFF), 127, 1);
  g.SetCompositingMode(CompositingModeSourceCopy);
  ASSERT_EQ(g.DrawImage(layer, 0, 0, 4, 4, 0, 0, 4, 4, UnitPixel, nullptr), Ok);
  EXPECT_EQ(Pixel(canvas, 1, 1), 0x80FF0000u);
}

}  // namespace
