// SPDX-License-Identifier: GPL-3.0-or-later
// Tests of the encoder table and of what each encoder writes, read back with the formats' own
// libraries.

#include "platform/encoders.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

#include "platform/imaging.h"
#include "testutil/image_read.h"
#include "testutil/temp_dir.h"

namespace {

struct Encoder {
  GUID clsid;
  std::string mime;
  std::vector<std::uint8_t> sig, mask;
  std::uint32_t sig_count = 0;
};

std::string Narrow(const char16_t* s) {
  std::string out;
  for (; *s != 0; ++s) out.push_back(static_cast<char>(*s));
  return out;
}

std::vector<Encoder> ReadTable() {
  std::uint32_t count = 0, size = 0;
  EXPECT_EQ(GdipGetImageEncodersSize(&count, &size), Ok);
  void* block = std::malloc(size);
  auto* infos = static_cast<ImageCodecInfo*>(block);
  EXPECT_EQ(GdipGetImageEncoders(count, size, infos), Ok);
  const auto* begin = static_cast<const std::uint8_t*>(block);
  const auto* end = begin + size;
  auto inside = [&](const void* p) {
    return static_cast<const std::uint8_t*>(p) >= begin &&
           static_cast<const std::uint8_t*>(p) < end;
  };
  std::vector<Encoder> table;
  for (std::uint32_t i = 0; i < count; ++i) {
    const ImageCodecInfo& info = infos[i];
    // Everything the records point to lives in the same block.
    EXPECT_TRUE(inside(info.MimeType) && inside(info.CodecName) && inside(info.SigPattern) &&
                inside(info.SigMask + info.SigCount * info.SigSize - 1));
    Encoder e{info.Clsid, Narrow(info.MimeType), {}, {}, info.SigCount};
    e.sig.assign(info.SigPattern, info.SigPattern + info.SigCount * info.SigSize);
    e.mask.assign(info.SigMask, info.SigMask + info.SigCount * info.SigSize);
    table.push_back(e);
  }
  std::free(block);
  return table;
}

const Encoder& ByMime(const std::vector<Encoder>& table, const std::string& mime) {
  for (const Encoder& e : table)
    if (e.mime == mime) return e;
  ADD_FAILURE() << "no encoder " << mime;
  return table.front();
}

bool MatchesSignature(const Encoder& e, const std::string& bytes) {
  const std::size_t size = e.sig.size() / e.sig_count;
  for (std::uint32_t s = 0; s < e.sig_count; ++s) {
    bool match = bytes.size() >= size;
    for (std::size_t i = 0; match && i < size; ++i)
      match = (static_cast<std::uint8_t>(bytes[i]) & e.mask[s * size + i]) ==
              (e.sig[s * size + i] & e.mask[s * size + i]);
    if (match) return true;
  }
  return false;
}

// Every pixel different from its neighbours: any misplaced byte shows.
ARGB Busy(int x, int y) {
  return 0xFF000000u | (((x * 37 + y * 11) & 0xFF) << 16) | (((x * 5 + y * 29) & 0xFF) << 8) |
         (((x ^ y) * 13) & 0xFF);
}
// Smooth gradients, which lossy encoders keep close.
ARGB Smooth(int x, int y) {
  return 0xFF000000u | ((x * 255 / 63) << 16) | ((y * 255 / 47) << 8) | (((x + y) * 2) & 0xFF);
}

struct Canvas {
  Canvas(int w, int h, ARGB (*fill)(int, int)) : bmp(w, h, PixelFormat32bppARGB) {
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) EXPECT_EQ(GdipBitmapSetPixel(bmp.get(), x, y, fill(x, y)), Ok);
  }
  Bitmap bmp;
};

GpStatus Save(Bitmap& bmp, const std::string& path, const GUID& clsid,
              const EncoderParameters* params = nullptr, std::string* why = nullptr) {
  const std::u16string wide(path.begin(), path.end());  // test paths are ASCII
  return GdipSaveImageToFile(bmp.get(), wide.c_str(), &clsid, params, why);
}

double MeanError(const DecodedImage& img, ARGB (*expected)(int, int)) {
  double sum = 0;
  for (int y = 0; y < img.height; ++y)
    for (int x = 0; x < img.width; ++x)
      for (int shift : {0, 8, 16})
        sum += std::abs(static_cast<int>((img.Argb(x, y) >> shift) & 0xFF) -
                        static_cast<int>((expected(x, y) >> shift) & 0xFF));
  return sum / (3.0 * img.width * img.height);
}

