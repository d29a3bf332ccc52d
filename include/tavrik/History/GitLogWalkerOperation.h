// One page of a history list: runs a walker for at most `pageSize` rows
// (delivered to its delegate in chunks of `chunkSize`), or, for a search,
// through the history until 100000 matches were delivered, each on its own.
//
// A search that diffs commits (content or file names) matches them on every
// core, one repository handle per thread; matches still arrive in the
// walk's order. Its task's status line counts the commits searched.
#pragma once

#include "tavrik/History/GitLogWalker.h"
#include "tavrik/Interfaces/Future.h"
#include "tavrik/Operation/GitOperation.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

namespace tavrik {

class GitLogWalkerOperation : public GitOperation<pledge::Void> {
public:
  /// The most matches one search run delivers.
  static constexpr size_t kSearchLimit = 100000;

  /// `pageSize` rows per run, in one chunk.
  GitLogWalkerOperation(std::shared_ptr<GitLogWalker> logWalker, size_t pageSize);

  const std::shared_ptr<GitLogWalker> logWalker;
  const size_t pageSize;
  size_t chunkSize;
  /// Threads that match a search's commits; 0 means one per core.
  size_t searchThreads = 0;

  /// "Searching history" for a search, which may take long; a page has no
  /// visible task.
  std::optional<std::string> title() const override;

  /// Throws arbor::Error when the repository cannot be opened; errors while
  /// walking end the walk instead. A search fails with the error of an
  /// object it cannot read (a corrupt one) and ends its walk; an object
  /// missing from a partial clone only does not match.
  pledge::Void execute(GitOperationContext& context) override;

private:
  void runPage(const arbor::Repo& repo, GitOperationContext& context);
  void runSearch(const arbor::Repo& repo, GitOperationContext& context);
};

} // namespace tavrik
