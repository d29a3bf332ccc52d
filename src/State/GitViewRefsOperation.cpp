#include "tavrik/State/GitViewRefsOperation.h"

#include "tavrik/State/GitRefList.h"
#include "tavrik/State/GitRefParser.h"

namespace tavrik {

GitViewRefsOperation::GitViewRefsOperation() : fieldNames(GitRefParser::defaultFieldNames()) {
  // git counts every tracking branch against its upstream with the same walk
  // as `rev-list --left-right --count B...U`, inside this one process: one
  // rev-list per branch cost 10 ms each. "gone" and no upstream read as zero.
  fieldNames.push_back("upstream:track,nobracket");
  // Last, so the path's tabs and line ends stay inside its record.
  fieldNames.push_back("worktreepath");
}

std::vector<std::string> GitViewRefsOperation::arguments(GitOperationContext&) {
  return {"for-each-ref", GitRefParser::formatArgument(fieldNames)};
}

SharedValue<GitRefList> GitViewRefsOperation::execute(GitOperationContext& context) {
  runCommand(context);
  return userRefList(GitRefParser::parse(*stdOutBuffer, fieldNames));
}

SharedValue<GitRefList> GitViewRefsOperation::userRefList(std::vector<GitRef> refs) {
  // The undo journal's private refs are the engine's bookkeeping, not the
  // user's: no list, and no history walk started from the list, shows them.
  std::erase_if(refs, [](const GitRef& ref) { return ref.name.starts_with("refs/tavrik/"); });
  return SharedValue<GitRefList>(GitRefList::from(std::move(refs)));
}

} // namespace tavrik
