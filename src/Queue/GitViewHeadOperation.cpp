#include "tavrik/Queue/GitViewHeadOperation.h"

#include "tavrik/Queue/TavrikError.h"
#include "tavrik/State/GitExecShowHeadOperation.h"

namespace tavrik {

GitView GitViewHeadOperation::execute(GitOperationContext& context) {
  const GitRepositoryDescriptor* descriptor = context.effectiveDescriptor();
  if (!descriptor) throw TavrikError::invalidRepository();

  GitHeadList list;
  list.stateFiles = GitStateFileSet::read(descriptor->gitURL);
  list.head = makeOperation<GitExecShowHeadOperation>(GitHeadFile::head)->execute(context);
  list.origHead = makeOperation<GitExecShowHeadOperation>(GitHeadFile::origHead)->execute(context);
  list.mergeHead = makeOperation<GitExecShowHeadOperation>(GitHeadFile::mergeHead)->execute(context);
  return context.queue->updateView([&list](GitView& view) { view.headList = std::move(list); });
}

} // namespace tavrik
