// SPDX-License-Identifier: GPL-3.0-or-later
// Pictures shown as a player shows them: turned by the stream's rotation, and stretched by its
// pixel shape.
#include <gtest/gtest.h>

#include <utility>

#include "frames/ffmpeg_media_det.h"
#include "testutil/detector_grabs.h"
#include "testutil/fixture_movies.h"

namespace {

TEST(DisplayGeometryTest, RotatedAndAnamorphicSourcesShowAtTheirDisplaySize) {
  for (int rotation : {90, 180, 270}) {
    SCOPED_TRACE(rotation);
    FixtureSpec spec;
    spec.container = "mp4";
    spec.codec = "libx264";
    spec.codec_args = {"-preset", "veryfast", "-crf", "18"};
    spec.frames = 12;
    spec.rotation = rotation;
    auto det = OpenVideo(MakeMovie(spec));
    ExpectVideoSize(det.get(), 160, 120);
    EXPECT_EQ(GrabFrame(det.get(), 0.7, 160, 120).Number(), 7);
  }
  for (auto [num, den] : {std::pair{2, 1}, std::pair{4, 3}}) {
    SCOPED_TRACE(num);
    FixtureSpec spec;
    spec.frames = 8;
    spec.sar_num = num;
    spec.sar_den = den;
    auto det = OpenVideo(MakeMovie(spec));
    ExpectVideoSize(det.get(), 160, 120);  // stored 80 or 120 wide, shown 160 wide
    const GrabbedFrame f = GrabFrame(det.get(), 0.5, 160, 120);
    EXPECT_EQ(f.Number(), 5);
  }
}

}  // namespace
