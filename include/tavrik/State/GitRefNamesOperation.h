// The reference names a history view labels its rows with, read in process:
// each reference's name, the object it names and the commit it leads to,
// with HEAD's branch, but no upstreams, counts, dates or worktrees. On a
// clone with a thousand annotated tags this costs a few milliseconds where
// the full reader's for-each-ref costs tens, so a first page of history need
// not wait for the full list.
#pragma once

#include "tavrik/State/GitViewRefsOperation.h"

namespace tavrik {

/// Lists references as `GitViewRefsOperation` does, with only `name`, the
/// parts derived from it, `isHead`, `symbolicTarget`, `target` and `commit`
/// filled in, and `commit` peeled through every tag (as git's decorations
/// peel). The list is not the view's: it is the operation's value only.
/// Where the object-database library cannot list the references as git
/// would (a linked worktree, a repository it cannot read) it runs the full
/// reader instead, so the value is never missing a reference; it then fails
/// only as that reader fails (GitStdError).
class GitRefNamesOperation : public GitViewRefsOperation {
public:
  bool storesResultInView() const override { return false; }
  SharedValue<GitRefList> execute(GitOperationContext& context) override;
};

} // namespace tavrik
