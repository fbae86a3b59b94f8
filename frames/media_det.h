// SPDX-License-Identifier: GPL-3.0-or-later
// The media detector: opens a movie, enumerates its streams, reports a stream's type,
// media type and length, and delivers the frame at a given time as a 24-bit DIB.
// The sheet talks to it only through IMediaDet, so tests can put a fake in its place.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/com.h"
#include "platform/text_conv.h"

/// {65BD0711-24D2-4FF7-9324-ED2E5D3ABAFA}
inline constexpr GUID CLSID_MediaDet = {
    0x65BD0711, 0x24D2, 0x4FF7, {0x93, 0x24, 0xED, 0x2E, 0x5D, 0x3A, 0xBA, 0xFA}};
/// {65BD0710-24D2-4FF7-9324-ED2E5D3ABAFA}
inline constexpr GUID IID_IMediaDet = {
    0x65BD0710, 0x24D2, 0x4FF7, {0x93, 0x24, 0xED, 0x2E, 0x5D, 0x3A, 0xBA, 0xFA}};
/// {73646976-0000-0010-8000-00AA00389B71}
inline constexpr GUID MEDIATYPE_Video = {
    0x73646976, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
/// {73647561-0000-0010-8000-00AA00389B71}
inline constexpr GUID MEDIATYPE_Audio = {
    0x73647561, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
/// {73747874-0000-0010-8000-00AA00389B71}
inline constexpr GUID MEDIATYPE_Text = {
    0x73747874, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
/// {05589F80-C356-11CE-BF01-00AA0055595A}
inline constexpr GUID FORMAT_VideoInfo = {
    0x05589F80, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
/// {F72A76A0-EB0A-11D0-ACE4-0000C0CC16BA}
inline constexpr GUID FORMAT_VideoInfo2 = {
    0xF72A76A0, 0xEB0A, 0x11D0, {0xAC, 0xE4, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
/// {00000000-0000-0000-0000-000000000000}
inline constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

inline constexpr std::uint32_t CLSCTX_ALL = 23;

/// Minimal reference-counted interface, for the media type's pUnk member.
class IUnknown {
 public:
  virtual std::uint32_t AddRef() = 0;
  virtual std::uint32_t Release() = 0;

 protected:
  ~IUnknown() = default;
};

struct AM_MEDIA_TYPE {
  GUID majortype;
  GUID subtype;
  bool bFixedSizeSamples;
  bool bTemporalCompression;
  std::uint32_t lSampleSize;
  GUID formattype;
  IUnknown* pUnk;
  std::uint32_t cbFormat;
  std::uint8_t* pbFormat;  ///< allocated with CoTaskMemAlloc; the caller frees it
};

/// Byte offsets inside an 88-byte video-info format block.
inline constexpr std::uint32_t kVideoInfoHeaderSize = 88;
inline constexpr std::uint32_t kVideoInfoBitmapHeaderOffset = 48;
inline constexpr std::uint32_t kVideoInfoWidthOffset = 52;
inline constexpr std::uint32_t kVideoInfoHeightOffset = 56;

/// The most detectors that grab one sheet at once.
inline constexpr int kMaxGrabWorkers = 2;

/// What a movie file says about itself, for a reader of the sheet: the file, its current
/// video stream and its first audio stream. Texts are short display names in English.
struct MovieFacts {
  std::int64_t file_bytes = -1;  ///< -1 when unknown
  std::int64_t bit_rate = 0;     ///< of the whole file, bits a second; 0 when unknown
  /// The picture as stored, turned upright (a phone's portrait movie is taller than wide).
  std::int32_t picture_width = 0;
  std::int32_t picture_height = 0;
  double frame_rate = 0;      ///< frames a second; 0 when the stream states none
  std::string video_codec;    ///< "H.264", "HEVC", "AV1", ...
  std::string video_profile;  ///< "High", "Main 10", ...; empty when none
  std::string hdr;            ///< "HDR (PQ)" or "HDR (HLG)"; empty for SDR video
  bool interlaced = false;
  bool has_audio = false;
  std::string audio_codec;     ///< "AAC", "Opus", ...
  std::string audio_channels;  ///< "mono", "stereo", "5.1", "3 channels", ...
  std::string audio_language;  ///< the ISO 639 code the file tags it with; empty when none
};

class IMediaDet {
 public:
  virtual ~IMediaDet() = default;
  virtual HRESULT get_OutputStreams(std::int32_t* count) = 0;
  virtual HRESULT put_CurrentStream(std::int32_t index) = 0;
  virtual HRESULT get_StreamType(GUID* major_type) = 0;
  /// Length of the current stream in seconds.
  virtual HRESULT get_StreamLength(double* seconds) = 0;
  /// Opens the movie; fails for a file that cannot be opened as one.
  virtual HRESULT put_Filename(const char16_t* path) = 0;
  /// Opens the movie `other` has open: the same file, whatever its name names by now (a
  /// detector of this kind reads it through a duplicate of other's descriptor). `other` must
  /// have a movie open and be of the same kind; it may be grabbing on another thread
  /// meanwhile. This default cannot: E_NOINTERFACE.
  virtual HRESULT OpenSameMovie(const IMediaDet& other) {
    (void)other;
    return E_NOINTERFACE;
  }
  /// With a null buffer: *size receives the bytes one frame of width x height needs (a
  /// 40-byte BITMAPINFOHEADER and 24-bit bottom-up rows padded to 4 bytes). With a buffer:
  /// fills it with the frame shown at `seconds`, scaled to width x height. A frame whose shape
  /// differs from the stream's (the picture changed size or pixel shape mid-stream) is scaled
  /// to fit width x height with its own aspect kept instead, and the record's header gives
  /// the size delivered. size may be null.
  virtual HRESULT GetBitmapBits(double seconds, std::int32_t* size, char* buffer,
                                std::int32_t width, std::int32_t height) = 0;
  /// Like GetBitmapBits with a buffer, but any frame shown within `tolerance` seconds of
  /// `seconds` will do, and the detector takes the one it reaches at least cost. The choice
  /// depends only on the movie, `seconds` and `tolerance`, never on earlier grabs. This
  /// default grabs the exact frame.
  virtual HRESULT GetBitmapBitsNear(double seconds, double tolerance, char* buffer,
                                    std::int32_t width, std::int32_t height) {
    (void)tolerance;
    return GetBitmapBits(seconds, nullptr, buffer, width, height);
  }
  /// How many detectors of this movie are worth grabbing at once, each on its own thread, for
  /// samples `interval` seconds apart (each within a quarter of it). At least 1, at most
  /// kMaxGrabWorkers.
  virtual int SuggestedGrabWorkers(double interval) const {
    (void)interval;
    return 1;
  }
  /// Which group of pictures GetBitmapBitsNear(seconds, tolerance) decodes from: grabs of the
  /// same group, made one after the other in time order by one detector, share their
  /// decoding. Groups never decrease with time. -1: the grab shares nothing with others.
  virtual std::int64_t GrabGroup(double seconds, double tolerance) const {
    (void)seconds;
    (void)tolerance;
    return -1;
  }
  /// Threads the detector may decode with, from the next grab on: 1 when other detectors
  /// keep the other cores busy, 0 for as many as the codec finds worth using.
  virtual void SetDecodeThreads(int threads) { (void)threads; }
  /// Whether more grabs of the same group of pictures (GrabGroup) follow the next one in
  /// this detector, which may then leave the decoder where they can decode on from it. For
  /// the next grab only; until told, none follow.
  virtual void SetMoreOfGroupToFollow(bool more) { (void)more; }
  /// The colour (0xRRGGBB) that frames with transparent parts are laid over before they are
  /// delivered, from the next grab on; black until set. Opaque frames do not change.
  virtual void SetBackground(std::uint32_t rgb) { (void)rgb; }
  /// The frame the last successful grab delivered: when it starts (its own presentation
  /// time, on the clock of the grab times) in *start, and when the frame after it starts in
  /// *next (its start and duration when that frame is not known yet; NaN when neither is).
  /// E_UNEXPECTED before a grab; this default cannot tell.
  virtual HRESULT GetLastFrameTimes(double* start, double* next) const {
    (void)start;
    (void)next;
    return E_NOTIMPL;
  }
  /// The facts of the open movie and its current stream; this default knows none.
  virtual HRESULT GetMovieFacts(MovieFacts* facts) const {
    (void)facts;
    return E_NOTIMPL;
  }
  virtual HRESULT get_StreamMediaType(AM_MEDIA_TYPE* media_type) = 0;
  /// The cause of the last failure in words (FFmpeg's or the system's message), or empty.
  virtual std::string LastErrorText() const = 0;
};

using MediaDetPtr = std::unique_ptr<IMediaDet>;

/// Creates the detector named by `clsid` (CLSID_MediaDet gives the FFmpeg detector). This and
/// DefaultMediaDetFactory live in media_det_factory.cc, which includes the FFmpeg detector's
/// header: the interface here knows no implementation.
HRESULT CoCreateInstance(const GUID& clsid, void* outer, std::uint32_t context, const GUID& iid,
                         MediaDetPtr* detector);

/// How the sheet obtains its detector; tests pass one that makes a fake.
using MediaDetFactory = std::function<HRESULT(MediaDetPtr*)>;
/// The factory that calls CoCreateInstance for CLSID_MediaDet.
MediaDetFactory DefaultMediaDetFactory();
