// Reads the head list: the in-progress markers of the git directory and the
// heads HEAD, ORIG_HEAD and MERGE_HEAD, read inline with this operation's
// context; run on a queue, the list becomes the view's `headList` in one
// view update. During a bisection the list also carries its state
// (`GitViewBisectOperation`, run inline).
// ORIG_HEAD and MERGE_HEAD are asked of git only when their files exist: a
// missing one is an empty head without a git run (and never a branch that
// happens to be named like it).
#pragma once

#include "tavrik/Operation/GitOperation.h"
#include "tavrik/State/GitHead.h"

namespace tavrik {

class GitViewHeadOperation : public GitOperation<GitHeadList> {
public:
  bool storesResultInView() const override { return true; }
  /// The heads. Throws TavrikError::invalidRepository when there is no
  /// repository, and whatever stops a head from being read (the view is then
  /// untouched).
  GitHeadList execute(GitOperationContext& context) override;
};

} // namespace tavrik
