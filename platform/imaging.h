// SPDX-License-Identifier: GPL-3.0-or-later
// The imaging layer: an in-memory 32-bit ARGB canvas, drawing with high-quality scaling
// through a colour matrix, and encoders chosen by MIME type. The flat functions keep the
// names and argument order of the imaging interface the rest of the program was written
// against; the owners below hold each handle and release it on every path.
#pragma once

#include <cstdint>
#include <string>

#include "platform/com.h"

enum GpStatus : int {
  Ok = 0,
  GenericError = 1,
  InvalidParameter = 2,
  OutOfMemory = 3,
  ObjectBusy = 4,
  InsufficientBuffer = 5,
  NotImplemented = 6,
  Win32Error = 7,
  WrongState = 8,
  Aborted = 9,
  FileNotFound = 10,
  ValueOverflow = 11,
  AccessDenied = 12,
  UnknownImageFormat = 13,
  GdiplusNotInitialized = 18,
};

using ARGB = std::uint32_t;
using PixelFormat = int;
inline constexpr PixelFormat PixelFormat32bppARGB = 0x26200A;

enum CompositingMode : int { CompositingModeSourceOver = 0, CompositingModeSourceCopy = 1 };
enum InterpolationMode : int {
  InterpolationModeDefault = 0,
  InterpolationModeLowQuality = 1,
  InterpolationModeHighQuality = 2,
  InterpolationModeBilinear = 3,
  InterpolationModeBicubic = 4,
  InterpolationModeNearestNeighbor = 5,
  InterpolationModeHighQualityBilinear = 6,
  InterpolationModeHighQualityBicubic = 7,
};
enum Unit : int { UnitWorld = 0, UnitDisplay = 1, UnitPixel = 2 };
enum ColorAdjustType : int { ColorAdjustTypeDefault = 0 };
enum ColorMatrixFlags : int { ColorMatrixFlagsDefault = 0 };

/// 40-byte device-independent bitmap header.
#pragma pack(push, 1)
struct BITMAPINFOHEADER {
  std::uint32_t biSize;
  std::int32_t biWidth;
  std::int32_t biHeight;  ///< positive: rows bottom-up; negative: top-down
  std::uint16_t biPlanes;
  std::uint16_t biBitCount;
  std::uint32_t biCompression;  ///< 0 (BI_RGB)
  std::uint32_t biSizeImage;
  std::int32_t biXPelsPerMeter;
  std::int32_t biYPelsPerMeter;
  std::uint32_t biClrUsed;
  std::uint32_t biClrImportant;
};
#pragma pack(pop)
static_assert(sizeof(BITMAPINFOHEADER) == 40);
struct BITMAPINFO {
  BITMAPINFOHEADER bmiHeader;
};
inline constexpr std::uint32_t BI_RGB = 0;

/// Bytes of one row of a bitmap `width` pixels wide at `bits_per_pixel`: rows are padded to 4
/// bytes.
constexpr std::int64_t DibRowBytes(std::int64_t width, int bits_per_pixel) {
  return (width * bits_per_pixel + 31) / 32 * 4;
}
/// The header of a 24-bit BI_RGB bitmap of width x height (bottom-up for a positive height),
/// with its image size filled in.
BITMAPINFOHEADER Dib24Header(std::int32_t width, std::int32_t height);

/// The largest canvas: 65,535 pixels a side (what the encoders can write) and 1 GiB of pixels.
inline constexpr std::int64_t kMaxCanvasSide = 65535;
inline constexpr std::int64_t kMaxCanvasBytes = std::int64_t{1} << 30;

/// 5 x 5 matrix, row-vector convention: [r g b a 1] * m, channels on the 0..1 scale.
struct ColorMatrix {
  float m[5][5];
};

struct ImageCodecInfo {
  GUID Clsid;
  GUID FormatID;
  const char16_t* CodecName;
  const char16_t* DllName;
  const char16_t* FormatDescription;
  const char16_t* FilenameExtension;
  const char16_t* MimeType;
  std::uint32_t Flags;
  std::uint32_t Version;
  std::uint32_t SigCount;
  std::uint32_t SigSize;
  const std::uint8_t* SigPattern;
  const std::uint8_t* SigMask;
};

inline constexpr std::uint32_t EncoderParameterValueTypeLong = 4;
/// {1D5BE4B5-FA4A-452D-9CDD-5DB35105E7EB}
inline constexpr GUID EncoderQuality = {
    0x1D5BE4B5, 0xFA4A, 0x452D, {0x9C, 0xDD, 0x5D, 0xB3, 0x51, 0x05, 0xE7, 0xEB}};

struct EncoderParameter {
  GUID Guid;
  std::uint32_t NumberOfValues;
  std::uint32_t Type;
  void* Value;
};
struct EncoderParameters {
  std::uint32_t Count;
  EncoderParameter Parameter[1];
};

struct GdiplusStartupInput {
  std::uint32_t GdiplusVersion = 1;
  void* DebugEventCallback = nullptr;
  bool SuppressBackgroundThread = false;
  bool SuppressExternalCodecs = false;
};

/// Opaque handles. A bitmap is an image; the canvas and the frame bitmaps are both bitmaps.
struct GpImage;
using GpBitmap = GpImage;
struct GpGraphics;
struct GpImageAttributes;

GpStatus GdiplusStartup(std::uintptr_t* token, const GdiplusStartupInput* input, void* output);
void GdiplusShutdown(std::uintptr_t token);

/// A canvas of width x height whose pixels the layer owns (scan0 must be null, stride 0).
/// Sizes of 0 or less, or above kMaxCanvasSide a side or kMaxCanvasBytes, are refused.
GpStatus GdipCreateBitmapFromScan0(int width, int height, int stride, PixelFormat format,
                                   std::uint8_t* scan0, GpBitmap** bitmap);
