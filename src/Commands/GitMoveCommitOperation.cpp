#include "tavrik/Commands/GitMoveCommitOperation.h"

#include "HistoryRewrite.h"
#include "tavrik/Commands/HistoryCommands.h"
#include "tavrik/Rebase/GitSocketEditor.h"
#include "tavrik/Util/StringUtilities.h"

#include <algorithm>

namespace tavrik {

namespace {

// The interactive rebase that drops the commit: the configuration may not
// squash other commits or move other branches along.
class DroppingRebase : public GitExecRebaseOperation {
public:
  using GitExecRebaseOperation::GitExecRebaseOperation;
  std::vector<std::string> arguments(GitOperationContext& context) override {
    auto args = GitExecRebaseOperation::arguments(context);
    auto rebase = std::find(args.begin(), args.end(), "rebase");
    args.insert(rebase + 1, {"--no-autosquash", "--no-update-refs", "--no-autostash"});
    return args;
  }
};

void refusePredictedConflicts(const GitConflictPrediction& prediction, const std::string& what,
                              const std::string& where) {
  if (prediction.clean) return;
  std::string paths;
  for (const auto& path : prediction.conflictedPaths) paths += " " + path;
  throw detail::historyRefusal("move", what, where + " would stop on conflicts in" + paths + ".");
}

} // namespace

GitMovedCommit GitMoveCommitOperation::execute(GitOperationContext& context) {
  const auto& name = options.commit;
  TavrikError::refuseOptionLikeRevision(name);
  TavrikError::refuseOptionLikeName(options.branch);
  auto refuse = [&](const std::string& why) { return detail::historyRefusal("move", name, why); };

  const auto checked = detail::checkBranchCommit(context, name, "move", options.allowPublished);
  if (!checked.parent) throw refuse("It is the first commit of the branch; there is nothing to leave behind.");
  const std::string ref = "refs/heads/" + options.branch;
  auto found = trimmed(detail::runPredictionGit(
      context, {"for-each-ref", "--format=%(objectname) %(worktreepath)", "--", ref}));
  if (options.branch.empty() || found.empty()) throw refuse("There is no local branch \"" + options.branch + "\".");
  if (ref == checked.headRef) throw refuse("It is already on the current branch.");
  const auto space = found.find(' ');
  if (space != std::string::npos && space + 1 < found.size())
    throw refuse("\"" + options.branch + "\" is checked out in " + found.substr(space + 1) + ".");
  const Oid tip = detail::resolveCommit(context, ref);
  detail::refuseLocalChanges(context, "move", name);

  // Both sides are predicted before either changes.
  auto picked = detail::predictCherryPicks(context, tip, {checked.commit});
  refusePredictedConflicts(picked, name, "Applying it to " + options.branch);
  std::vector<Oid> above;
  // A range-for keeps only the vector of views alive, not the text they
  // point into: the listing is held here.
  const auto listing = detail::runPredictionGit(
      context, {"rev-list", "--reverse", "--topo-order", checked.head.string(), "--not", checked.commit.string(), "--"});
  for (auto line : splitPieces(listing, '\n'))
    if (auto oid = Oid::parse(line)) above.push_back(*oid);
  refusePredictedConflicts(detail::predictCherryPicks(context, *checked.parent, above), name,
                           "Taking it out of the current branch");

  const auto moved = detail::recommit(context, signingAuth, checked.commit, picked.tree->string(), {tip});
  detail::updateRefLeased(context, ref, moved, tip, "tavrik move: " + checked.commit.string());

  try {
    GitRebaseRequest request(GitRebaseAction::Verb::drop, {checked.commit}, checked.parent);
    auto rebase = makeOperation<DroppingRebase>(
        GitExecRebaseOptions{.refish = checked.parent->string(), .interactive = true});
    rebase->editor = GitSocketEditor::create(context.requireDescriptor(), request);
    rebase->signingAuth = signingAuth;
    rebase->execute(context);
  } catch (...) {
    // Back to how it was: the current branch by git's own abort, the other
    // branch by the lease on what was just written.
    if (detail::rebaseInProgress(context)) GitExecRebaseOperation::abortRebase()->execute(context);
    detail::updateRefLeased(context, ref, tip, moved, "tavrik move: undone");
    throw;
  }
  return {.moved = moved, .head = detail::resolveCommit(context, "HEAD")};
}

} // namespace tavrik
