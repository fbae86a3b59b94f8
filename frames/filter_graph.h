// SPDX-License-Identifier: GPL-3.0-or-later
// A libavfilter graph that runs a chain of filters on pictures. libavfilter and the libraries
// it brings (some seventy) are linked only into the module frames/filter_graph_module.cc,
// loaded when a run first meets a picture that needs filtering.
#pragma once

#include <memory>
#include <string>

struct AVFrame;

/// The module's entry points (C linkage), by name.
struct FilterGraphState;  // the module's own graph
extern "C" {
/// A graph from a source of pictures like `f` through `chain` to a sink; null when it cannot
/// be built.
using FilterGraphNewFunction = FilterGraphState* (*)(const AVFrame* f, const char* chain);
/// Feeds `in` to the graph (and then `following` when not null, and the end of input, when
/// `end_of_input`) and takes the next picture out into `out`. 0, or FFmpeg's error code.
using FilterGraphRunFunction = int (*)(FilterGraphState* graph, const AVFrame* in,
                                       const AVFrame* following, int end_of_input, AVFrame* out);
using FilterGraphFreeFunction = void (*)(FilterGraphState* graph);
}
inline constexpr char kFilterGraphModule[] = "filter_graph";
inline constexpr char kFilterGraphNewSymbol[] = "VgridFilterGraphNew";
inline constexpr char kFilterGraphRunSymbol[] = "VgridFilterGraphRun";
inline constexpr char kFilterGraphFreeSymbol[] = "VgridFilterGraphFree";

/// Owns one graph of the module's.
class FilterGraph {
 public:
  /// A graph that runs `chain` on pictures like `f`; null when the module cannot be loaded
  /// (the cause in *why) or the graph cannot be built.
  static std::unique_ptr<FilterGraph> Build(const AVFrame* f, const std::string& chain,
                                            std::string* why);
  ~FilterGraph();
  FilterGraph(const FilterGraph&) = delete;
  FilterGraph& operator=(const FilterGraph&) = delete;

  /// Feeds `in` (then, when `end_of_input`, `following` unless it is null and the end of
  /// input) and takes the next picture out into `out`. False on failure; the graph may then
  /// hold anything.
  bool Run(const AVFrame* in, const AVFrame* following, bool end_of_input, AVFrame* out);

 private:
  struct Functions;
  FilterGraph(const Functions* functions, FilterGraphState* state)
      : functions_(functions), state_(state) {}
  const Functions* functions_;
  FilterGraphState* state_;
};
