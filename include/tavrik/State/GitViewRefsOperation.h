// The reference reader: lists every reference with `git for-each-ref` in a
// tab-separated format of NUL-ended records, with each tracking branch's distance to its upstream
// counted by the same for-each-ref (one git process in all), groups the
// references into a GitRefList and returns it; run on a queue, the list
// becomes the view's `refs`.
#pragma once

#include "tavrik/Process/GitExecOperation.h"
#include "tavrik/State/GitRefList.h"
#include "tavrik/Util/SharedValue.h"

#include <string>
#include <vector>

namespace tavrik {

class GitViewRefsOperation : public GitExecOperation<SharedValue<GitRefList>> {
public:
  GitViewRefsOperation();

  bool storesResultInView() const override { return true; }

  /// The for-each-ref fields requested, in order: the parser's own, the
  /// ahead/behind counts, then the path of the worktree that has each branch
  /// checked out.
  std::vector<std::string> fieldNames;

  /// "for-each-ref", "--format=%(HEAD)\t%(objectname)\t...".
  std::vector<std::string> arguments(GitOperationContext& context) override;
  /// The references, always a value (the view's field is absent only
  /// before the first refresh). Only a failure of for-each-ref itself fails (with
  /// GitStdError); unreadable lines are skipped and a count that cannot be
  /// had stays zero.
  SharedValue<GitRefList> execute(GitOperationContext& context) override;

protected:
  /// `refs` grouped into the list a reader returns, without the undo
  /// journal's private refs.
  static SharedValue<GitRefList> userRefList(std::vector<GitRef> refs);
};

} // namespace tavrik
