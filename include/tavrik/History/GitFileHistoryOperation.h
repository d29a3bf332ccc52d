// The history of one file across renames: the commits that changed it, newest
// first, each with the path the file had in that commit and how the commit
// changed it, exactly as `git log --follow` lists them (a rename made on a
// branch that was merged is followed too; a merge row may list no change).
// A list that pages on keeps a `GitFileHistoryWalker` and runs a
// `GitFileHistoryPageOperation` for each page (50 rows first): one git child
// stays open between pages, so a page costs only its own rows. A single read
// of some rows is a `GitFileHistoryOperation` (`skip`, `limit`).
//
//   auto walker = std::make_shared<GitFileHistoryWalker>("src/main.c");
//   auto first = makeOperation<GitFileHistoryPageOperation>(walker, 50)->enqueue(queue);
//
// git 2.39 turns history pruning off for `--follow` (the followed path
// changes along the walk), and with it the commit-graph's changed-path Bloom
// filters: a file's history gains from a commit-graph (which
// `GitWriteCommitGraphOperation` writes), not from its filters. Path-limited
// history without following does use them.
#pragma once

#include "tavrik/History/GitLogEntry.h"
#include "tavrik/Interfaces/Tree.h"
#include "tavrik/Operation/GitOperation.h"
#include "tavrik/Process/GitExecOperation.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tavrik {

namespace detail {
class FileHistoryStream;
}

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

/// Some rows of a file's history, read in one run of git that stops after
/// them (earlier pages are read again: for a list that pages on, use a
/// `GitFileHistoryWalker`).
class GitFileHistoryOperation : public GitOperation<std::vector<GitFileHistoryEntry>> {
public:
  /// `path` is the file's path at the starting revision (bytes).
  GitFileHistoryOperation(std::string path, GitFileHistoryOptions options = {});
  const std::string path;
  const GitFileHistoryOptions options;

  /// Throws TavrikError for an option-like revision (before git runs),
  /// GitStdError when git fails, TavrikError (EBADMSG) for output it cannot
  /// read.
  std::vector<GitFileHistoryEntry> execute(GitOperationContext& context) override;
};

/// A file's history read page by page from one git child that stays open
/// between pages (blocked on its pipe while no page is asked for; releasing
/// the walker stops it). Rows accumulate in the walker.
///
/// Threads: page runs are strictly sequential; `entries`, `entryCount` and
/// `finished` may be called from any thread. Lock order: the page lock
/// before the entry lock.
class GitFileHistoryWalker {
public:
  /// `path` is the file's path at `revision` (absent: HEAD), as bytes.
  explicit GitFileHistoryWalker(std::string path, std::optional<std::string> revision = std::nullopt);
  ~GitFileHistoryWalker();
  GitFileHistoryWalker(const GitFileHistoryWalker&) = delete;
  GitFileHistoryWalker& operator=(const GitFileHistoryWalker&) = delete;

  const std::string path;
  const std::optional<std::string> revision;

  /// Every row read so far, newest first (a copy).
  std::vector<GitFileHistoryEntry> entries() const;
  size_t entryCount() const;
  /// True once git listed the file's first commit, or failed: later pages
  /// are empty.
  bool finished() const;

private:
  friend class GitFileHistoryPageOperation;
  std::mutex pageLock_;
  std::unique_ptr<detail::FileHistoryStream> stream_; // guarded by pageLock_
  mutable std::mutex entryLock_;
  std::vector<GitFileHistoryEntry> entries_; // guarded by entryLock_
  bool finished_ = false;                    // guarded by entryLock_
};

/// The next page of a walker: at most `pageSize` rows, appended to the
/// walker and returned; fewer at the end of the history, none after it.
/// Blocks its queue worker while git finds the rows. Throws TavrikError for
/// an option-like revision, GitStdError when git fails (a path or revision
/// that does not exist), TavrikError (EBADMSG) for output it cannot read;
/// after an error the walker is finished.
class GitFileHistoryPageOperation : public GitOperation<std::vector<GitFileHistoryEntry>> {
public:
  GitFileHistoryPageOperation(std::shared_ptr<GitFileHistoryWalker> walker, size_t pageSize = 50);
  const std::shared_ptr<GitFileHistoryWalker> walker;
  const size_t pageSize;
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
