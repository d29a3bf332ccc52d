#include "Queue/ViewOperationFactory.h"

#include "tavrik/Queue/GitQueueOperation.h"

namespace tavrik::detail {

std::shared_ptr<GitQueueOperation> makeViewOperation(GitAspects singleAspect) {
  (void)singleAspect;
  // No reader is available yet for any aspect.
  return nullptr;
}

} // namespace tavrik::detail
