// What a player does to a decoded picture before its colours are converted for the screen:
// interlaced pictures are deinterlaced, and HDR pictures (PQ or HLG transfer) are tone mapped
// to BT.709 SDR, as are wide-gamut BT.2020 ones converted to BT.709 primaries. Ordinary
// progressive SDR pictures pass through untouched, at no cost.
#pragma once

#include <memory>
#include <string>

struct AVFilterContext;
struct AVFilterGraph;
struct AVFrame;
struct AVStream;

class FrameFilter {
 public:
  FrameFilter();
  ~FrameFilter();
  FrameFilter(const FrameFilter&) = delete;
  FrameFilter& operator=(const FrameFilter&) = delete;

  /// The picture to convert for frame `f` of stream `st`: `f` itself when it needs nothing,
  /// otherwise the filtered picture (the same size, as 8-bit planar RGB after tone mapping or
  /// in the frame's own format after deinterlacing), valid until the next call or Reset.
  /// nullptr on failure, with the reason in *error.
  const AVFrame* Apply(const AVFrame* f, const AVStream* st, std::string* error);
  /// Forgets the filter graph (a new file may bring other pictures).
  void Reset();

 private:
  bool Build(const AVFrame* f, const std::string& chain, std::string* error);

  struct GraphFreer {
    void operator()(AVFilterGraph* p) const;
  };
  struct FrameFreer {
    void operator()(AVFrame* p) const;
  };
  std::unique_ptr<AVFilterGraph, GraphFreer> graph_;
  AVFilterContext* source_ = nullptr;  // both owned by graph_
  AVFilterContext* sink_ = nullptr;
  std::string built_for_;  // the chain and picture format graph_ was built for
  bool spent_ = false;     // graph_ was flushed to give a deinterlaced frame; build anew
  std::unique_ptr<AVFrame, FrameFreer> out_;
};
