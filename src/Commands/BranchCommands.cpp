#include "tavrik/Commands/BranchCommands.h"

#include "tavrik/Util/StringUtilities.h"
#include "tavrik/Util/TavrikError.h"

#include <algorithm>

namespace tavrik {

GitExecBranchOperation::GitExecBranchOperation(GitExecBranchOptions options)
    : deleteBranch(options.deleteBranch), move(options.move), copy(options.copy), force(options.force),
      track(options.track), setUpstreamTo(std::move(options.setUpstreamTo)),
      unsetUpstream(std::move(options.unsetUpstream)), contains(std::move(options.contains)),
      names(std::move(options.names)) {}

std::shared_ptr<GitExecBranchOperation> GitExecBranchOperation::deleteBranches(std::vector<std::string> names,
                                                                               bool force) {
  return makeOperation<GitExecBranchOperation>(
      {.deleteBranch = true, .force = force, .names = {names.begin(), names.end()}});
}

std::shared_ptr<GitExecBranchOperation> GitExecBranchOperation::moveBranch(std::string name, std::string newName,
                                                                           bool force) {
  return makeOperation<GitExecBranchOperation>(
      {.move = true, .force = force, .names = {std::move(name), std::move(newName)}});
}

std::shared_ptr<GitExecBranchOperation> GitExecBranchOperation::copyBranch(std::string name, std::string newName,
                                                                           bool force) {
  return makeOperation<GitExecBranchOperation>(
      {.copy = true, .force = force, .names = {std::move(name), std::move(newName)}});
}

std::shared_ptr<GitExecBranchOperation> GitExecBranchOperation::create(std::string name,
                                                                       std::optional<std::string> start, bool track) {
  return makeOperation<GitExecBranchOperation>({.track = track, .names = {std::move(name), std::move(start)}});
}

std::shared_ptr<GitExecBranchOperation> GitExecBranchOperation::setUpstream(std::string upstream, std::string name) {
  return makeOperation<GitExecBranchOperation>({.setUpstreamTo = std::move(upstream), .names = {std::move(name)}});
}

std::shared_ptr<GitExecBranchOperation> GitExecBranchOperation::unsetUpstreamOf(std::string name) {
  return makeOperation<GitExecBranchOperation>({.unsetUpstream = std::move(name)});
}

std::shared_ptr<GitExecBranchOperation> GitExecBranchOperation::containing(std::string commit) {
  return makeOperation<GitExecBranchOperation>({.contains = std::move(commit)});
}

std::shared_ptr<GitExecBranchOperation> GitExecBranchOperation::list() {
  return makeOperation<GitExecBranchOperation>();
}

std::vector<std::string> GitExecBranchOperation::arguments(GitOperationContext&) {
  // column.ui would lay the listing out in columns; it never changes a
  // command that is not a listing.
  std::vector<std::string> args{"branch", "--no-color", "--no-column"};
  if (deleteBranch) args.push_back("--delete");
  if (move) args.push_back("--move");
  if (copy) args.push_back("--copy");
  if (force) args.push_back("--force");
  if (track) args.push_back("--track");
  if (setUpstreamTo) {
    args.push_back("--set-upstream-to");
    args.push_back(*setUpstreamTo);
  }
  if (unsetUpstream) {
    args.push_back("--unset-upstream");
    args.push_back(*unsetUpstream);
  }
  if (contains) {
    args.push_back("--all");
    args.push_back("--contains");
    args.push_back(*contains);
  }
  for (const auto& name : names)
    if (name) args.push_back(*name);
  return args;
}

void GitExecBranchOperation::validate(GitOperationContext&) {
  TavrikError::refuseOptionLikeName(setUpstreamTo);
  TavrikError::refuseOptionLikeName(unsetUpstream);
  TavrikError::refuseOptionLikeName(contains);
  for (const auto& name : names) TavrikError::refuseOptionLikeName(name);
}

GitAspects GitExecBranchOperation::aspects() const {
  // A listing changes nothing: reporting it would refresh the whole view.
  const bool changes = deleteBranch || move || copy || setUpstreamTo || unsetUpstream ||
                       std::any_of(names.begin(), names.end(), [](const auto& name) { return name.has_value(); });
  if (!changes) return {};
  return {GitAspects::head, GitAspects::status, GitAspects::refs, GitAspects::reflogs};
}

GitExecBranchList GitExecBranchOperation::execute(GitOperationContext& context) {
  runAndReport(context);
  return parseBranchList(stdOutBuffer->data());
}

GitExecBranchList GitExecBranchOperation::parseBranchList(std::string_view output) {
  GitExecBranchList list;
  for (auto line : splitPieces(output, '\n')) {
    // A symbolic entry reads "origin/HEAD -> origin/main"; "->" alone may be
    // part of a name, but a space may not.
    if (line.empty() || line.find(" -> ") != std::string_view::npos) continue;
    GitExecBranch branch;
    branch.isHead = line.front() == '*';
    // "+ " marks a branch checked out in another worktree; a name has no space.
    if (line.size() > 2 && line[0] == '+' && line[1] == ' ') line.remove_prefix(2);
    auto isPadding = [](char c) { return c == '*' || c == ' ' || c == '\t' || c == '\r'; };
    while (!line.empty() && isPadding(line.front())) line.remove_prefix(1);
    while (!line.empty() && isPadding(line.back())) line.remove_suffix(1);
    if (line.empty()) continue;
    branch.name = std::string(line);
    list.branches.push_back(std::move(branch));
  }
  return list;
}

std::shared_ptr<GitExecTagOperation> GitExecTagOperation::create(std::string tag, std::optional<std::string> target,
                                                                 std::optional<std::string> message, bool force) {
  return makeOperation<GitExecTagOperation>(
      {.tag = std::move(tag), .target = std::move(target), .message = std::move(message), .force = force});
}

std::shared_ptr<GitExecTagOperation> GitExecTagOperation::deleteTagNamed(std::string tag) {
  return makeOperation<GitExecTagOperation>({.tag = std::move(tag), .deleteTag = true});
}

std::vector<std::string> GitExecTagOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args{"tag"};
  if (force) args.push_back("--force");
  // From standard input: one argument may hold no more than 128 KiB.
  if (message) args.push_back("--file=-");
  if (deleteTag) args.push_back("--delete");
  if (!deleteTag && (!message || sign == GitSigning::doNotSign)) args.push_back("--no-sign");
  else if (sign == GitSigning::sign) args.push_back("--sign");
  args.push_back(tag);
  if (target) args.push_back(*target);
  return args;
}

void GitExecTagOperation::validate(GitOperationContext&) {
  if (sign == GitSigning::sign && (!message || deleteTag))
    throw TavrikError("Cannot sign the tag " + tag, "Only an annotated tag, one with a message, can be signed.");
  TavrikError::refuseOptionLikeName(tag);
  TavrikError::refuseOptionLikeName(target);
}

std::optional<std::string> GitExecTagOperation::standardInputData() { return message; }

GitAspects GitExecTagOperation::aspects() const { return GitAspects::refs; }

} // namespace tavrik
