#include "tavrik/Commands/RepositoryCommands.h"

#include "tavrik/Commands/RemoteCommands.h"
#include "tavrik/Interfaces/ArborError.h"
#include "tavrik/Interfaces/Reference.h"
#include "tavrik/Interfaces/Repo.h"
#include "tavrik/Util/StringUtilities.h"
#include "tavrik/Util/TavrikError.h"

#include <cctype>

namespace tavrik {

std::string_view rawValue(GitConfigKeys key) {
  switch (key) {
  case GitConfigKeys::vtServiceAccountUUID: return "vtServiceAccountUUID";
  }
  return "";
}

// MARK: remote

std::shared_ptr<GitExecRemoteOperation> GitExecRemoteOperation::add(std::string name, std::string url) {
  return makeOperation<GitExecRemoteOperation>({.verb = "add", .remoteName = std::move(name), .url = std::move(url)});
}

std::shared_ptr<GitExecRemoteOperation> GitExecRemoteOperation::remove(std::string name) {
  return makeOperation<GitExecRemoteOperation>({.verb = "remove", .remoteName = std::move(name)});
}

std::shared_ptr<GitExecRemoteOperation> GitExecRemoteOperation::rename(std::string name, std::string newName) {
  return makeOperation<GitExecRemoteOperation>(
      {.verb = "rename", .remoteName = std::move(name), .newName = std::move(newName)});
}

std::shared_ptr<GitExecRemoteOperation> GitExecRemoteOperation::setURLFor(std::string name, std::string url) {
  return makeOperation<GitExecRemoteOperation>({.verb = "set-url", .remoteName = std::move(name),
                                                .url = std::move(url)});
}

std::vector<std::string> GitExecRemoteOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args{"remote", verb, remoteName};
  if (newName) args.push_back(*newName);
  if (url) args.push_back(*url);
  return args;
}

GitAspects GitExecRemoteOperation::aspects() const {
  if (verb == "remove" || verb == "rename") return {GitAspects::config, GitAspects::refs};
  return GitAspects::config;
}

void GitExecRemoteOperation::validate(GitOperationContext&) {
  TavrikError::refuseOptionLikeArgument("remote", remoteName);
  TavrikError::refuseOptionLikeArgument("remote", newName);
  TavrikError::refuseOptionLikeArgument("address", url);
}

// MARK: submodule

std::shared_ptr<GitExecSubmoduleOperation> GitExecSubmoduleOperation::deinit(std::string path, bool force) {
  return makeOperation<GitExecSubmoduleOperation>({.verb = "deinit", .path = std::move(path), .force = force});
}

std::shared_ptr<GitExecSubmoduleOperation> GitExecSubmoduleOperation::init(std::string path) {
  return makeOperation<GitExecSubmoduleOperation>({.verb = "init", .path = std::move(path)});
}

std::shared_ptr<GitExecSubmoduleOperation> GitExecSubmoduleOperation::update(std::string path, bool initialize,
                                                                             bool recursive) {
  return makeOperation<GitExecSubmoduleOperation>(
      {.verb = "update", .path = std::move(path), .initialize = initialize, .recursive = recursive});
}

std::shared_ptr<GitExecSubmoduleOperation> GitExecSubmoduleOperation::sync(std::string path) {
  return makeOperation<GitExecSubmoduleOperation>({.verb = "sync", .path = std::move(path)});
}

std::optional<std::string> GitExecSubmoduleOperation::title() const {
  std::string name = verb;
  if (!name.empty()) name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
  return name + " Submodule \"" + path + "\"";
}

std::vector<std::string> GitExecSubmoduleOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args{"submodule", verb};
  if (progress) args.emplace_back("--progress");
  if (force) args.emplace_back("--force");
  if (initialize) args.emplace_back("--init");
  if (recursive) args.emplace_back("--recursive");
  args.emplace_back("--");
  args.push_back(path);
  return args;
}

GitAspects GitExecSubmoduleOperation::aspects() const {
  return {GitAspects::status, GitAspects::config, GitAspects::submodules};
}

