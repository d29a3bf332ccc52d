#include "tavrik/History/Graph.h"

#include "tavrik/Util/HashCombine.h"

namespace tavrik {

GraphLaneRow Graph::insert(const GraphCommit& commit) {
  int commitLane = -1;
  // How many lanes beyond the first have joined the commit so far: each one
  // frees a column, so the lanes right of it move left.
  int extra = -1;
  int rightmost = -1;
  std::vector<GraphLane> lanesIn;
  lanesIn.reserve(lanes_.size());
  for (const auto& lane : lanes_) {
    if (lane.parentId == commit.id) {
      if (commitLane < 0) commitLane = lane.to;
      ++extra;
      lanesIn.push_back({lane.to, commitLane, std::nullopt, lane.color, false});
    } else {
      lanesIn.push_back({lane.to, lane.to - std::max(extra, 0), lane.parentId, lane.color, false});
    }
    rightmost = std::max(rightmost, lanesIn.back().to);
  }
  if (commitLane < 0) {
    // Past the rightmost lane rather than at the lane count: a root leaves
    // its column empty while the lanes right of it keep theirs, so the count
    // can name a column a lane still runs in.
    commitLane = std::max(static_cast<int>(lanesIn.size()), rightmost + 1);
  }

  const auto& parents = commit.parentIds;
  bool firstContinued = false;
  int last = -1;
  std::vector<GraphLane> lanesOut;
  lanesOut.reserve(lanesIn.size() + parents.size());
  for (const auto& lane : lanesIn) {
    if (!lane.parentId) {
      // The leftmost lane that joins the commit goes on as its first-parent
      // line and keeps its colour; the other joining lanes end here.
      if (firstContinued || parents.empty()) continue;
      firstContinued = true;
      lanesOut.push_back({lane.to, lane.to, parents.front(), lane.color, false});
    } else {
      lanesOut.push_back({lane.to, lane.to, lane.parentId, lane.color, true});
    }
    last = std::max(last, lane.to);
  }
  // A tip has no joining lane to carry its first parent, so every parent
  // gets a new lane there.
  for (size_t i = firstContinued ? 1 : 0; i < parents.size(); ++i) {
    lanesOut.push_back({commitLane, ++last, parents[i], nextColor_, false});
    ++nextColor_;
  }

  lanes_ = lanesOut;
  return GraphLaneRow{commitLane, std::move(lanesIn), std::move(lanesOut)};
}

} // namespace tavrik

size_t std::hash<tavrik::GraphLane>::operator()(const tavrik::GraphLane& l) const noexcept {
  return tavrik::detail::hashFields(l.from, l.to, l.parentId, l.color, l.hidden);
}

size_t std::hash<tavrik::GraphLaneRow>::operator()(const tavrik::GraphLaneRow& r) const noexcept {
  return tavrik::detail::hashFields(r.commitLane, r.lanesIn, r.lanesOut);
}
