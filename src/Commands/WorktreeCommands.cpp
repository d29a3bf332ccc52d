#include "tavrik/Commands/WorktreeCommands.h"

#include "tavrik/Util/TavrikError.h"

namespace tavrik {

std::shared_ptr<GitExecWorktreeOperation> GitExecWorktreeOperation::add(std::string path,
                                                                       GitWorktreeCheckout checkout,
                                                                       std::optional<std::string> branch,
                                                                       std::optional<std::string> start) {
  return makeOperation<GitExecWorktreeOperation>(GitExecWorktreeOptions{.action = GitWorktreeAction::add,
                                                                        .path = std::move(path),
                                                                        .checkout = checkout,
                                                                        .branch = std::move(branch),
                                                                        .start = std::move(start)});
}

std::shared_ptr<GitExecWorktreeOperation> GitExecWorktreeOperation::remove(std::string path, bool force) {
  return makeOperation<GitExecWorktreeOperation>(
      GitExecWorktreeOptions{.action = GitWorktreeAction::remove, .path = std::move(path), .force = force});
}

std::shared_ptr<GitExecWorktreeOperation> GitExecWorktreeOperation::move(std::string path, std::string newPath) {
  return makeOperation<GitExecWorktreeOperation>(GitExecWorktreeOptions{
      .action = GitWorktreeAction::move, .path = std::move(path), .newPath = std::move(newPath)});
}

std::shared_ptr<GitExecWorktreeOperation> GitExecWorktreeOperation::lock(std::string path,
                                                                        std::optional<std::string> reason) {
  return makeOperation<GitExecWorktreeOperation>(GitExecWorktreeOptions{
      .action = GitWorktreeAction::lock, .path = std::move(path), .reason = std::move(reason)});
}

std::shared_ptr<GitExecWorktreeOperation> GitExecWorktreeOperation::unlock(std::string path) {
  return makeOperation<GitExecWorktreeOperation>(
      GitExecWorktreeOptions{.action = GitWorktreeAction::unlock, .path = std::move(path)});
}

std::shared_ptr<GitExecWorktreeOperation> GitExecWorktreeOperation::prune() {
  return makeOperation<GitExecWorktreeOperation>(GitExecWorktreeOptions{.action = GitWorktreeAction::prune});
}

std::shared_ptr<GitExecWorktreeOperation> GitExecWorktreeOperation::repair(std::optional<std::string> path) {
  return makeOperation<GitExecWorktreeOperation>(
      GitExecWorktreeOptions{.action = GitWorktreeAction::repair, .path = std::move(path)});
}

namespace {

const char* verbOf(GitWorktreeAction action) {
  switch (action) {
  case GitWorktreeAction::add:
    return "add";
  case GitWorktreeAction::remove:
    return "remove";
  case GitWorktreeAction::move:
    return "move";
  case GitWorktreeAction::lock:
    return "lock";
  case GitWorktreeAction::unlock:
    return "unlock";
  case GitWorktreeAction::prune:
    return "prune";
  case GitWorktreeAction::repair:
    return "repair";
  }
  return "list";
}

} // namespace

std::vector<std::string> GitExecWorktreeOperation::arguments(GitOperationContext&) {
  const auto& o = options;
  std::vector<std::string> args{"worktree", verbOf(o.action)};
  std::vector<std::string> positional;
  if (o.path) positional.push_back(*o.path);
  switch (o.action) {
  case GitWorktreeAction::add:
    if (o.force) args.push_back("--force");
    if (o.checkout == GitWorktreeCheckout::newBranch) {
      args.push_back("-b");
      args.push_back(o.branch.value_or(""));
      if (o.start) positional.push_back(*o.start);
    } else if (o.checkout == GitWorktreeCheckout::detached) {
      args.push_back("--detach");
      if (o.start) positional.push_back(*o.start);
    } else if (o.branch) {
      positional.push_back(*o.branch);
    }
    break;
  case GitWorktreeAction::remove:
  case GitWorktreeAction::move:
    if (o.force) args.push_back("--force");
    if (o.action == GitWorktreeAction::move && o.newPath) positional.push_back(*o.newPath);
    break;
  case GitWorktreeAction::lock:
    // Joined to its option, a reason may begin with "-" as any text may.
    if (o.reason) args.push_back("--reason=" + *o.reason);
    break;
  case GitWorktreeAction::unlock:
  case GitWorktreeAction::prune:
  case GitWorktreeAction::repair:
    break;
  }
  if (!positional.empty()) {
    args.push_back("--");
    args.insert(args.end(), positional.begin(), positional.end());
  }
  return args;
}

GitAspects GitExecWorktreeOperation::aspects() const {
  switch (options.action) {
  case GitWorktreeAction::add:
    return {GitAspects::worktrees, GitAspects::refs, GitAspects::reflogs};
  case GitWorktreeAction::remove:
  case GitWorktreeAction::move:
  case GitWorktreeAction::prune:
    return {GitAspects::worktrees, GitAspects::refs};
  case GitWorktreeAction::lock:
  case GitWorktreeAction::unlock:
  case GitWorktreeAction::repair:
    break;
  }
  return GitAspects::worktrees;
}

void GitExecWorktreeOperation::validate(GitOperationContext&) {
  const auto& o = options;
  const bool needsPath = o.action != GitWorktreeAction::prune && o.action != GitWorktreeAction::repair;
  if (needsPath && (!o.path || o.path->empty()))
    throw TavrikError("Missing Worktree Path", "git worktree " + std::string(verbOf(o.action)) + " needs a path.");
  if (o.action == GitWorktreeAction::move && (!o.newPath || o.newPath->empty()))
    throw TavrikError("Missing Worktree Path", "git worktree move needs the new path.");
  if (o.action == GitWorktreeAction::add && o.checkout == GitWorktreeCheckout::newBranch &&
      (!o.branch || o.branch->empty()))
    throw TavrikError("Missing Branch Name", "A new worktree on a new branch needs the branch's name.");
  TavrikError::refuseOptionLikeArgument("worktree path", o.path);
  TavrikError::refuseOptionLikeArgument("worktree path", o.newPath);
  TavrikError::refuseOptionLikeName(o.branch);
  if (o.start) TavrikError::refuseOptionLikeRevision(*o.start);
}

} // namespace tavrik