/// A bitmap over 24-bit rows described by `info`; the rows must stay valid until it is
/// disposed. Rows are padded to 4 bytes; bottom-up for a positive biHeight.
GpStatus GdipCreateBitmapFromGdiDib(const BITMAPINFO* info, void* bits, GpBitmap** bitmap);
GpStatus GdipGetImageGraphicsContext(GpImage* image, GpGraphics** graphics);
GpStatus GdipGraphicsClear(GpGraphics* graphics, ARGB color);
GpStatus GdipSetCompositingMode(GpGraphics* graphics, CompositingMode mode);
GpStatus GdipSetInterpolationMode(GpGraphics* graphics, InterpolationMode mode);
GpStatus GdipCreateImageAttributes(GpImageAttributes** attributes);
GpStatus GdipSetImageAttributesColorMatrix(GpImageAttributes* attributes, ColorAdjustType type,
                                           bool enable, const ColorMatrix* matrix,
                                           const ColorMatrix* grey, ColorMatrixFlags flags);
/// Draws the source rectangle of `image` scaled into the destination rectangle.
GpStatus GdipDrawImageRectRectI(GpGraphics* graphics, GpImage* image, int dst_x, int dst_y,
                                int dst_width, int dst_height, int src_x, int src_y, int src_width,
                                int src_height, Unit unit, const GpImageAttributes* attributes,
                                void* callback, void* callback_data);
GpStatus GdipGetImageEncodersSize(std::uint32_t* count, std::uint32_t* size);
GpStatus GdipGetImageEncoders(std::uint32_t count, std::uint32_t size, ImageCodecInfo* encoders);
/// Writes `image` with the encoder `clsid`. Never replaces an existing file and never leaves
/// a partial file behind. On failure, `why` (when given) receives the cause in words.
GpStatus GdipSaveImageToFile(GpImage* image, const char16_t* filename, const GUID* clsid,
                             const EncoderParameters* params, std::string* why = nullptr);
GpStatus GdipDisposeImageAttributes(GpImageAttributes* attributes);
GpStatus GdipDisposeImage(GpImage* image);
GpStatus GdipDeleteGraphics(GpGraphics* graphics);

// Read-back, for tests and checks.
GpStatus GdipGetImageWidth(GpImage* image, std::uint32_t* width);
GpStatus GdipGetImageHeight(GpImage* image, std::uint32_t* height);
GpStatus GdipBitmapGetPixel(GpBitmap* bitmap, int x, int y, ARGB* color);
/// Sets one pixel of a canvas (frame bitmaps are read-only: their rows belong to the caller).
GpStatus GdipBitmapSetPixel(GpBitmap* bitmap, int x, int y, ARGB color);

/// A rectangle of pixels.
struct GpRect {
  int X = 0;
  int Y = 0;
  int Width = 0;
  int Height = 0;
};
/// Copies the rectangle `rect` of a canvas, which must lie wholly inside it, into `pixels`:
/// 0xAARRGGBB words, rows top-down, `stride` words from one row to the next (at least
/// rect.Width). With GdipBitmapWritePixels, the way to draw on a strip of the canvas with
/// another library and put the strip back.
GpStatus GdipBitmapReadPixels(GpBitmap* bitmap, const GpRect& rect, ARGB* pixels, int stride);
/// Copies `pixels` (laid out as GdipBitmapReadPixels gives them) into the rectangle `rect` of
/// a canvas.
GpStatus GdipBitmapWritePixels(GpBitmap* bitmap, const GpRect& rect, const ARGB* pixels,
                               int stride);

/// A status in words ("invalid parameter", "access denied", ...), for diagnostics.
std::string GpStatusText(GpStatus status);

// Scope-bound owners. Each keeps its handle and the last failing status of the calls made
// through it, and releases the handle when destroyed. A failed creation leaves a null handle,
// and every later call on the owner is then without effect.
class Bitmap {
 public:
  Bitmap(int width, int height, PixelFormat format);  ///< canvas
  Bitmap(const BITMAPINFO* info, void* bits);         ///< frame over DIB rows
  ~Bitmap();
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;
  GpBitmap* get() const { return handle_; }
  GpStatus last_status() const { return last_status_; }

 private:
  GpBitmap* handle_ = nullptr;
  GpStatus last_status_ = Ok;
};

class Graphics {
 public:
  explicit Graphics(Bitmap& canvas);
  ~Graphics();
  Graphics(const Graphics&) = delete;
  Graphics& operator=(const Graphics&) = delete;
  GpGraphics* get() const { return handle_; }
  GpStatus Clear(ARGB color);
  GpStatus SetCompositingMode(CompositingMode mode);
  GpStatus SetInterpolationMode(InterpolationMode mode);
  GpStatus DrawImage(Bitmap& image, int dst_x, int dst_y, int dst_width, int dst_height, int src_x,
                     int src_y, int src_width, int src_height, Unit unit,
                     const class ImageAttributes* attributes);
  GpStatus last_status() const { return last_status_; }

 private:
  GpGraphics* handle_ = nullptr;
  GpStatus last_status_ = Ok;
};

class ImageAttributes {
 public:
  ImageAttributes();
  ~ImageAttributes();
  ImageAttributes(const ImageAttributes&) = delete;
  ImageAttributes& operator=(const ImageAttributes&) = delete;
  GpImageAttributes* get() const { return handle_; }
  GpStatus SetColorMatrix(const ColorMatrix& matrix);
  GpStatus last_status() const { return last_status_; }

 private:
  GpImageAttributes* handle_ = nullptr;
  GpStatus last_status_ = Ok;
};
