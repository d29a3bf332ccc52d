// The reference reader: lists every reference with `git for-each-ref` in a
// tab-separated format, with each tracking branch's distance to its upstream
// counted by the same for-each-ref (one git process in all), groups the
// references into a GitRefList and stores it as the view's `refs`.
#pragma once

#include "tavrik/Process/GitExecOperation.h"
#include "tavrik/Queue/GitView.h"

#include <string>
#include <vector>

namespace tavrik {

class GitViewRefsOperation : public GitExecOperation<GitView> {
public:
  GitViewRefsOperation();

  /// The for-each-ref fields requested, in order: the parser's own, then the
  /// ahead/behind counts.
  std::vector<std::string> fieldNames;

  /// "for-each-ref", "--format=%(HEAD)\t%(objectname)\t...".
  std::vector<std::string> arguments(GitOperationContext& context) override;
  /// The updated view. Only a failure of for-each-ref itself fails (with
  /// GitStdError); unreadable lines are skipped and a count that cannot be
  /// had stays zero.
  GitView execute(GitOperationContext& context) override;
};

} // namespace tavrik
