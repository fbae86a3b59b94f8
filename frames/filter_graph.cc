// SPDX-License-Identifier: GPL-3.0-or-later
// The program's side of the filter graph: the module's entry points, looked up once.
#include "frames/filter_graph.h"

#include <mutex>

#include "platform/modules.h"

struct FilterGraph::Functions {
  FilterGraphNewFunction create = nullptr;
  FilterGraphRunFunction run = nullptr;
  FilterGraphFreeFunction destroy = nullptr;
  std::string error;  // why they could not be had
};

std::unique_ptr<FilterGraph> FilterGraph::Build(const AVFrame* f, const std::string& chain,
                                                std::string* why) {
  static Functions functions;
  static std::once_flag looked_up;
  std::call_once(looked_up, [] {
    void* create = ModuleSymbol(kFilterGraphModule, kFilterGraphNewSymbol, &functions.error);
    void* run = ModuleSymbol(kFilterGraphModule, kFilterGraphRunSymbol, &functions.error);
    void* destroy = ModuleSymbol(kFilterGraphModule, kFilterGraphFreeSymbol, &functions.error);
    if (create == nullptr || run == nullptr || destroy == nullptr) return;
    functions.create = reinterpret_cast<FilterGraphNewFunction>(create);
    functions.run = reinterpret_cast<FilterGraphRunFunction>(run);
    functions.destroy = reinterpret_cast<FilterGraphFreeFunction>(destroy);
  });
  if (functions.create == nullptr) {
    *why = functions.error;
    return nullptr;
  }
  FilterGraphState* state = functions.create(f, chain.c_str());
  if (state == nullptr) return nullptr;
  return std::unique_ptr<FilterGraph>(new FilterGraph(&functions, state));
}

FilterGraph::~FilterGraph() { functions_->destroy(state_); }

bool FilterGraph::Run(const AVFrame* in, const AVFrame* following, bool end_of_input,
                      AVFrame* out) {
  return functions_->run(state_, in, following, end_of_input ? 1 : 0, out) >= 0;
}
