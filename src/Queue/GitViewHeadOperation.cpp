#include "tavrik/Queue/GitViewHeadOperation.h"

#include "tavrik/State/GitExecShowHeadOperation.h"
#include "tavrik/State/GitViewBisectOperation.h"
#include "tavrik/Util/TavrikError.h"

#include <filesystem>

namespace tavrik {

GitHeadList GitViewHeadOperation::execute(GitOperationContext& context) {
  const GitRepositoryDescriptor* descriptor = context.effectiveDescriptor();
  if (!descriptor) throw TavrikError::invalidRepository();

  GitHeadList list;
  list.stateFiles = GitStateFileSet::read(descriptor->gitURL);
  list.head = makeOperation<GitExecShowHeadOperation>(GitHeadFile::head)->execute(context);
  auto pseudoHead = [&](GitHeadFile file) {
    std::error_code ec;
    if (!std::filesystem::exists(descriptor->gitURL.path() + "/" + std::string(rawValue(file)), ec)) return GitHead{};
    return makeOperation<GitExecShowHeadOperation>(file)->execute(context);
  };
  list.origHead = pseudoHead(GitHeadFile::origHead);
  list.mergeHead = pseudoHead(GitHeadFile::mergeHead);
  if (list.stateFiles.state == GitState::bisect)
    list.bisect = makeOperation<GitViewBisectOperation>()->execute(context);
  return list;
}

} // namespace tavrik
