#include "Queue/ViewOperationFactory.h"

#include "tavrik/Queue/GitViewHeadOperation.h"
#include "tavrik/State/GitViewExecConfigOperation.h"
#include "tavrik/State/GitViewExecStatusOperation.h"
#include "tavrik/State/GitViewExecSubmoduleOperation.h"
#include "tavrik/State/GitViewReflogOperation.h"
#include "tavrik/State/GitViewRefsOperation.h"
#include "tavrik/State/GitViewStashesOperation.h"
#include "tavrik/State/GitViewWorktreesOperation.h"

namespace tavrik::detail {

std::shared_ptr<GitQueueOperation> makeViewOperation(GitAspects singleAspect) {
  if (singleAspect == GitAspects::head) return makeOperation<GitViewHeadOperation>();
  if (singleAspect == GitAspects::status) return makeOperation<GitViewExecStatusOperation>(false);
  if (singleAspect == GitAspects::refs) return makeOperation<GitViewRefsOperation>();
  if (singleAspect == GitAspects::stashes) return makeOperation<GitViewStashesOperation>();
  if (singleAspect == GitAspects::reflogs) return makeOperation<GitViewReflogOperation>();
  if (singleAspect == GitAspects::config) return makeOperation<GitViewExecConfigOperation>();
  if (singleAspect == GitAspects::submodules) return makeOperation<GitViewExecSubmoduleOperation>();
  if (singleAspect == GitAspects::worktrees) return makeOperation<GitViewWorktreesOperation>();
  return nullptr;
}

} // namespace tavrik::detail
