// Two small lookups: the best common ancestor of commits (git merge-base
// --octopus) and a commit read from the object database.
#pragma once

#include "tavrik/Interfaces/Commit.h"
#include "tavrik/Interfaces/Oid.h"
#include "tavrik/Process/GitExecOperation.h"

#include <vector>

namespace tavrik {

class GitExecMergeBaseOperation : public GitExecOperation<Oid> {
public:
  explicit GitExecMergeBaseOperation(std::vector<Oid> commits) : commits(std::move(commits)) {}
  const std::vector<Oid> commits;

  std::vector<std::string> arguments(GitOperationContext& context) override;
  /// A single commit is its own base (git does not run). Throws
  /// TavrikError::noCommonAncestor when git names none, GitStdError when it fails.
  Oid execute(GitOperationContext& context) override;
};

class GitCommitLookupOperation : public GitOperation<arbor::Commit> {
public:
  explicit GitCommitLookupOperation(Oid oid) : oid(oid) {}
  const Oid oid;
  /// Throws TavrikError::invalidRepository without a repository and
  /// arbor::Error when the commit cannot be read.
  arbor::Commit execute(GitOperationContext& context) override;
};

} // namespace tavrik
