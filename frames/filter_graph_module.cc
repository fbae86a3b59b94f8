// SPDX-License-Identifier: GPL-3.0-or-later
// The filter graph module: a libavfilter graph from a buffer source through a chain of
// filters to a buffer sink, and the feeding of one picture through it. Linked against
// libavfilter; nothing else of the program's is in it.

#include <cstdint>  // before FFmpeg's headers, which want the C99 constant macros

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
}

#include <cstdio>
#include <memory>

#include "frames/filter_graph.h"
#include "platform/modules.h"

struct FilterGraphState {
  AVFilterGraph* graph = nullptr;
  AVFilterContext* source = nullptr;  // both owned by graph
  AVFilterContext* sink = nullptr;
  ~FilterGraphState() { avfilter_graph_free(&graph); }
};

namespace {

struct InOutFreer {
  void operator()(AVFilterInOut* p) const { avfilter_inout_free(&p); }
};
using InOutPtr = std::unique_ptr<AVFilterInOut, InOutFreer>;

struct FrameFreer {
  void operator()(AVFrame* p) const { av_frame_free(&p); }
};

}  // namespace

VGRID_MODULE_EXPORT FilterGraphState* VgridFilterGraphNew(const AVFrame* f, const char* chain) {
  auto state = std::make_unique<FilterGraphState>();
  state->graph = avfilter_graph_alloc();
  if (state->graph == nullptr) return nullptr;
  const AVRational sar = f->sample_aspect_ratio.num > 0 && f->sample_aspect_ratio.den > 0
                             ? f->sample_aspect_ratio
                             : AVRational{1, 1};
  char args[160];
  std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=1/1:pixel_aspect=%d/%d",
                f->width, f->height, f->format, sar.num, sar.den);
  AVFilterContext* source = nullptr;
  AVFilterContext* sink = nullptr;
  if (avfilter_graph_create_filter(&source, avfilter_get_by_name("buffer"), "in", args, nullptr,
                                   state->graph) < 0 ||
      avfilter_graph_create_filter(&sink, avfilter_get_by_name("buffersink"), "out", nullptr,
                                   nullptr, state->graph) < 0)
    return nullptr;
  // The chain's open input is fed by the source, its open output feeds the sink.
  InOutPtr from_source(avfilter_inout_alloc());
  InOutPtr to_sink(avfilter_inout_alloc());
  if (!from_source || !to_sink) return nullptr;
  from_source->name = av_strdup("in");
  from_source->filter_ctx = source;
  to_sink->name = av_strdup("out");
  to_sink->filter_ctx = sink;
  AVFilterInOut* outputs = from_source.release();
  AVFilterInOut* inputs = to_sink.release();
  int rc = avfilter_graph_parse_ptr(state->graph, chain, &inputs, &outputs, nullptr);
  from_source.reset(outputs);
  to_sink.reset(inputs);
  if (rc >= 0) rc = avfilter_graph_config(state->graph, nullptr);
  if (rc < 0) return nullptr;
  state->source = source;
  state->sink = sink;
  return state.release();
}

VGRID_MODULE_EXPORT int VgridFilterGraphRun(FilterGraphState* state, const AVFrame* in,
                                            const AVFrame* following, int end_of_input,
                                            AVFrame* out) {
  std::unique_ptr<AVFrame, FrameFreer> copy(av_frame_clone(in));
  if (!copy) return AVERROR(ENOMEM);
  av_frame_unref(out);
  int rc = av_buffersrc_add_frame_flags(state->source, copy.get(), 0);
  if (rc >= 0 && end_of_input && following != nullptr) {
    std::unique_ptr<AVFrame, FrameFreer> after(av_frame_clone(following));
    if (after) rc = av_buffersrc_add_frame_flags(state->source, after.get(), 0);
  }
  if (rc >= 0 && end_of_input) rc = av_buffersrc_add_frame_flags(state->source, nullptr, 0);
  if (rc >= 0) rc = av_buffersink_get_frame(state->sink, out);
  return rc;
}

VGRID_MODULE_EXPORT void VgridFilterGraphFree(FilterGraphState* state) { delete state; }
