// The history of one file across renames: the commits that changed it, newest
// first, each with the path the file had in that commit and how the commit
// changed it, exactly as `git log --follow` lists them (a rename made on a
// branch that was merged is followed too; a merge row may list no change).
// A client asks for a page at a time (`skip`, `limit`; 50 rows first).
//
//   auto page = makeOperation<GitFileHistoryOperation>("src/main.c", GitFileHistoryOptions{.limit = 50});
//
// The command line leaves git free to use the commit-graph's changed-path
// Bloom filters; `GitWriteCommitGraphOperation` writes them.
#pragma once

#include "tavrik/History/GitLogEntry.h"
#include "tavrik/Interfaces/Tree.h"
#include "tavrik/Process/GitExecOperation.h"

#include <optional>
#include <string>
#include <vector>

namespace tavrik {

/// One commit of a file's history.
struct GitFileHistoryEntry {
  GitLogEntry entry;
  /// What the commit did to the file: added, modified, deleted, renamed or
  /// copied (type changes count as modified).
  arbor::TreeChange::Kind change = arbor::TreeChange::Kind::modified;
  /// The file's path after the commit (bytes).
  std::string path;
  /// The path before a rename or copy.
  std::optional<std::string> oldPath;
  bool operator==(const GitFileHistoryEntry&) const = default;
};

/// Which page of a file's history to read.
struct GitFileHistoryOptions {
  /// Where the walk starts; absent means HEAD.
  std::optional<std::string> revision;
  /// Rows to pass over, for the pages after the first (git reads them again:
  /// later pages cost what the pages before them cost).
  size_t skip = 0;
  /// At most this many rows; absent reads to the end.
  std::optional<size_t> limit = 50;
  bool operator==(const GitFileHistoryOptions&) const = default;
};

class GitFileHistoryOperation : public GitExecOperation<std::vector<GitFileHistoryEntry>> {
public:
  /// `path` is the file's path at the starting revision (bytes).
  GitFileHistoryOperation(std::string path, GitFileHistoryOptions options = {});
  const std::string path;
  const GitFileHistoryOptions options;

  /// The git arguments, pinned against configuration that would change the
  /// rows; none of them turns the changed-path Bloom filters off.
  std::vector<std::string> arguments(GitOperationContext& context) override;
  /// Throws TavrikError for an option-like revision (before git runs),
  /// GitStdError when git fails, TavrikError (EBADMSG) for output it cannot
  /// read.
  std::vector<GitFileHistoryEntry> execute(GitOperationContext& context) override;
};

/// Writes the commit-graph of every reachable commit with changed-path Bloom
/// filters (`git commit-graph write --reachable --changed-paths`), which make
/// path-limited history much faster. Long on a large repository: clients run
/// it in the background.
class GitWriteCommitGraphOperation : public GitExecOperation<pledge::Void> {
public:
  std::vector<std::string> arguments(GitOperationContext& context) override;
  GitExecAccess access() const override { return GitExecAccess::write; }
  /// Throws GitStdError when git fails.
  pledge::Void execute(GitOperationContext& context) override;
};

} // namespace tavrik
