// Where a bisection stands, as git's own files and refs under refs/bisect/
// say: the words for "good" and "bad", the revisions marked so far, the
// candidate checked out for testing, how much is left, and the first bad
// commit once git has named it. `GitViewBisectOperation` reads it; during a
// bisection the view's head list carries it.
#pragma once

#include "tavrik/Interfaces/Oid.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tavrik {

struct GitBisectState {
  /// The words git marks with (BISECT_TERMS): "good" and "bad" unless the
  /// bisection started with `--term-old` / `--term-new`.
  std::string termOld = "good";
  std::string termNew = "bad";
  /// refs/bisect/<termNew>: the newest commit known bad; nullopt until one is.
  std::optional<Oid> bad;
  /// refs/bisect/<termOld>-*, in git's ref order.
  std::vector<Oid> good;
  /// refs/bisect/skip-*, in git's ref order.
  std::vector<Oid> skipped;
  /// The commit to test next: HEAD (BISECT_HEAD for a bisection without
  /// checkout); nullopt on an unborn branch.
  std::optional<Oid> candidate;
  /// The paths the bisection was limited to (BISECT_NAMES), as bytes.
  std::vector<std::string> paths;
  /// A good revision is not an ancestor of the bad one, and git has checked
  /// out a merge base to be tested first: no count is known yet.
  bool testsMergeBase = false;
  /// "Bisecting: N revisions left to test after this (roughly M steps)":
  /// N and M computed as git computes them; nullopt before both a good and a
  /// bad revision are known, while a merge base is tested, and once the
  /// first bad commit is found.
  std::optional<int64_t> revisionsLeft;
  std::optional<int64_t> steps;
  /// The first bad commit, once git has named it in its bisect log.
  std::optional<Oid> firstBad;

  bool operator==(const GitBisectState&) const = default;
};

} // namespace tavrik

template <> struct std::hash<tavrik::GitBisectState> {
  size_t operator()(const tavrik::GitBisectState& s) const noexcept;
};
