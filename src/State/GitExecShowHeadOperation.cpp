#include "tavrik/State/GitExecShowHeadOperation.h"

#include "tavrik/Process/GitStdError.h"
#include "tavrik/State/GitShowHeadParser.h"

namespace tavrik {

GitExecShowHeadOperation::GitExecShowHeadOperation(GitHeadFile file)
    : file(file), formatFields(GitShowHeadParser::defaultFormatFields()) {}

std::vector<std::string> GitExecShowHeadOperation::arguments(GitOperationContext&) {
  // Pinned against the user's configuration: log.decorate and
  // log.excludeDecoration (or log.initialDecorationSet) would rename or hide
  // the "HEAD -> branch" entry, log.showSignature prints gpg's report ahead of
  // the hash, and colour, notes and i18n.logOutputEncoding change the bytes.
  // "--" keeps a working-tree file named like the head from making the
  // revision ambiguous.
  return {"show",
          "--no-patch",
          "--decorate=short",
          "--decorate-refs=HEAD",
          "--decorate-refs=refs/heads/",
          "--decorate-refs=refs/remotes/",
          "--decorate-refs=refs/tags/",
          "--no-show-signature",
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
