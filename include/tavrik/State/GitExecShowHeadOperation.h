// Asks git for one head file's commit (HEAD, ORIG_HEAD or MERGE_HEAD) in a
// NUL-separated format and reads it into a GitHead: commit, branch name, last
// author and message. A head file git cannot show (no ORIG_HEAD, an unborn
// branch) is no failure: its head has no commit and is named after the file.
#pragma once

#include "tavrik/Process/GitExecOperation.h"
#include "tavrik/State/GitHead.h"

#include <string>
#include <vector>

namespace tavrik {

class GitExecShowHeadOperation : public GitExecOperation<GitHead> {
public:
  explicit GitExecShowHeadOperation(GitHeadFile file);

  const GitHeadFile file;
  /// %H, %D, %an, %ae, %aI, %B.
  std::vector<GitFormatField> formatFields;

  /// "show", "--no-patch", the printing options pinned against the user's
  /// configuration, "--format=%H%x00%D%x00...", the file's name, "--".
  std::vector<std::string> arguments(GitOperationContext& context) override;
  /// The head. git's own failure (GitStdError) gives the empty head of the
  /// file; a failure to run git at all (no git installation, no process) is
  /// thrown, since it says nothing about the head.
  GitHead execute(GitOperationContext& context) override;
};

} // namespace tavrik
