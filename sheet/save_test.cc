// SPDX-License-Identifier: GPL-3.0-or-later
#include "sheet/save.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/imaging.h"
#include "testutil/image_read.h"
#include "testutil/temp_dir.h"

namespace {

std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
        names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

RunSettings Settings(const std::string& dst, const std::string& format, int quality) {
  RunSettings s;
  s.dst = dst;
  s.format = format;
  s.quality = quality;
  return s;
}

// A canvas with detail, so that the JPEG quality changes the file.
struct Sheet {
  Sheet() : canvas(64, 48, PixelFormat32bppARGB) {
    for (int y = 0; y < 48; ++y)
      for (int x = 0; x < 64; ++x)
        GdipBitmapSetPixel(canvas.get(), x, y,
                           0xFF000000u | ((x * 29 + y * 7) & 0xFF) << 16 | ((x * y) & 0xFF) << 8 |
                               ((x ^ y) * 9 & 0xFF));
  }
  Bitmap canvas;
};

TEST(EncoderLookupTest, FindsEachMimeTypeExactlyAndNothingElse) {
  std::uint32_t count = 0, size = 0;
  ASSERT_EQ(GdipGetImageEncodersSize(&count, &size), Ok);
  std::vector<std::uint8_t> block(size);
  auto* table = reinterpret_cast<ImageCodecInfo*>(block.data());
  ASSERT_EQ(GdipGetImageEncoders(count, size, table), Ok);
  const char* mimes[] = {"image/bmp", "image/jpeg", "image/gif",  "image/tiff",
                         "image/png", "image/webp", "image/avif", "image/jxl"};
  ASSERT_EQ(count, std::size(mimes));
  for (std::uint32_t i = 0; i < count; ++i) {
    GUID clsid{};
    EXPECT_TRUE(EncoderLookup(mimes[i], &clsid)) << mimes[i];
    EXPECT_TRUE(clsid == table[i].Clsid) << mimes[i];
  }
  const GUID sentinel{0xDEADBEEF, 0xABCD, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
  for (const char* mime : {"image/JPEG", "Image/jpeg", "j", "jpeg", "", "image/jpeg ", "image/jpe",
                           "image/jpg", "p", "image/png\n"}) {
    GUID clsid = sentinel;
    EXPECT_FALSE(EncoderLookup(mime, &clsid)) << "'" << mime << "'";
    EXPECT_TRUE(clsid == sentinel) << "'" << mime << "' touched the output";
  }
}

TEST(SaveSheetTest, JpegCarriesTheQualityAndOtherFormatsIgnoreIt) {
  Sheet sheet;
  TempDir dir;
  auto save = [&](const std::string& name, const std::string& format, int quality) {
    const SaveOutcome out =
        SaveSheet(sheet.canvas.get(), Settings(dir.File(name), format, quality));
    EXPECT_TRUE(out.written()) << name << ": " << out.cause;
    EXPECT_TRUE(out.cause.empty());
    return ReadFileBytes(dir.File(name));
  };
  const std::string q10 = save("q10.jpg", "image/jpeg", 10);
  const std::string q95 = save("q95.jpg", "image/jpeg", 95);
  EXPECT_LT(q10.size(), q95.size());
  // Out-of-range values reach the encoder, which holds them to 1..100.
  EXPECT_EQ(save("q0.jpg", "image/jpeg", 0), save("q1.jpg", "image/jpeg", 1));
  EXPECT_EQ(save("q500.jpg", "image/jpeg", 500), save("q100.jpg", "image/jpeg", 100));
  EXPECT_EQ(save("a.png", "image/png", 10), save("b.png", "image/png", 95));
  EXPECT_EQ(save("a.gif", "image/gif", 10), save("b.gif", "image/gif", 95));
  for (const char* name : {"q10.jpg", "a.png", "a.gif"}) {
    const DecodedImage img = ReadImageFile(dir.File(name));
    ASSERT_TRUE(img.ok()) << name << ": " << img.error;
    EXPECT_EQ(img.width, 64);
    EXPECT_EQ(img.height, 48);
  }
  // Any MIME type in the table works, with no parameters.
  save("a.bmp", "image/bmp", 85);
  const DecodedImage bmp = ReadImageFile(dir.File("a.bmp"));
  ASSERT_TRUE(bmp.ok()) << bmp.error;
  EXPECT_EQ(bmp.format, "bmp");
  ARGB expected = 0;
  ASSERT_EQ(GdipBitmapGetPixel(sheet.canvas.get(), 5, 7, &expected), Ok);
  EXPECT_EQ(bmp.Argb(5, 7), expected);
}

TEST(SaveSheetTest, ReportsWhyNothingWasWritten) {
  Sheet sheet;
  TempDir dir;
  // No encoder: the MIME type is the cause.
  for (const char* format : {"j", "jpeg", "", "IMAGE/PNG"}) {
    const SaveOutcome out = SaveSheet(sheet.canvas.get(), Settings(dir.File("x"), format, 85));
    EXPECT_EQ(out.kind, SaveOutcome::Kind::kNoEncoder) << format;
    EXPECT_EQ(out.cause, format);
    EXPECT_FALSE(out.written());
  }
  EXPECT_TRUE(Listing(dir.path()).empty());
  // An existing destination is kept as it is.
  ASSERT_TRUE(WriteFileBytes(dir.File("taken.jpg"), "mine"));
  SaveOutcome out =
      SaveSheet(sheet.canvas.get(), Settings(dir.File("taken.jpg"), "image/jpeg", 85));
  EXPECT_EQ(out.kind, SaveOutcome::Kind::kFailed);
  EXPECT_EQ(out.cause, "File exists");
  EXPECT_EQ(ReadFileBytes(dir.File("taken.jpg")), "mine");
  // A missing directory, and a canvas that was never created.
  out = SaveSheet(sheet.canvas.get(), Settings(dir.File("no/such.png"), "image/png", 85));
  EXPECT_EQ(out.kind, SaveOutcome::Kind::kFailed);
  EXPECT_EQ(out.cause, "No such file or directory");
  Bitmap failed(0, 10, PixelFormat32bppARGB);
  out = SaveSheet(failed.get(), Settings(dir.File("empty.png"), "image/png", 85));
  EXPECT_EQ(out.kind, SaveOutcome::Kind::kFailed);
  EXPECT_FALSE(out.cause.empty());
  EXPECT_EQ(Listing(dir.path()), std::vector<std::string>{"taken.jpg"});
}

TEST(SaveSheetTest, ADestinationThatIsNoTextIsWrittenUnderItsOwnBytes) {
  // Under the C locale the conversion code page is UTF-8, where a lone 0xFF byte is no text;
  // the name is written byte for byte all the same.
  Sheet sheet;
  TempDir dir;
  const SaveOutcome out =
      SaveSheet(sheet.canvas.get(), Settings(dir.File("bad\xff.png"), "image/png", 85));
  EXPECT_EQ(out.kind, SaveOutcome::Kind::kWritten) << out.cause;
  EXPECT_EQ(Listing(dir.path()), std::vector<std::string>{"bad\xff.png"});
}

}  // namespace
