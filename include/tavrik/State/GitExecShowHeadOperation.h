// Asks git for one head file's commit (HEAD, ORIG_HEAD or MERGE_HEAD) in a
// NUL-separated format and reads it into a GitHead: commit, branch name, last
// author and message. ORIG_HEAD or MERGE_HEAD git cannot show is no failure:
// its head has no commit and is named after the file. HEAD's branch is the
// one HEAD names (read off a plain HEAD file, else `git symbolic-ref`), so a
// detached HEAD stays detached beside a branch at the same commit, and a
// branch yet to be born keeps its name without a commit.
#pragma once

#include "tavrik/Process/GitExecOperation.h"
#include "tavrik/State/GitHead.h"

#include <set>
#include <string>
#include <vector>

namespace tavrik {

class GitExecShowHeadOperation : public GitExecOperation<GitHead> {
public:
  explicit GitExecShowHeadOperation(GitHeadFile file);

  const GitHeadFile file;
  /// %H, %D, %an, %ae, %aI, %B.
  std::vector<GitFormatField> formatFields;

  /// "log", "--no-walk", the printing options pinned against the user's
  /// configuration, "--format=%H%x00%D%x00...", the file's name, "--".
  std::vector<std::string> arguments(GitOperationContext& context) override;
  /// {0}, and {0, 1} while asking which branch HEAD names.
  std::set<int> successStatuses() const override;
  /// The head. For ORIG_HEAD and MERGE_HEAD git's own failure (GitStdError)
  /// gives the empty head of the file. For HEAD, a failure other than an
  /// unborn branch (a corrupt packed-refs, a missing commit) is thrown as
  /// git's error; a failure to run git at all is always thrown.
  GitHead execute(GitOperationContext& context) override;

private:
  enum class Step { show, symbolicRef, verifyBranch };
  /// The fields asked of git: for HEAD, without the decoration.
  std::vector<GitFormatField> showFields() const;

  Step step_ = Step::show;
  // The ref HEAD names ("refs/heads/main"); empty when it is detached.
  std::string branchRef_;
};

} // namespace tavrik
