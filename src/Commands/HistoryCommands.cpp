#include "tavrik/Commands/HistoryCommands.h"

#include "tavrik/Commands/IndexCommands.h"
#include "tavrik/Interfaces/Commit.h"
#include "tavrik/Interfaces/Repo.h"
#include "tavrik/Util/FileSystem.h"
#include "tavrik/Util/StringUtilities.h"
#include "tavrik/Util/TavrikError.h"

#include <algorithm>

namespace tavrik {

namespace {
void addIf(std::vector<std::string>& args, bool condition, const char* argument) {
  if (condition) args.push_back(argument);
}

// The commits `git rebase -i` lists for its instructions, as git chooses
// them: not merges, and not those already upstream in another form.
class RebasedCommitsOperation : public GitExecOperation<std::vector<Oid>> {
public:
  explicit RebasedCommitsOperation(std::optional<std::string> upstream) : upstream_(std::move(upstream)) {}
  std::vector<std::string> arguments(GitOperationContext&) override {
    return {"rev-list", "--no-merges", "--right-only", "--cherry-pick",
            upstream_ ? *upstream_ + "...HEAD" : "HEAD", "--"};
  }
  std::vector<Oid> execute(GitOperationContext& context) override {
    runCommand(context);
    std::vector<Oid> commits;
    while (auto line = stdOutBuffer->scanToEOL())
      if (auto oid = Oid::parse(*line)) commits.push_back(*oid);
    return commits;
  }

private:
  std::optional<std::string> upstream_;
};

void refuseUnfittingPlan(const GitRebaseRequest& plan, const std::vector<Oid>& listed) {
  std::vector<Oid> seen;
  for (const auto& action : plan.actions) {
    const std::string name = std::string(rawValue(action.verb)) + "=" + action.commit.string();
    if (std::find(listed.begin(), listed.end(), action.commit) == listed.end())
      throw TavrikError("Invalid rebase plan: " + name,
                        "The commit is not among those the rebase replays; nothing was changed.");
    if (std::find(seen.begin(), seen.end(), action.commit) != seen.end())
      throw TavrikError("Invalid rebase plan: " + name,
                        "The plan names this commit twice; give each commit one action. Nothing was changed.");
    seen.push_back(action.commit);
  }
}

// git stops at an `edit` with the commit made; it goes back into the index
// so that the user's next commit replaces it, whichever stop this is. A root
// commit has nothing below it to go back to: the next commit amends it.
void reopenEditStop(GitOperationContext& context) {
  const auto* descriptor = context.effectiveDescriptor();
  if (!descriptor) return;
  auto stopped = detail::commitHeldAtEditStop(descriptor->gitURL.path());
  if (!stopped) return;
  auto repo = arbor::Repo::openAtPath(descriptor->url.path());
  if (arbor::Commit::lookup(*stopped, repo).parentIds.empty()) return;
  makeOperation<GitExecResetOperation>({.mode = GitExecResetMode::soft, .treeish = "HEAD^"})->execute(context);
}
} // namespace

std::optional<Oid> detail::commitHeldAtEditStop(const std::string& gitDirectory) {
  auto stopped = readFileIfExists(gitDirectory + "/rebase-merge/amend");
  auto head = readFileIfExists(gitDirectory + "/HEAD");
  // A conflict stop writes no "amend"; once reopened, HEAD no longer is it.
  if (!stopped || !head || trimmed(*stopped) != trimmed(*head)) return std::nullopt;
  return Oid::parse(trimmed(*stopped));
}

std::shared_ptr<GitExecMergeOperation> GitExecMergeOperation::abortMerge() {
  return makeOperation<GitExecMergeOperation>({.abort = true});
}

std::shared_ptr<GitExecMergeOperation> GitExecMergeOperation::continueOperation() {
  return makeOperation<GitExecMergeOperation>({.continueMerge = true});
}

std::vector<std::string> GitExecMergeOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args{"merge"};
  addIf(args, squash, "--squash");
  addIf(args, noFastForward, "--no-ff");
  addIf(args, abort, "--abort");
  addIf(args, continueMerge, "--continue");
  if (refish) args.push_back(*refish);
  return args;
}

void GitExecMergeOperation::validate(GitOperationContext&) { TavrikError::refuseOptionLikeName(refish); }

GitAspects GitExecMergeOperation::aspects() const {
  return {GitAspects::head, GitAspects::status, GitAspects::refs, GitAspects::reflogs};
}

std::shared_ptr<GitExecRebaseOperation> GitExecRebaseOperation::abortRebase() {
  return makeOperation<GitExecRebaseOperation>({.abort = true});
}

std::shared_ptr<GitExecRebaseOperation> GitExecRebaseOperation::continueOperation() {
  return makeOperation<GitExecRebaseOperation>({.continueRebase = true});
}

