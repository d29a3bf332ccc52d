// The steps of conflict prediction that other history commands share: the
// git runs it makes (with a fixed identity, so temporary commits need none of
// the user's) and the replay of commits onto a commit.
#pragma once

#include "tavrik/Commands/ConflictPrediction.h"

#include <string>
#include <vector>

namespace tavrik::detail {

/// Runs git, failing (GitStdError) for any status but 0; its raw output.
std::string runPredictionGit(GitOperationContext& context, std::vector<std::string> args);
/// The commit `revision` names; TavrikError when it names none.
Oid resolveCommit(GitOperationContext& context, const std::string& revision);
/// A commit object with `tree` and `parents` that no ref names.
Oid temporaryCommit(GitOperationContext& context, const std::string& tree, const std::vector<Oid>& parents);
/// The prediction of cherry-picking `commits`, in order, onto `onto`.
GitConflictPrediction predictCherryPicks(GitOperationContext& context, const Oid& onto, const std::vector<Oid>& commits);

} // namespace tavrik::detail
