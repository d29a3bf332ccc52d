// Who last changed each line of a file: the records of a blame. git reports
// the file as ranges of consecutive final lines that one commit gave, in
// whatever order it settles them; each commit's details come once and are
// shared by all its ranges. A `GitBlame` holds the ranges of a whole run,
// sorted by final line.
//
//   for (const auto& range : blame.ranges)
//     std::cout << range.commit->id.string() << " " << range.finalLine << "+" << range.lineCount << "\n";
#pragma once

#include "tavrik/Interfaces/Oid.h"
#include "tavrik/Interfaces/Signature.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavrik {

/// One commit that lines are blamed on, read once per run and shared by
/// every range it gave. The all-zero id stands for lines of the working tree
/// that are not committed yet.
struct GitBlameCommit {
  arbor::Oid id;
  arbor::Signature author;
  arbor::Signature committer;
  /// The first line of the message, as git gives it (bytes, not checked for
  /// UTF-8).
  std::string summary;
  /// The commit is at the edge of the blamed history (a root commit, or one
  /// outside the range asked for): its lines may be older.
  bool boundary = false;

  bool isUncommitted() const { return id == arbor::Oid::zero; }
  bool operator==(const GitBlameCommit&) const = default;
};

/// Consecutive lines of the final file that one commit gave.
struct GitBlameRange {
  /// Never null in a range the engine produced.
  std::shared_ptr<const GitBlameCommit> commit;
  /// The file's path in `commit` (bytes; differs from the blamed path across
  /// renames and copies).
  std::string originalPath;
  /// 1-based number of the range's first line in `originalPath` at `commit`.
  size_t originalLine = 0;
  /// 1-based number of the range's first line in the blamed file.
  size_t finalLine = 0;
  size_t lineCount = 0;
  /// The commit and path the lines are compared with one step further back,
  /// when there is one.
  std::optional<arbor::Oid> previousId;
  std::optional<std::string> previousPath;

  /// Equal when the commits' values (not their addresses) and all fields are.
  bool operator==(const GitBlameRange& other) const;
};

/// A complete blame: its ranges sorted by final line, without gaps.
struct GitBlame {
  std::vector<GitBlameRange> ranges;

  /// The range holding 1-based final line `line`, nullptr when none does.
  /// Binary search; the ranges must be sorted.
  const GitBlameRange* rangeForLine(size_t line) const;
  bool operator==(const GitBlame&) const = default;
};

} // namespace tavrik