TEST(EncodersTest, TableListsTheEncodersInOrderWithDistinctIdentifiers) {
  const std::vector<Encoder> table = ReadTable();
  std::vector<std::string> mimes;
  for (const Encoder& e : table) mimes.push_back(e.mime);
  EXPECT_EQ(mimes,
            (std::vector<std::string>{"image/bmp", "image/jpeg", "image/gif", "image/tiff",
                                      "image/png", "image/webp", "image/avif", "image/jxl"}));
  for (std::size_t i = 0; i < table.size(); ++i)
    for (std::size_t j = i + 1; j < table.size(); ++j)
      EXPECT_FALSE(table[i].clsid == table[j].clsid);
  // A table asked for with the wrong count or too small a size is refused.
  std::uint32_t count = 0, size = 0;
  GdipGetImageEncodersSize(&count, &size);
  std::vector<std::uint8_t> block(size);
  auto* infos = reinterpret_cast<ImageCodecInfo*>(block.data());
  EXPECT_EQ(GdipGetImageEncoders(count + 1, size, infos), InvalidParameter);
  EXPECT_EQ(GdipGetImageEncoders(count, size - 1, infos), InvalidParameter);
  EXPECT_EQ(GdipGetImageEncoders(count, size, nullptr), InvalidParameter);
}

TEST(EncodersTest, EveryEncoderWritesWhatItsOwnLibraryReadsBack) {
  const std::vector<Encoder> table = ReadTable();
  TempDir dir;
  // Lossless formats: every pixel exact, on an odd size so that row padding matters.
  Canvas busy(37, 23, Busy);
  for (const char* mime : {"image/bmp", "image/png", "image/tiff"}) {
    const Encoder& e = ByMime(table, mime);
    const std::string path = dir.File(std::string("busy.") + (mime + 6));
    std::string why;
    ASSERT_EQ(Save(busy.bmp, path, e.clsid, nullptr, &why), Ok) << mime << ": " << why;
    EXPECT_TRUE(MatchesSignature(e, ReadFileBytes(path))) << mime;
    const DecodedImage img = ReadImageFile(path);
    ASSERT_TRUE(img.ok()) << mime << ": " << img.error;
    EXPECT_EQ(img.format, mime + 6);
    ASSERT_EQ(img.width, 37);
    ASSERT_EQ(img.height, 23);
    int wrong = 0;
    for (int y = 0; y < 23; ++y)
      for (int x = 0; x < 37; ++x) wrong += img.Argb(x, y) != Busy(x, y);
    EXPECT_EQ(wrong, 0) << mime;
  }
  // Lossy formats: close on smooth content.
  Canvas smooth(64, 48, Smooth);
  const std::map<std::string, double> tolerance = {{"image/jpeg", 2.5},
                                                   {"image/gif", 4.0},
                                                   {"image/webp", 3.0},
                                                   {"image/avif", 1.5},
                                                   {"image/jxl", 2.0}};
  for (const auto& [mime, limit] : tolerance) {
    const Encoder& e = ByMime(table, mime);
    const std::string path = dir.File("smooth." + mime.substr(6));
    std::string why;
    ASSERT_EQ(Save(smooth.bmp, path, e.clsid, nullptr, &why), Ok) << mime << ": " << why;
    EXPECT_TRUE(MatchesSignature(e, ReadFileBytes(path))) << mime;
    const DecodedImage img = ReadImageFile(path);
    ASSERT_TRUE(img.ok()) << mime << ": " << img.error;
    ASSERT_EQ(img.width, 64);
    ASSERT_EQ(img.height, 48);
    EXPECT_EQ(img.format, mime.substr(6));
    EXPECT_LT(MeanError(img, Smooth), limit) << mime;
    EXPECT_EQ(img.Argb(10, 10) >> 24, 0xFFu) << mime;
    EXPECT_FALSE(img.has_alpha) << mime << ": an opaque picture gets no alpha channel";
  }
  // The encoders without parameters refuse any, say so, and leave no file.
  const std::int32_t quality = 50;
  EncoderParameters params{
      1, {{EncoderQuality, 1, EncoderParameterValueTypeLong, const_cast<std::int32_t*>(&quality)}}};
  for (const char* mime : {"image/webp", "image/avif", "image/jxl"}) {
    const std::string path = dir.File(std::string("refused.") + (mime + 6));
    std::string why;
    EXPECT_EQ(Save(smooth.bmp, path, ByMime(table, mime).clsid, &params, &why), InvalidParameter)
        << mime;
    EXPECT_EQ(why, "this encoder takes no parameters") << mime;
    EXPECT_FALSE(std::filesystem::exists(path)) << mime;
  }
}

// Some 16,000 colours: red follows x, green follows y, blue mixes both.
ARGB Rich(int x, int y) { return 0xFF000000u | (x << 16) | ((y * 4) << 8) | ((x + 3 * y) & 0xFF); }

