// The lane layout of the history graph: the column of each commit and the
// lines that enter and leave its row. A `Graph` is fed the commits of one walk
// in display order (newest first, every child before its parents) and returns
// one `GraphLaneRow` per commit; the client draws each row from that record
// alone and maps the small colour numbers to its palette.
#pragma once

#include "tavrik/Interfaces/Oid.h"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

namespace tavrik {

/// A commit as the layout sees it.
struct GraphCommit {
  Oid id;
  /// First parent first.
  std::vector<Oid> parentIds;

  bool operator==(const GraphCommit&) const = default;
};

/// One line segment of a row, either from the row's top edge to the commit's
/// level or from there to the bottom edge.
struct GraphLane {
  /// Column at the top of the segment.
  int from = 0;
  /// Column at the bottom of the segment.
  int to = 0;
  /// The commit this lane is heading for; absent for a segment that ends at
  /// this row's commit.
  std::optional<Oid> parentId;
  /// Kept by a lane from row to row.
  int color = 0;
  /// Set on the lower half of a lane that passes the row's commit by.
  bool hidden = false;

  bool operator==(const GraphLane&) const = default;
};

struct GraphLaneRow {
  /// The commit's column.
  int commitLane = 0;
  /// From the top edge of the row to the commit's level, in the order of the
  /// previous row's `lanesOut`.
  std::vector<GraphLane> lanesIn;
  /// From the commit's level to the bottom edge.
  std::vector<GraphLane> lanesOut;

  size_t laneCount() const { return std::max(lanesIn.size(), lanesOut.size()); }

  bool operator==(const GraphLaneRow&) const = default;
};

/// Lays out the rows of one walk. Not thread-safe; use one per walk.
class Graph {
public:
  Graph() = default;

  /// Lays out the row of `commit`, the next commit in display order, and
  /// remembers its outgoing lanes for the next row. A commit no lane leads to
  /// (a branch tip) opens a column right of every lane.
  GraphLaneRow insert(const GraphCommit& commit);

  /// The lanes leaving the previous row; empty before the first.
  const std::vector<GraphLane>& lanes() const { return lanes_; }
  /// The colour the next new lane takes; it only grows.
  int nextColor() const { return nextColor_; }

private:
  std::vector<GraphLane> lanes_;
  int nextColor_ = 0;
};

} // namespace tavrik

template <> struct std::hash<tavrik::GraphLane> {
  size_t operator()(const tavrik::GraphLane& l) const noexcept;
};

template <> struct std::hash<tavrik::GraphLaneRow> {
  size_t operator()(const tavrik::GraphLaneRow& r) const noexcept;
};
