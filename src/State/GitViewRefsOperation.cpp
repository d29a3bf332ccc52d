#include "tavrik/State/GitViewRefsOperation.h"

#include "tavrik/Commands/GitExecRevListCountOperation.h"
#include "tavrik/Queue/GitQueue.h"
#include "tavrik/State/GitRefList.h"
#include "tavrik/State/GitRefParser.h"

namespace tavrik {

GitViewRefsOperation::GitViewRefsOperation() : fieldNames(GitRefParser::defaultFieldNames()) {}

std::vector<std::string> GitViewRefsOperation::arguments(GitOperationContext&) {
  return {"for-each-ref", GitRefParser::formatArgument(fieldNames)};
}

GitView GitViewRefsOperation::execute(GitOperationContext& context) {
  runCommand(context);
  auto refs = GitRefParser::parse(*stdOutBuffer, fieldNames);
  // Counted one after another on this thread, in reference order, with this
  // context: the counts belong to this refresh and to no one else.
  for (auto& ref : refs) {
    if (!ref.upstreamName) continue;
    auto count = makeOperation<GitExecRevListCountOperation>(ref.name, *ref.upstreamName);
    ref.upstreamCount = count->executeQuiet(context).value_or(GitCount::zero);
  }
  auto list = GitRefList::from(std::move(refs));
  return context.queue->updateView([&list](GitView& view) { view.refs = std::move(list); });
}

} // namespace tavrik
