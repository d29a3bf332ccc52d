#include "tavrik/Commands/IndexCommands.h"

#include "tavrik/Queue/GitTask.h"
#include "tavrik/Queue/TavrikError.h"

namespace tavrik {

namespace {
void appendPaths(std::vector<std::string>& args, const std::set<std::string>& paths) {
  args.push_back("--");
  args.insert(args.end(), paths.begin(), paths.end());
}
} // namespace

std::vector<std::string> GitExecAddOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args{"add", "--all"};
  appendPaths(args, paths);
  return args;
}

GitAspects GitExecAddOperation::aspects() const { return {GitAspects::status, GitAspects::submodules}; }

std::vector<std::string> GitExecRmOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args{"rm"};
  if (recursive) args.push_back("-r");
  if (cached) args.push_back("--cached");
  appendPaths(args, paths);
  return args;
}

GitAspects GitExecRmOperation::aspects() const { return GitAspects::status; }

std::vector<std::string> GitExecResetOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args{"reset", "--quiet"};
  if (soft) args.push_back("--soft");
  if (mixed) args.push_back("--mixed");
  if (hard) args.push_back("--hard");
  if (treeish) args.push_back(*treeish);
  if (paths) appendPaths(args, *paths);
  return args;
}

void GitExecResetOperation::validate(GitOperationContext&) { TavrikError::refuseOptionLikeName(treeish); }

GitAspects GitExecResetOperation::aspects() const {
  return {GitAspects::head, GitAspects::status, GitAspects::refs, GitAspects::submodules};
}

std::shared_ptr<GitExecCheckoutOperation> GitExecCheckoutOperation::resolve(const std::string& path, bool useOurs) {
  return makeOperation<GitExecCheckoutOperation>(std::nullopt, std::set<std::string>{path}, false, false, false,
                                                 useOurs, !useOurs);
}

std::optional<std::string> GitExecCheckoutOperation::title() const {
  return treeish ? "Checkout " + *treeish : std::string("Checkout");
}

std::vector<std::string> GitExecCheckoutOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args{"checkout"};
  if (force) args.push_back("--force");
  if (ours) args.push_back("--ours");
  if (theirs) args.push_back("--theirs");
  if (createBranch) args.push_back("-b");
  if (treeish) args.push_back(*treeish);
  if (track) args.push_back("--track");
  if (!paths.empty()) appendPaths(args, paths);
  return args;
}

void GitExecCheckoutOperation::validate(GitOperationContext&) { TavrikError::refuseOptionLikeName(treeish); }

GitAspects GitExecCheckoutOperation::aspects() const {
  return {GitAspects::head, GitAspects::status, GitAspects::refs, GitAspects::reflogs};
}

std::shared_ptr<GitExecStashOperation> GitExecStashOperation::apply(std::optional<int> index, bool reinstanteIndex) {
  return makeOperation<GitExecStashOperation>("apply", index, std::nullopt, reinstanteIndex, false, false, false);
}

std::shared_ptr<GitExecStashOperation> GitExecStashOperation::pop(std::optional<int> index, bool reinstanteIndex) {
  return makeOperation<GitExecStashOperation>("pop", index, std::nullopt, reinstanteIndex, false, false, false);
}

std::shared_ptr<GitExecStashOperation> GitExecStashOperation::drop(std::optional<int> index) {
  return makeOperation<GitExecStashOperation>("drop", index, std::nullopt, false, false, false, false);
}

std::shared_ptr<GitExecStashOperation> GitExecStashOperation::save(std::optional<std::string> message, bool keepIndex,
                                                                   bool includeUntracked, bool includeIgnored) {
  return makeOperation<GitExecStashOperation>("save", std::nullopt, std::move(message), false, keepIndex,
                                              includeUntracked, includeIgnored);
}

std::vector<std::string> GitExecStashOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args{"stash"};
  if (verb) args.push_back(*verb);
  if (reinstanteIndex) args.push_back("--index");
  if (index) args.push_back(std::to_string(*index));
  if (keepIndex) args.push_back("--keep-index");
  if (includeUntracked) args.push_back("--include-untracked");
  if (includeIgnored) args.push_back("--all");
  if (message) {
    // As the last word a message that begins with "-" would be read as an
    // option; as the value of --message it is taken as it is.
    if (!message->empty() && message->front() == '-') args.push_back("--message");
    args.push_back(*message);
  }
  return args;
}

void GitExecStashOperation::validate(GitOperationContext&) {
  if (index && *index < 0) throw TavrikError("Invalid stash index " + std::to_string(*index), "A stash index cannot be negative.");
}

GitAspects GitExecStashOperation::aspects() const {
  return {GitAspects::head, GitAspects::status, GitAspects::logDescriptor, GitAspects::stashes};
}

std::vector<std::string> GitExecCommitOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args{"commit"};
  if (amend) args.push_back("--amend");
  if (signOff) args.push_back("--signoff");
  args.push_back("--message");
  args.push_back(message);
  return args;
}

std::map<std::string, std::string> GitExecCommitOperation::environment(GitOperationContext& context) {
  context.overrideAuthor = author;
  context.overrideCommitter = committer;
  return GitExecCommandOperation::environment(context);
}

GitAspects GitExecCommitOperation::aspects() const { return {GitAspects::head, GitAspects::status, GitAspects::refs}; }

pledge::Void GitExecCommitOperation::execute(GitOperationContext& context) {
  if (auto task = this->task()) {
    task->setString("Running hooks and committing...");
    task->setProgress(std::nullopt);
  }
  runAndReport(context);
  return {};
}

} // namespace tavrik
