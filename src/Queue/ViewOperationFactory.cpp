#include "Queue/ViewOperationFactory.h"

#include "tavrik/Queue/GitViewHeadOperation.h"
#include "tavrik/State/GitViewExecStatusOperation.h"
#include "tavrik/State/GitViewRefsOperation.h"

namespace tavrik::detail {

std::shared_ptr<GitQueueOperation> makeViewOperation(GitAspects singleAspect) {
  if (singleAspect == GitAspects::head) return makeOperation<GitViewHeadOperation>();
  if (singleAspect == GitAspects::status) return makeOperation<GitViewExecStatusOperation>(false);
  if (singleAspect == GitAspects::refs) return makeOperation<GitViewRefsOperation>();
  // Stashes, reflogs, configuration and submodules have no reader here yet.
  return nullptr;
}

} // namespace tavrik::detail