void GitExecSubmoduleOperation::validate(GitOperationContext&) {
  // The verb is the one argument before "--" that the client chooses.
  TavrikError::refuseOptionLikeArgument("submodule command", verb);
}

std::vector<std::string> GitExecSubmoduleOperation::progressPhases() const {
  return GitExecTransferCommand::receivingPhases();
}

// MARK: init

std::vector<std::string> GitExecInitOperation::arguments(GitOperationContext&) { return {"init", url.path()}; }

void GitExecInitOperation::validate(GitOperationContext&) {
  if (!url.isFileURL()) throw TavrikError("Invalid folder", "A repository is created in a local folder.");
}

std::optional<Url> GitExecInitOperation::workingDirectoryURL(GitOperationContext&) {
  // The new folder's parent exists whenever git can create the folder.
  return url.deletingLastPathComponent();
}

// MARK: config

std::shared_ptr<GitExecConfigOperation> GitExecConfigOperation::forRemote(const std::string& remote,
                                                                          const std::optional<Uuid>& accountUUID) {
  std::string key = "remote." + remote + "." + std::string(rawValue(GitConfigKeys::vtServiceAccountUUID));
  if (!accountUUID) return makeOperation<GitExecConfigOperation>(std::move(key), std::nullopt, true);
  return makeOperation<GitExecConfigOperation>(std::move(key), accountUUID->uuidString(), false);
}

std::vector<std::string> GitExecConfigOperation::arguments(GitOperationContext&) {
  std::vector<std::string> args{"config"};
  if (unset) args.emplace_back("--unset");
  args.push_back(key);
  if (!unset && value) args.push_back(*value);
  return args;
}

GitAspects GitExecConfigOperation::aspects() const { return isBatch ? GitAspects() : GitAspects::config; }

void GitExecConfigOperation::validate(GitOperationContext&) {
  TavrikError::refuseOptionLikeArgument("configuration key", key);
}

std::shared_ptr<GitConfigAction> GitConfigAction::set(Values values) {
  return makeOperation<GitConfigAction>(std::move(values));
}

pledge::Void GitConfigAction::execute(GitOperationContext& context) {
  for (const auto& [key, value] : values) {
    auto write = makeOperation<GitExecConfigOperation>(key, value, !value.has_value());
    write->isBatch = true;
    write->execute(context);
  }
  context.updatedAspects.formUnion(GitAspects::config);
  return {};
}

// MARK: push preparation

GitPushRefspec GitBuildPushRefspecOperation::execute(GitOperationContext& context) {
  const auto* descriptor = context.effectiveDescriptor();
  if (!descriptor) throw TavrikError::invalidRepository();
  auto repo = arbor::Repo::openAtPath(descriptor->gitURL.path());
  std::string local;
  if (localDwim) local = arbor::Reference::dwim(*localDwim, repo).name();
  size_t slash = remoteDwim.find('/');
  if (slash == std::string::npos || slash == 0 || slash + 1 == remoteDwim.size())
    throw arbor::Error::generic("Remote refname does not contain a remote name.");
  std::string refspec = (force ? "+" : "") + local + ":refs/heads/" + remoteDwim.substr(slash + 1);
  return {std::move(refspec), remoteDwim.substr(0, slash)};
}

std::optional<std::string> GitSuggestUpstreamOperation::execute(GitOperationContext& context) {
  try {
    const auto* descriptor = context.effectiveDescriptor();
    if (!descriptor) return std::nullopt;
    auto repo = arbor::Repo::openAtPath(descriptor->gitURL.path());
    auto reference = arbor::Reference::dwim(refname, repo);
    auto pieces = splitPieces(reference.shortName(), '/');
    if (reference.isRemoteBranch() && !pieces.empty()) pieces.erase(pieces.begin());
    std::string name;
    for (auto piece : pieces) {
      if (!name.empty()) name += '/';
      name += piece;
    }
    return remoteName + "/" + name;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

} // namespace tavrik
