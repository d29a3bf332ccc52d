// Turns a file's parsed patch and a selection of its lines into a patch of
// just those changes, for `git apply`: forward, the selected changes of a
// working-tree diff go into the index; reverse, they are taken back out of
// the index (a cached diff) or the working tree.
//
// The patch is sound for every selection: hunk headers are recounted and
// their starts shifted for the changes left out of earlier hunks (so patches
// without context apply at the right place), a line that loses or gains its
// place at the end of a file without a final newline gets the right
// "\ No newline at end of file" marker, and a partial selection of a created,
// deleted or renamed file changes the one file that exists on the side being
// kept instead of creating, deleting or renaming it.
#pragma once

#include "tavrik/Diff/GitDiff.h"

#include <memory>
#include <set>

namespace tavrik {

class GitDiffTransformer {
public:
  /// `keepLines` are positions in `diff.lines` (`GitDiffLine::index`).
  GitDiffTransformer(std::shared_ptr<const GitDiff> diff, bool reverse, std::set<size_t> keepLines)
      : diff(std::move(diff)), reverse(reverse), keepLines(std::move(keepLines)) {}

  const std::shared_ptr<const GitDiff> diff;
  const bool reverse;
  const std::set<size_t> keepLines;

  /// A diff whose lines are the patch (`formatPatch()`); only its lines and
  /// `cached` are set. Hunks without a selected line are left out.
  std::shared_ptr<GitDiff> transformedDiff() const;
};

} // namespace tavrik
