#include "tavrik/Commands/HistoryCommands.h"

#include "tavrik/Queue/TavrikError.h"

namespace tavrik {

namespace {
void addIf(std::vector<std::string>& args, bool condition, const char* argument) {
  if (condition) args.push_back(argument);
}
} // namespace

std::shared_ptr<GitExecMergeOperation> GitExecMergeOperation::abortMerge() {
  return makeOperation<GitExecMergeOperation>(std::nullopt, false, false, true, false);
}

std::shared_ptr<GitExecMergeOperation> GitExecMergeOperation::continueOperation() {
  return makeOperation<GitExecMergeOperation>(std::nullopt, false, false, false, true);
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
  return makeOperation<GitExecRebaseOperation>(std::nullopt, true, false);
}

std::shared_ptr<GitExecRebaseOperation> GitExecRebaseOperation::continueOperation() {
  return makeOperation<GitExecRebaseOperation>(std::nullopt, false, true);
}

std::shared_ptr<GitExecRebaseOperation> GitExecRebaseOperation::interactiveRebase(std::optional<std::string> refish,
                                                                                 std::shared_ptr<GitEditor> editor) {
  const bool root = !refish;
  auto op = makeOperation<GitExecRebaseOperation>(std::move(refish), false, false, true, root);
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

void GitExecRebaseOperation::validate(GitOperationContext&) { TavrikError::refuseOptionLikeName(refish); }

GitAspects GitExecRebaseOperation::aspects() const {
  return {GitAspects::head, GitAspects::status, GitAspects::refs, GitAspects::submodules};
}

std::shared_ptr<GitExecCherryPickOperation> GitExecCherryPickOperation::abortPick() {
  return makeOperation<GitExecCherryPickOperation>(std::vector<Oid>{}, true, false);
}

std::shared_ptr<GitExecCherryPickOperation> GitExecCherryPickOperation::continueOperation() {
  return makeOperation<GitExecCherryPickOperation>(std::vector<Oid>{}, false, true);
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
  return makeOperation<GitExecRevertOperation>(std::nullopt, true, false);
}

std::shared_ptr<GitExecRevertOperation> GitExecRevertOperation::continueOperation() {
  return makeOperation<GitExecRevertOperation>(std::nullopt, false, true);
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
