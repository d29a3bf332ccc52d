#include "tavrik/Commands/CommitQueries.h"

#include "tavrik/Interfaces/Repo.h"
#include "tavrik/Util/TavrikError.h"

namespace tavrik {

std::vector<std::string> GitExecMergeBaseOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args{"merge-base", "--octopus"};
  for (const auto& commit : commits) args.push_back(commit.string());
  return args;
}

Oid GitExecMergeBaseOperation::execute(GitOperationContext& context) {
  if (commits.size() == 1) return commits.front();
  runCommand(context);
  auto line = stdOutBuffer->scanToEOL();
  auto oid = line ? Oid::parse(*line) : std::nullopt;
  if (!oid) throw TavrikError::noCommonAncestor();
  return *oid;
}

arbor::Commit GitCommitLookupOperation::execute(GitOperationContext& context) {
  const auto& descriptor = context.requireDescriptor();
  auto repo = arbor::Repo::openAtPath(descriptor.gitURL.path());
  return arbor::Commit::lookup(oid, repo);
}

} // namespace tavrik
