#include "tavrik/Commands/GitExecRevParseCommitOperation.h"

#include "tavrik/Process/GitStdError.h"
#include "tavrik/Util/TavrikError.h"

namespace tavrik {

std::vector<std::string> GitExecRevParseCommitOperation::arguments(GitOperationContext&) {
  return {"rev-parse", "--verify", "--quiet", "--end-of-options", revision + "^{commit}"};
}

Oid GitExecRevParseCommitOperation::execute(GitOperationContext& context) {
  TavrikError::refuseOptionLikeRevision(revision);
  try {
    runCommand(context);
  } catch (const GitStdError& error) {
    // With --quiet, status 1 and no text is git's "no such commit"; anything
    // else (no repository, a broken object store) is a failure of its own.
    if (error.status() != 1) throw;
  }
  auto line = stdOutBuffer->scanToEOL();
  if (auto oid = line ? Oid::parse(*line) : std::nullopt) return *oid;
  throw TavrikError("Unknown commit \"" + revision + "\"", "Git knows no commit by that name.");
}

} // namespace tavrik
