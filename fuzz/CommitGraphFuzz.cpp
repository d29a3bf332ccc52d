// Feeds arbitrary bytes to the commit-graph reader as one layer and as the
// top of a two-layer chain: reading must never crash or read out of bounds,
// and a walk over whatever parses must end (a corrupt file may list a
// commit among its own ancestors).
#include "History/CommitGraphWalk.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using tavrik::detail::CommitGraph;
  using tavrik::detail::CommitGraphWalk;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  for (auto layers : {std::vector<std::string>{bytes}, std::vector<std::string>{bytes, bytes}}) {
    auto graph = CommitGraph::fromBytes(layers);
    if (!graph || graph->size() == 0) continue;
    std::vector<uint32_t> parents;
    for (uint32_t i = 0; i < std::min<uint32_t>(graph->size(), 64); ++i) {
      (void)graph->date(i);
      (void)graph->generation(i);
      (void)graph->parents(i, parents);
      if (graph->position(graph->id(i)) > graph->size()) __builtin_trap();
    }
    try {
      auto walk = CommitGraphWalk::start(graph, {graph->id(0), graph->id(graph->size() - 1)});
      for (int steps = 0; walk && steps < 100000 && walk->next(); ++steps) {
      }
    } catch (const std::exception&) {
      // A parent outside the file ends the walk with an error.
    }
  }
  return 0;
}
