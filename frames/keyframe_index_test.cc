// SPDX-License-Identifier: GPL-3.0-or-later
// The plan of a grab, worked out from tables of keyframes alone: which keyframe in the window
// is decoded alone, where decoding forward stops, and from which keyframe it starts.
#include "frames/keyframe_index.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

// Milliseconds, 25 frames a second: a frame lasts 40 ticks.
constexpr AVRational kMilliseconds{1, 1000};
constexpr std::int64_t kFrame = 40;

// A keyframe each second, from 0 to 9 s.
std::vector<std::int64_t> EverySecond() {
  std::vector<std::int64_t> keys;
  for (std::int64_t t = 0; t <= 9000; t += 1000) keys.push_back(t);
  return keys;
}

TEST(KeyframeIndexTest, PlanFromTimeToleranceAndTable) {
  struct Case {
    const char* what;
    double seconds, tolerance;
    std::vector<std::int64_t> keys;
    std::int64_t shift;   // presentation_shift of the table
    std::int64_t origin;  // of the clock
    // The plan expected.
    std::int64_t target, decode_to;
    bool first_in_window;
    std::ptrdiff_t nearest;
    std::int64_t seek;  // checked only with a nearest keyframe
    std::ptrdiff_t before;
  };
  const std::vector<std::int64_t> every_second = EverySecond();
  const Case cases[] = {
      {"keyframe before the time, in the window", 3.3, 0.5, every_second, 0, 0,  //
       3300, 3300 - 500 + kFrame - 1, true, 3, 3500, 2},
      {"keyframe after the time, in the window", 5.9, 0.2, every_second, 0, 0,  //
       5900, 5900 - 200 + kFrame - 1, true, 6, 6500, 5},
      {"the nearer of two keyframes in the window", 2.56, 0.5, every_second, 0, 0,  //
       2560, 2560 - 500 + kFrame - 1, true, 3, 3500, 2},
      {"equally near: the earlier", 2.5, 0.5, every_second, 0, 0,  //
       2500, 2500 - 500 + kFrame - 1, true, 2, 2500, 2},
      {"no keyframe in the window: the first picture in it", 3.5, 0.2, every_second, 0, 0,  //
       3500, 3500 - 200 + kFrame - 1, true, -1, 0, 3},
      {"a window narrower than a frame: the exact frame", 7.45, 0.02, every_second, 0, 0,  //
       7450, 7450, false, -1, 0, 7},
      {"no tolerance: the exact frame", 1.1, 0, every_second, 0, 0,  //
       1100, 1100, false, -1, 0, 1},
      {"a window reaching before the first frame starts there", 0.1, 0.5, every_second, 0, 0,  //
       100, 100, false, 0, 500, 0},
      {"decoding times listed: the shift makes them presentation times",
       2.15,
       0.2,
       {920, 1920, 2920},
       80,
       0,  //
       2150,
       2150 - 200 + kFrame - 1,
       true,
       1,
       2420,
       0},
      {"the last keyframe: half the mean gap past it", 9.2, 0.3, every_second, 0, 0,  //
       9200, 9200 - 300 + kFrame - 1, true, 9, 9500, 8},
      {"a lone keyframe: half a second past it",
       0.9,
       0.3,
       {1000},
       0,
       0,  //
       900,
       900 - 300 + kFrame - 1,
       true,
       0,
       1500,
       -1},
      {"without an index, a window but no keyframe",
       3.3,
       0.5,
       {},
       0,
       0,  //
       3300,
       3300 - 500 + kFrame - 1,
       true,
       -1,
       0,
       -1},
      {"times count from the stream's first frame", 1.0, 0, every_second, 0, 500,  //
       1500, 1500, false, -1, 0, 1},
      {"before the first frame: the first frame", -1.0, 0, every_second, 0, 500,  //
       500, 500, false, -1, 0, 0},
      {"no time at all: the first frame", NAN, 0, every_second, 0, 500,  //
       500, 500, false, -1, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const KeyframeTable table{c.keys, c.shift};
    const GrabPlan plan =
        PlanGrab(c.seconds, c.tolerance, StreamClock{kMilliseconds, kFrame, c.origin}, table);
    EXPECT_EQ(plan.target, c.target);
    EXPECT_EQ(plan.decode_to, c.decode_to);
    EXPECT_EQ(plan.take_first_in_window, c.first_in_window);
    EXPECT_EQ(plan.half_window > 0, c.first_in_window || c.nearest >= 0);
    EXPECT_EQ(plan.nearest_keyframe, c.nearest);
    if (c.nearest >= 0) {
      EXPECT_EQ(plan.keyframe_seek, c.seek);
    }
    EXPECT_EQ(plan.keyframe_before, c.before);
  }
}

}  // namespace
