// Two counting queries that other operations run inline: how many commits
// separate two revisions (`rev-list --count`, used for every tracking branch
// by the reference reader), and how many entries the working-tree status of
// a repository has. Neither has a title, the index lock or aspects of its own.
#pragma once

#include "tavrik/Interfaces/Oid.h"
#include "tavrik/Process/GitExecOperation.h"
#include "tavrik/State/GitCount.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavrik {

class GitExecRevListCountOperation : public GitExecOperation<GitCount> {
public:
  /// Commits reachable from `commit` (at most `maxCount`): the count is `left`.
  explicit GitExecRevListCountOperation(const Oid& commit, std::optional<int64_t> maxCount = std::nullopt);
  /// "left...right" with --left-right: commits only in `left` and only in `right`.
  GitExecRevListCountOperation(std::string left, std::string right, std::optional<int64_t> maxCount = std::nullopt);

  std::string commitish;
  std::optional<int64_t> maxCount;
  bool leftRight = false;

  std::vector<std::string> arguments(GitOperationContext& context) override;
  /// Throws GitStdError when git fails, TavrikError before git runs when a
  /// revision begins with "-". Output without a number gives zero.
  GitCount execute(GitOperationContext& context) override;

  /// The count from rev-list's first output line ("3" or "3\t5").
  static GitCount parseCount(GitBuffer& buffer, bool leftRight);

private:
  std::vector<std::string> callerRevisions_;
};

class GitExecStatusChangeCountOperation : public GitExecOperation<int64_t> {
public:
  std::vector<std::string> arguments(GitOperationContext& context) override;
  /// 0 without running git when the repository is unknown or bare.
  int64_t execute(GitOperationContext& context) override;

  /// Non-empty NUL-terminated records (the last may end at the end).
  static int64_t countRecords(GitBuffer& buffer);
};

/// Chains a rev-list count of `commit` on the queue of `future`.
template <class T>
pledge::Future<GitQueueValue<GitCount>> revListCount(const pledge::Future<GitQueueValue<T>>& future, Oid commit,
                                                     std::optional<int64_t> maxCount = std::nullopt) {
  return next(future, [commit, maxCount](const GitQueueValue<T>&) {
    return makeOperation<GitExecRevListCountOperation>(commit, maxCount);
  });
}

} // namespace tavrik
