// SPDX-License-Identifier: GPL-3.0-or-later
// The keyframes a container's index lists for a chosen stream, as they stood when the stream
// was chosen, and the plan of a grab worked out from them: which keyframe to decode alone,
// or where decoding forward stops. Planning is arithmetic on the time, the tolerance and the
// table alone, so that a grab never depends on what was decoded before.
#pragma once

extern "C" {
#include <libavutil/rational.h>
}

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

class Demuxer;
struct AVStream;

/// The keyframes the index lists for one stream.
struct KeyframeTable {
  std::vector<std::int64_t> times;  ///< in stream ticks, as listed, sorted
  /// What to add to a listed time for the keyframe's presentation time: some containers list
  /// decoding times, which B-frames put a few frames earlier.
  std::int64_t presentation_shift = 0;
};

/// The keyframe tables of the streams chosen so far. A container's index can grow as the
/// file is read; a table taken once does not, so that every detector of the movie plans alike.
class KeyframeIndex {
 public:
  /// Takes the table of stream `index` unless it was taken before. Only video streams are
  /// listed; that takes a seek and a few reads (moving the demuxer) to learn which time the
  /// index holds. Only the stream that is grabbed from needs a table: listing every track
  /// would seek and read for each one.
  void Take(Demuxer& demuxer, int index);
  /// The table of stream `index`: empty for a stream not taken, not video, or not indexed.
  const KeyframeTable& Table(int index) const;

 private:
  std::map<int, KeyframeTable> tables_;
};

/// A stream's clock, as a plan counts time in it.
struct StreamClock {
  AVRational time_base{1, 1};
  std::int64_t ticks_per_frame = 0;  ///< at the stream's frame rate; 0 when it states none
  std::int64_t origin = 0;           ///< time of the stream's first frame, in ticks
};

/// The clock of `st` with its first frame at `origin`.
StreamClock ClockOf(const AVStream* st, std::int64_t origin);

/// How a grab is made.
struct GrabPlan {
  std::int64_t target = 0;       ///< the time asked for, in stream ticks (origin added)
  std::int64_t half_window = 0;  ///< how far from target the frame may lie; 0: exactly there
  /// Decoding forward stops at the first picture after this time: target, or, with
  /// take_first_in_window, a frame inside the window's start.
  std::int64_t decode_to = 0;
  /// The picture after decode_to is taken when it is not after target, else the one shown
  /// at target: the first picture inside the window, for most of a quarter interval of
  /// pictures less decoding.
  bool take_first_in_window = false;
  /// The table entry of the listed keyframe in the window nearest to target, or -1.
  std::ptrdiff_t nearest_keyframe = -1;
  /// Where to seek to decode that keyframe alone.
  std::int64_t keyframe_seek = 0;
  /// The table entry of the last listed keyframe at or before decode_to, or -1.
  std::ptrdiff_t keyframe_before = -1;
};

/// The plan of a grab at `seconds` (from the stream's first frame; NaN counts as 0) that may
/// take any frame within `tolerance` seconds of it: the exact frame when the window is
/// narrower than a frame.
GrabPlan PlanGrab(double seconds, double tolerance, const StreamClock& clock,
                  const KeyframeTable& keys);
