// Some lines of one file's patch, chosen by their indexes in the patch's
// `lines` (the numbering a client shows beside each line): "12,14-17" is lines
// 12 and 14 to 17. Stage, unstage and discard of single lines give the
// indexes to `GitExecApplyOperation` as its `keepLines`.
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavrik {

struct GitLineSelection {
  /// Inclusive ranges of line indexes, in the order written.
  std::vector<std::pair<size_t, size_t>> ranges;

  /// Reads "12,14-17". Throws TavrikError for an empty piece, a range that
  /// runs backwards, or anything but digits, "," and "-".
  static GitLineSelection parse(std::string_view list);

  /// Every selected index, for a patch of `lineCount` lines. Throws
  /// TavrikError when an index is `lineCount` or more.
  std::set<size_t> indexes(size_t lineCount) const;

  bool operator==(const GitLineSelection&) const = default;
};

} // namespace tavrik
