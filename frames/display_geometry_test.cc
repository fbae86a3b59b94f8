// SPDX-License-Identifier: GPL-3.0-or-later
// Pictures shown as a player shows them: turned and mirrored as the stream's display matrix says,
// and stretched by its pixel shape.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "frames/ffmpeg_media_det.h"
#include "testutil/detector_grabs.h"
#include "testutil/fixture_movies.h"

namespace {

TEST(DisplayGeometryTest, RotatedAndAnamorphicSourcesShowAtTheirDisplaySize) {
  // Turned, and turned then mirrored (a mirror alone, a flip upside down as 180 degrees and a
  // mirror, a transposition as 90 or 270 degrees and a mirror).
  for (auto [rotation, mirror] :
       {std::pair{90, false}, std::pair{180, false}, std::pair{270, false}, std::pair{0, true},
        std::pair{90, true}, std::pair{180, true}, std::pair{270, true}}) {
    SCOPED_TRACE(std::to_string(rotation) + (mirror ? " mirrored" : ""));
    FixtureSpec spec;
    spec.container = "mp4";
    spec.codec = "libx264";
    spec.codec_args = {"-preset", "veryfast", "-crf", "18"};
    spec.frames = 12;
    spec.rotation = rotation;
    spec.mirror = mirror;
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
