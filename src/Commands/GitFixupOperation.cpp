#include "tavrik/Commands/GitFixupOperation.h"

#include "HistoryRewrite.h"
#include "tavrik/Commands/HistoryCommands.h"
#include "tavrik/Commands/IndexCommands.h"
#include "tavrik/Rebase/GitSocketEditor.h"
#include "tavrik/Util/StringUtilities.h"
#include "tavrik/Util/TavrikError.h"

#include "tavrik/Process/GitStdError.h"

#include <algorithm>
#include <set>

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
    args.insert(rebase + 1, {"--autosquash", "--no-update-refs", "--no-autostash"});
    return args;
  }
};

TavrikError refusal(const std::string& what, const std::string& why) {
  return detail::historyRefusal("fix up", what, why);
}

// The paths a diff changes, and whether it adds or deletes any.
struct Changes {
  std::set<std::string> paths;
  bool adds = false;
  bool deletes = false;
};

// "--name-status -z --no-renames" output; nullopt for anything else.
std::optional<Changes> readChanges(std::string_view output) {
  Changes changes;
  auto fields = splitPieces(output, '\0');
  size_t i = 0;
  for (; i + 1 < fields.size(); i += 2) {
    const auto status = fields[i];
    if (status.size() != 1 || std::string_view("ADMT").find(status[0]) == std::string_view::npos) return std::nullopt;
    changes.adds = changes.adds || status == "A";
    changes.deletes = changes.deletes || status == "D";
    changes.paths.emplace(fields[i + 1]);
  }
  if (i < fields.size() && !fields[i].empty()) return std::nullopt;
  return changes;
}

// Whether a path of `a` is a path of `b`, or a folder of one, or lies in one.
bool collide(const std::set<std::string>& a, const std::set<std::string>& b) {
  auto meets = [](const std::set<std::string>& paths, const std::set<std::string>& others) {
    for (const auto& path : paths)
      for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
        if (others.count(path.substr(0, slash))) return true;
    return false;
  };
  for (const auto& path : a)
    if (b.count(path)) return true;
  return meets(a, b) || meets(b, a);
}

// Whether the replay is clean without merging: when no side of any of its
// merges can hold a rename (none both adds and deletes files, so no rename or
// folder rename is detected) and no path the staged changes touch meets a
// path the commits above the target change, each merge takes each side's
// paths as they are. It then ends at the staged tree. Merging a large tree
// costs far more than these two listings.
bool replayIsTrivial(GitOperationContext& context, const Oid& head, const std::string& tree, const Oid& target) {
  auto staged = readChanges(detail::runPredictionGit(
      context, {"diff-tree", "-r", "-z", "--no-renames", "--name-status", head.string(), tree, "--"}));
  auto above = readChanges(detail::runPredictionGit(
      context, {"-c", "log.showSignature=false", "-c", "diff.relative=false", "log", "--no-renames", "--name-status",
                "-z", "--format=", head.string(), "--not", target.string(), "--"}));
  return staged && above && !(staged->adds && staged->deletes) && !(above->adds && above->deletes) &&
         !collide(staged->paths, above->paths);
}

} // namespace

GitConflictPrediction GitFixupOperation::execute(GitOperationContext& context) {
  const auto checked = detail::checkBranchCommit(context, options.commit, "fix up", options.allowPublished);
  const Oid target = checked.commit, head = checked.head;
  const std::string name = options.commit;

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
  auto prediction = replayIsTrivial(context, head, tree, target)
                        ? GitConflictPrediction{.commits = replayed, .tree = Oid::parse(tree)}
                        : detail::predictCherryPicks(context, target, replayed);
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
  auto commit = makeOperation<FixupCommit>(GitExecCommitOptions{.message = message});
  commit->signingAuth = signingAuth;
  commit->execute(context);
  const auto fixupCommit = detail::resolveCommit(context, "HEAD");

  const auto descriptor = context.requireDescriptor();
  auto editor = GitSocketEditor::create(descriptor, GitRebaseRequest{});
  const bool root = !checked.parent;
  auto rebase = makeOperation<AutosquashRebase>(GitExecRebaseOptions{
      .refish = root ? std::nullopt : std::optional(target.string() + "^"), .interactive = true, .root = root});
  rebase->editor = editor;
  rebase->signingAuth = signingAuth;
  try {
    rebase->execute(context);
  } catch (const GitStdError&) {
    // A rebase that refused to start (unstaged changes, a hook) leaves the
    // fixup commit alone on the branch; taking it back leaves the index as it
    // was, as the commit holds exactly what was staged. Unstaged changes are
    // looked for only now: over a large working tree the look costs as much
    // as the commit.
    if (detail::rebaseInProgress(context) || detail::resolveCommit(context, "HEAD") != fixupCommit) throw;
    detail::runRewriteGit(context, {"reset", "-q", "--soft", head.string()});
    if (!detail::runPredictionGit(context, {"diff", "--name-only", "-z", "--no-ext-diff", "--ignore-submodules"})
             .empty())
      throw refusal(name, "The working tree has changes that are not staged; stage or stash them first.");
    throw;
  }
  return prediction;
}

} // namespace tavrik
