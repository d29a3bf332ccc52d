// Blames one file: runs `git blame --incremental` and hands the ranges to a
// callback as git settles them, in git's order, so a client can paint the
// first lines while git still digs; the future's value is the whole blame,
// sorted. Without a revision the file is blamed as it stands in the working
// tree, and lines not committed yet come back with the all-zero commit id.
//
//   auto blame = makeOperation<GitBlameOperation>("src/main.c", GitBlameOptions{.revision = "v1.0"});
//   blame->onRanges = [](const std::vector<GitBlameRange>& ranges) { ... };
//   blame->enqueue(queue);
//
// The user's configuration cannot change what is parsed (every setting that
// alters the incremental output is pinned); `blame.ignoreRevsFile` and
// `blame.markUnblamableLines` are the user's choices and are kept.
// `cancel()` stops git at once.
#pragma once

#include "tavrik/History/GitBlame.h"
#include "tavrik/Process/GitExecOperation.h"
#include "tavrik/Util/Error.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tavrik {

/// Whether changes in whitespace alone give lines a new author.
enum class GitBlameWhitespace {
  significant,
  /// git's `-w`.
  ignored,
};

/// Whether lines moved within the file keep their older commit (git's `-M`).
enum class GitBlameMoves { ignored, detected };

/// How far git looks for lines copied from other files (git's `-C`, given
/// one to three times).
enum class GitBlameCopies {
  ignored,
  /// From files changed in the same commit (`-C`).
  fromChangedFiles,
  /// Also from any file in the commit that created the file (`-C -C`).
  fromFilesAtCreation,
  /// From any file in any commit (`-C -C -C`); slow on large histories.
  fromAnyCommit,
};

/// 1-based, inclusive final lines to blame.
struct GitBlameLineRange {
  size_t first = 1;
  size_t last = 1;
  bool operator==(const GitBlameLineRange&) const = default;
};

/// What to blame and how.
struct GitBlameOptions {
  /// The revision whose file is blamed; absent blames the working tree's file.
  std::optional<std::string> revision;
  GitBlameWhitespace whitespace = GitBlameWhitespace::significant;
  GitBlameMoves moves = GitBlameMoves::ignored;
  GitBlameCopies copies = GitBlameCopies::ignored;
  /// A file of revisions to see through (`--ignore-revs-file`), relative to
  /// the working tree; added to the repository's `blame.ignoreRevsFile`.
  std::optional<std::string> ignoreRevsFile;
  /// Only these lines; absent blames the whole file.
  std::optional<GitBlameLineRange> lines;
  bool operator==(const GitBlameOptions&) const = default;
};

/// A blame that git refused, with git's own text and the case recognised in it.
class GitBlameError : public Error {
public:
  enum class Kind {
    /// The path is not in the revision (or, in the working tree, not tracked
    /// or not a file: a directory or a submodule).
    noSuchPath,
    /// The path names a directory in the working tree.
    directory,
    /// The revision is unknown or ambiguous.
    badRevision,
    /// The line range lies outside the file.
    badLineRange,
    other,
  };
  GitBlameError(Kind kind, std::string text) : kind(kind), text(std::move(text)) {}

  /// Sorts git's error text into a kind. Pure.
  static Kind classify(std::string_view text);

  Kind kind;
  std::string text;
  std::string localizedDescription() const override { return text; }
};

class GitBlameOperation : public GitExecOperation<GitBlame> {
public:
  /// `path` is relative to the working tree (bytes).
  GitBlameOperation(std::string path, GitBlameOptions options = {});

  const std::string path;
  const GitBlameOptions options;

  /// Receives each batch of ranges as git sends them, on the operation's
  /// thread, with no lock held. Set before enqueueing.
  std::function<void(const std::vector<GitBlameRange>&)> onRanges;

  std::vector<std::string> arguments(GitOperationContext& context) override;

  /// Blocks the queue's worker until git exits. Throws TavrikError for a
  /// revision that begins with "-" (before git runs; a path may, it follows
  /// "--"), GitBlameError when the path, range or revision is refused (a
  /// working-tree directory before git runs), GitStdError when git is killed
  /// (also by `cancel`), and TavrikError (EBADMSG) for output it cannot read.
  GitBlame execute(GitOperationContext& context) override;
  /// Stops git, from any thread.
  void cancel() override;

private:
  mutable std::mutex taskLock_; // guards task_
  std::shared_ptr<BufferedProcess::Task> task_;
};

} // namespace tavrik

namespace tavrik {

/// The bytes of one file as a blame sees it: `git cat-file blob REV:PATH` at
/// a revision, else the working tree's file. Lets a client show the lines
/// beside their blame.
class GitFileContentOperation : public GitExecOperation<std::string> {
public:
  GitFileContentOperation(std::string path, std::optional<std::string> revision)
      : path(std::move(path)), revision(std::move(revision)) {}
  const std::string path;
  const std::optional<std::string> revision;
  std::vector<std::string> arguments(GitOperationContext& context) override;
  /// Throws TavrikError for an option-like revision or an unreadable working
  /// tree file, GitStdError when git cannot read the blob.
  std::string execute(GitOperationContext& context) override;
};

} // namespace tavrik
