#include "tavrik/State/GitExecShowHeadOperation.h"

#include "tavrik/Process/GitStdError.h"
#include "tavrik/State/GitShowHeadParser.h"

namespace tavrik {

GitExecShowHeadOperation::GitExecShowHeadOperation(GitHeadFile file)
    : file(file), formatFields(GitShowHeadParser::defaultFormatFields()) {}

std::vector<std::string> GitExecShowHeadOperation::arguments(GitOperationContext&) {
  // The user's log.decorate, colour, notes and output-encoding settings would
  // change what the parser reads; "--" keeps a working-tree file named like
  // the head from making the revision ambiguous.
  return {"show",
          "--no-patch",
          "--decorate=short",
          "--no-color",
          "--no-notes",
          "--encoding=UTF-8",
          GitShowHeadParser::formatArgument(formatFields),
          std::string(rawValue(file)),
          "--"};
}

GitHead GitExecShowHeadOperation::execute(GitOperationContext& context) {
  try {
    runCommand(context);
  } catch (const GitStdError&) {
    return GitShowHeadParser::emptyHead(file);
  }
  return GitShowHeadParser::parse(*stdOutBuffer, file, formatFields);
}

} // namespace tavrik
