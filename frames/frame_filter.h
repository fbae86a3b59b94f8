// SPDX-License-Identifier: GPL-3.0-or-later
// What a player does to a decoded picture before its colours are converted for the screen:
// interlaced pictures are deinterlaced, HDR pictures (PQ or HLG transfer) are tone mapped to
// BT.709 SDR, and wide-gamut SDR ones (BT.2020 primaries) get BT.709 primaries. Ordinary
// progressive SDR pictures pass through untouched, at no cost.
#pragma once

#include <memory>
#include <string>

#include "frames/av_handles.h"
#include "frames/filter_graph.h"

class FrameFilter {
 public:
  FrameFilter();
  ~FrameFilter();
  FrameFilter(const FrameFilter&) = delete;
  FrameFilter& operator=(const FrameFilter&) = delete;

  /// The picture to convert for frame `f` of stream `st` (followed by the frame `following`,
  /// null when unknown), which is to be scaled to `width` x `height` (before any turning): `f`
  /// itself when it needs nothing, otherwise the filtered picture, valid until the next call. Its
  /// colours are as the frame states them, else as the stream does (colour codes that are none of
  /// FFmpeg's count as unspecified). Deinterlaced pictures keep the frame's size and format;
  /// colour-converted ones are 8-bit planar RGB, made no bigger than they are to be shown. A
  /// picture the filters cannot take (a size or colour coding they do not handle) is given back as
  /// it is, to be shown as decoded. Null when memory runs out.
  const AVFrame* Apply(const AVFrame* f, const AVFrame* following, const AVStream* st, int width,
                       int height);

 private:
  // `f` itself when it describes its colours fully (or its stream says no more), otherwise
  // a reference to its picture that describes them; null when memory runs out.
  const AVFrame* Described(const AVFrame* f, const AVStream* st);

  std::unique_ptr<FilterGraph> graph_;
  std::string built_for_;  // the chain and picture format graph_ was built for
  bool spent_ = false;     // graph_ was flushed to give a deinterlaced frame; build anew
  FramePtr out_;
  FramePtr described_;
};
