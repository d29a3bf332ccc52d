// Refreshes the view's head list: the in-progress markers of the git
// directory and the heads HEAD, ORIG_HEAD and MERGE_HEAD, read inline with
// this operation's context and stored together with one view update.
// ORIG_HEAD and MERGE_HEAD are asked of git only when their files exist: a
// missing one is an empty head without a git run (and never a branch that
// happens to be named like it).
#pragma once

#include "tavrik/Queue/GitOperation.h"
#include "tavrik/Queue/GitView.h"

namespace tavrik {

class GitViewHeadOperation : public GitOperation<GitView> {
public:
  /// The updated view. Throws TavrikError::invalidRepository when there is no
  /// repository, and whatever stops a head from being read (the view is then
  /// untouched).
  GitView execute(GitOperationContext& context) override;
};

} // namespace tavrik
