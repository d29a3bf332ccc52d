#include "tavrik/State/GitBisectState.h"

#include "tavrik/Util/HashCombine.h"

size_t std::hash<tavrik::GitBisectState>::operator()(const tavrik::GitBisectState& s) const noexcept {
  return tavrik::detail::hashFields(s.termOld, s.termNew, s.bad, s.good, s.skipped, s.candidate, s.paths,
                                    s.testsMergeBase, s.revisionsLeft, s.steps, s.firstBad);
}
