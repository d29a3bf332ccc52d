#include "tavrik/Commands/GitFixupOperation.h"

#include "HistoryRewrite.h"
#include "tavrik/Commands/HistoryCommands.h"
#include "tavrik/Commands/IndexCommands.h"
#include "tavrik/Rebase/GitSocketEditor.h"
#include "tavrik/Util/StringUtilities.h"
#include "tavrik/Util/TavrikError.h"

#include <algorithm>

namespace tavrik {

namespace {

// The fixup commit: the staged changes, or none for a message-only amend.
class FixupCommit : public GitExecCommitOperation {
public:
  using GitExecCommitOperation::GitExecCommitOperation;
  std::vector<std::string> arguments(GitOperationContext& context) override {
    auto args = GitExecCommitOperation::arguments(context);
    args.insert(args.begin() + 1, "--allow-empty");
    return args;
  }
};

// The interactive rebase with autosquashing pinned on, and no other branch
// moved along.
class AutosquashRebase : public GitExecRebaseOperation {
public:
  using GitExecRebaseOperation::GitExecRebaseOperation;
  std::vector<std::string> arguments(GitOperationContext& context) override {
    auto args = GitExecRebaseOperation::arguments(context);
    auto rebase = std::find(args.begin(), args.end(), "rebase");
    args.insert(rebase + 1, {"--autosquash", "--no-update-refs"});
    return args;
  }
};

TavrikError refusal(const std::string& what, const std::string& why) {
  return detail::historyRefusal("fix up", what, why);
}

} // namespace

GitConflictPrediction GitFixupOperation::execute(GitOperationContext& context) {
  const auto checked = detail::checkBranchCommit(context, options.commit, "fix up", options.allowPublished);
  const Oid target = checked.commit, head = checked.head;
  const std::string name = options.commit;

  // The rebase would refuse them only once the fixup commit is made.
  if (!detail::runPredictionGit(context, {"diff", "--name-only", "-z", "--no-ext-diff", "--ignore-submodules"}).empty())
    throw refusal(name, "The working tree has changes that are not staged; stage or stash them first.");
  const auto tree = trimmed(detail::runPredictionGit(context, {"write-tree"}));
  const auto headTree = trimmed(detail::runPredictionGit(context, {"rev-parse", head.string() + "^{tree}"}));
  if (options.mode == GitFixupMode::fixup && tree == headTree) throw refusal(name, "Nothing is staged.");

  // The replay the rebase will make: the fixup onto the commit, then the
  // commits above it, each as they are.
  auto fixup = detail::temporaryCommit(context, tree, {head});
  std::vector<Oid> replayed{fixup};
  const auto above =
      detail::runPredictionGit(context, {"rev-list", "--reverse", head.string(), "--not", target.string(), "--"});
  for (auto line : splitPieces(above, '\n'))
    if (auto oid = Oid::parse(line)) replayed.push_back(*oid);
  auto prediction = detail::predictCherryPicks(context, target, replayed);
  if (!prediction.clean && !options.allowConflicts) {
    std::string paths;
    for (const auto& path : prediction.conflictedPaths) paths += " " + path;
    throw refusal(name, "Replaying the branch would stop on conflicts in" + paths + ".");
  }

  auto subject = trimmed(detail::runPredictionGit(context, {"rev-list", "--no-commit-header", "--format=%s", "-n1",
                                                            target.string(), "--"}));
  std::string message = (options.mode == GitFixupMode::fixup ? "fixup! " : "amend! ") + subject + "\n";
  if (options.mode == GitFixupMode::amend) {
    auto body = options.message ? *options.message
                                : detail::runPredictionGit(context, {"rev-list", "--no-commit-header", "--format=%B",
                                                                     "-n1", target.string(), "--"});
    message += "\n" + body;
  }
  makeOperation<FixupCommit>(GitExecCommitOptions{.message = message})->execute(context);

  const auto descriptor = context.requireDescriptor();
  auto editor = GitSocketEditor::create(descriptor, GitRebaseRequest{});
  const bool root = !checked.parent;
  auto rebase = makeOperation<AutosquashRebase>(GitExecRebaseOptions{
      .refish = root ? std::nullopt : std::optional(target.string() + "^"), .interactive = true, .root = root});
  rebase->editor = editor;
  rebase->execute(context);
  return prediction;
}

} // namespace tavrik
