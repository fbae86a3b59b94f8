// SPDX-License-Identifier: GPL-3.0-or-later
// Test helpers for the FFmpeg detector: a movie opened with its first video stream current,
// a grab with the number of the frame it shows, and the frame a player shows at a time.
// Header only: the tests that use them link the frame source themselves.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "frames/ffmpeg_media_det.h"
#include "platform/imaging.h"
#include "testutil/fixture_movies.h"

/// The UTF-16 form of an ASCII path.
inline std::u16string Widen(const std::string& ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

/// A detector with `path` open (or the movie `same_movie` has open) and its first video
/// stream current.
inline std::unique_ptr<FfmpegMediaDet> OpenVideo(const std::string& path,
                                                 const FfmpegMediaDet* same_movie = nullptr) {
  auto det = std::make_unique<FfmpegMediaDet>();
  const HRESULT opened = same_movie != nullptr ? det->OpenSameMovie(*same_movie)
                                               : det->put_Filename(Widen(path).c_str());
  EXPECT_EQ(opened, S_OK) << det->LastErrorText();
  std::int32_t streams = 0;
  EXPECT_EQ(det->get_OutputStreams(&streams), S_OK);
  for (std::int32_t i = 0; i < streams; ++i) {
    GUID type;
    EXPECT_EQ(det->put_CurrentStream(i), S_OK);
    EXPECT_EQ(det->get_StreamType(&type), S_OK);
    if (type == MEDIATYPE_Video) return det;
  }
  ADD_FAILURE() << "no video stream in " << path;
  return det;
}

/// The fixture movie of `spec`, or "" with a test failure saying why.
inline std::string MakeMovie(const FixtureSpec& spec) {
  std::string error;
  std::string path = FixtureMovie(spec, &error);
  EXPECT_FALSE(path.empty()) << error;
  return path;
}

/// One grabbed FrameRecord.
struct GrabbedFrame {
  HRESULT hr = E_FAIL;
  int width = 0, height = 0;
  std::vector<std::uint8_t> record;
  const std::uint8_t* rows() const { return record.data() + 40; }
  int stride() const { return (width * 3 + 3) & ~3; }
  int Number() const { return ReadFrameNumber(rows(), width, height, stride(), true); }
  std::uint32_t Mean(int x, int y, int w, int h) const {
    return MeanColourBgr(rows(), height, stride(), true, x, y, w, h);
  }
};

/// The exact grab at `t`, at width x height.
inline GrabbedFrame GrabFrame(IMediaDet* det, double t, int width, int height) {
  GrabbedFrame f;
  f.width = width;
  f.height = height;
  std::int32_t size = 0;
  EXPECT_EQ(det->GetBitmapBits(0.0, &size, nullptr, width, height), S_OK);
  f.record.assign(size, 0xEE);
  f.hr = det->GetBitmapBits(t, nullptr, reinterpret_cast<char*>(f.record.data()), width, height);
  return f;
}

/// The frame a player shows at t in a movie of `frames` frames at `fps`.
inline int FrameShownAt(double t, int fps, int frames) {
  const double n = std::floor(t * fps + 1e-6);
  return n < 0 ? 0 : (n >= frames ? frames - 1 : static_cast<int>(n));
}

/// Checks that the detector's current stream is video described as width x height.
inline void ExpectVideoSize(IMediaDet* det, int width, int height) {
  AM_MEDIA_TYPE mt;
  ASSERT_EQ(det->get_StreamMediaType(&mt), S_OK);
  EXPECT_EQ(mt.majortype, MEDIATYPE_Video);
  EXPECT_EQ(mt.formattype, FORMAT_VideoInfo);
  ASSERT_EQ(mt.cbFormat, kVideoInfoHeaderSize);
  BITMAPINFOHEADER bih;
  std::memcpy(&bih, mt.pbFormat + kVideoInfoBitmapHeaderOffset, sizeof bih);
  EXPECT_EQ(bih.biSize, 40u);
  EXPECT_EQ(bih.biWidth, width);
  EXPECT_EQ(bih.biHeight, height);
  EXPECT_EQ(mt.pUnk, nullptr);
  CoTaskMemFree(mt.pbFormat);
}