std::shared_ptr<GitExecRebaseOperation> GitExecRebaseOperation::interactiveRebase(std::optional<std::string> refish,
                                                                                 std::shared_ptr<GitEditor> editor) {
  const bool root = !refish;
  auto op = makeOperation<GitExecRebaseOperation>({.refish = std::move(refish), .interactive = true, .root = root});
  op->editor = std::move(editor);
  return op;
}

namespace detail {
bool rebaseFromRoot(const GitCount& count, int64_t threshold, const std::string& refish) {
  if (count.count() < threshold) {
    Log::defaultLog().debug("rebase: commits to root %lld (treshold=%lld), rebasing from --root",
                            static_cast<long long>(count.count()), static_cast<long long>(threshold));
    return true;
  }
  Log::defaultLog().debug("rebase: commits to root %lld (treshold=%lld), rebasing from %s",
                          static_cast<long long>(count.count()), static_cast<long long>(threshold), refish.c_str());
  return false;
}
} // namespace detail

std::vector<std::string> GitExecRebaseOperation::arguments(GitOperationContext&) {
  // Tools that touch files' inode times (indexers, backup) must not make a
  // rebase see every file as changed.
  std::vector<std::string> args{"-c", "core.trustctime=false", "rebase"};
  addIf(args, abort, "--abort");
  addIf(args, continueRebase, "--continue");
  addIf(args, interactive, "--interactive");
  addIf(args, root, "--root");
  if (refish) args.push_back(*refish);
  return args;
}

void GitExecRebaseOperation::validate(GitOperationContext& context) {
  TavrikError::refuseOptionLikeName(refish);
  // Only an editor bridge carries a plan; another session leaves git's list.
  auto rebaseEditor = std::dynamic_pointer_cast<GitEditor>(editor);
  if (!interactive || !rebaseEditor) return;
  auto plan = rebaseEditor->rebaseRequest();
  if (!plan || plan->actions.empty()) return;
  refuseUnfittingPlan(*plan, makeOperation<RebasedCommitsOperation>(refish)->execute(context));
}

pledge::Void GitExecRebaseOperation::execute(GitOperationContext& context) {
  runAndReport(context);
  if (!abort) reopenEditStop(context);
  return {};
}

GitAspects GitExecRebaseOperation::aspects() const {
  return {GitAspects::head, GitAspects::status, GitAspects::refs, GitAspects::submodules};
}

std::shared_ptr<GitExecCherryPickOperation> GitExecCherryPickOperation::abortPick() {
  return makeOperation<GitExecCherryPickOperation>({.abort = true});
}

std::shared_ptr<GitExecCherryPickOperation> GitExecCherryPickOperation::continueOperation() {
  return makeOperation<GitExecCherryPickOperation>({.continuePick = true});
}

std::vector<std::string> GitExecCherryPickOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args{"cherry-pick"};
  addIf(args, abort, "--abort");
  addIf(args, continuePick, "--continue");
  if (!commits.empty()) {
    args.push_back("-m");
    args.push_back("1");
    for (const auto& commit : commits) args.push_back(commit.string());
  }
  return args;
}

std::map<std::string, std::string> GitExecCherryPickOperation::environment(GitOperationContext& context) {
  auto variables = GitExecCommandOperation::environment(context);
  variables.erase("GIT_AUTHOR_NAME");
  variables.erase("GIT_AUTHOR_EMAIL");
  return variables;
}

GitAspects GitExecCherryPickOperation::aspects() const {
  return {GitAspects::head, GitAspects::status, GitAspects::refs, GitAspects::reflogs};
}

std::shared_ptr<GitExecRevertOperation> GitExecRevertOperation::abortRevert() {
  return makeOperation<GitExecRevertOperation>({.abort = true});
}

std::shared_ptr<GitExecRevertOperation> GitExecRevertOperation::continueOperation() {
  return makeOperation<GitExecRevertOperation>({.continueRevert = true});
}

std::vector<std::string> GitExecRevertOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args{"revert"};
  addIf(args, abort, "--abort");
  addIf(args, continueRevert, "--continue");
  if (oid) {
    args.push_back("-m");
    args.push_back("1");
    args.push_back(oid->string());
  }
  return args;
}

GitAspects GitExecRevertOperation::aspects() const { return {GitAspects::head, GitAspects::status, GitAspects::refs}; }

std::shared_ptr<GitExecAmOperation> GitExecAmOperation::abortApply() { return makeOperation<GitExecAmOperation>(true); }

std::vector<std::string> GitExecAmOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args{"am"};
  addIf(args, abort, "--abort");
  return args;
}

std::shared_ptr<GitExecBisectOperation> GitExecBisectOperation::resetBisect() {
  return makeOperation<GitExecBisectOperation>(true);
}

std::vector<std::string> GitExecBisectOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args{"bisect"};
  addIf(args, reset, "reset");
  return args;
}

GitAspects GitExecBisectOperation::aspects() const { return {GitAspects::head, GitAspects::status, GitAspects::refs}; }

} // namespace tavrik