TEST(EncodersTest, GifQuantizesWithDithering) {
  Canvas rich(256, 64, Rich);
  TempDir dir;
  const std::string path = dir.File("g.gif");
  ASSERT_EQ(Save(rich.bmp, path, ByMime(ReadTable(), "image/gif").clsid), Ok);
  const DecodedImage img = ReadImageFile(path);
  ASSERT_TRUE(img.ok()) << img.error;
  ASSERT_EQ(img.width, 256);
  EXPECT_LT(MeanError(img, Rich), 8.0);
  // The palette is built from the picture: it uses most of its 256 entries.
  std::map<ARGB, int> colours;
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 256; ++x) ++colours[img.Argb(x, y)];
  EXPECT_GT(colours.size(), 200u);
  // Red only grows along a row. Mapping each pixel to its nearest palette entry gives steps
  // that (almost) never go back; error diffusion scatters them, so red often drops by a step.
  int drops = 0;
  for (int y = 0; y < 64; ++y)
    for (int x = 1; x < 256; ++x)
      drops += (img.Argb(x, y) >> 16 & 0xFF) < (img.Argb(x - 1, y) >> 16 & 0xFF);
  EXPECT_GT(drops, 64 * 255 / 10);
}

TEST(EncodersTest, AlphaIsKeptByPngTiffAvifAndJxlAndDroppedByOthers) {
  Bitmap canvas(8, 4, PixelFormat32bppARGB);
  {
    Graphics g(canvas);
    g.Clear(0x80336699);
  }
  GdipBitmapSetPixel(canvas.get(), 0, 0, 0xFF102030);
  const std::vector<Encoder> table = ReadTable();
  TempDir dir;
  for (const char* mime : {"image/png", "image/tiff", "image/bmp", "image/jpeg"}) {
    const std::string path = dir.File(std::string("a.") + (mime + 6));
    ASSERT_EQ(Save(canvas, path, ByMime(table, mime).clsid), Ok) << mime;
    const DecodedImage img = ReadImageFile(path);
    ASSERT_TRUE(img.ok()) << img.error;
    const bool keeps = std::string(mime) == "image/png" || std::string(mime) == "image/tiff";
    EXPECT_EQ(img.Argb(5, 2) >> 24, keeps ? 0x80u : 0xFFu) << mime;
    if (keeps) {
      EXPECT_EQ(img.Argb(5, 2), 0x80336699u) << mime;
      EXPECT_EQ(img.Argb(0, 0), 0xFF102030u) << mime;
    }
  }
  // AVIF and JPEG XL keep it too: AVIF exactly, JPEG XL close (its alpha is lossy too).
  for (const char* mime : {"image/avif", "image/jxl"}) {
    const std::string path = dir.File(std::string("a.") + (mime + 6));
    ASSERT_EQ(Save(canvas, path, ByMime(table, mime).clsid), Ok) << mime;
    const DecodedImage img = ReadImageFile(path);
    ASSERT_TRUE(img.ok()) << img.error;
    EXPECT_TRUE(img.has_alpha) << mime;
    EXPECT_NEAR(img.Argb(5, 2) >> 24, 0x80, std::string(mime) == "image/avif" ? 0 : 10) << mime;
    EXPECT_NEAR(img.Argb(0, 0) >> 24, 0xFF, 2) << mime;
    EXPECT_NEAR(img.Argb(5, 2) >> 16 & 0xFF, 0x33, 4) << mime;
    EXPECT_NEAR(img.Argb(5, 2) & 0xFF, 0x99, 4) << mime;
  }
}

TEST(EncodersTest, JpegQualityIsOneLongValueClampedToLibjpegRange) {
  Canvas busy(96, 64, Busy);
  const GUID jpeg = ByMime(ReadTable(), "image/jpeg").clsid;
  TempDir dir;
  int n = 0;
  auto save_with = [&](const std::int32_t* quality, std::uint32_t type = 4,
                       std::uint32_t values = 1) -> std::string {
    std::int32_t q = quality ? *quality : 0;
    EncoderParameters p{1, {{EncoderQuality, values, type, &q}}};
    const std::string path = dir.File("q" + std::to_string(n++) + ".jpg");
    std::string why;
    const GpStatus s = Save(busy.bmp, path, jpeg, quality ? &p : nullptr, &why);
    return s == Ok ? ReadFileBytes(path) : "failed: " + why;
  };
  const std::int32_t q10 = 10, q95 = 95, q1 = 1, q0 = 0, q_neg = -5, q100 = 100, q_big = 1000,
                     q75 = 75;
  const std::string at10 = save_with(&q10), at95 = save_with(&q95);
  EXPECT_LT(at10.size(), at95.size());
  EXPECT_LT(at10.size() * 2, at95.size());
  EXPECT_EQ(save_with(&q0), save_with(&q1));
  EXPECT_EQ(save_with(&q_neg), save_with(&q1));
  EXPECT_EQ(save_with(&q_big), save_with(&q100));
  EXPECT_EQ(save_with(nullptr), save_with(&q75));  // no parameters: libjpeg's default
  EXPECT_NE(save_with(&q1), save_with(&q100));
  // Not one 32-bit value: refused, and no file.
  EXPECT_EQ(save_with(&q10, /*type=*/1).rfind("failed: ", 0), 0u);
  EXPECT_EQ(save_with(&q10, 4, /*values=*/2).rfind("failed: ", 0), 0u);
}

}  // namespace
