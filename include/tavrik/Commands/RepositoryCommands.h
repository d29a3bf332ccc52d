// Commands that create or describe repositories, remotes and submodules,
// write configuration, and prepare a push: git remote, git submodule, git
// init, git config (single values and batches), building a push refspec and
// suggesting an upstream. Names, addresses and keys that begin with "-" are
// refused before git runs.
#pragma once

#include "tavrik/Commands/GitExecCommandOperation.h"
#include "tavrik/Util/Url.h"
#include "tavrik/Util/Uuid.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tavrik {

/// Configuration keys the engine itself writes.
enum class GitConfigKeys { vtServiceAccountUUID };
/// "vtServiceAccountUUID".
std::string_view rawValue(GitConfigKeys key);

/// What `git remote` does: `verb` (add, remove, rename or set-url) on the
/// remote `remoteName`; rename takes `newName`, add and set-url take `url`.
struct GitExecRemoteOptions {
  std::string verb = {};
  std::string remoteName = {};
  std::optional<std::string> newName = std::nullopt;
  std::optional<std::string> url = std::nullopt;
};

/// git remote add / remove / rename / set-url.
class GitExecRemoteOperation : public GitExecCommandOperation {
public:
  using Options = GitExecRemoteOptions;
  explicit GitExecRemoteOperation(GitExecRemoteOptions options = {})
      : verb(std::move(options.verb)), remoteName(std::move(options.remoteName)),
        newName(std::move(options.newName)), url(std::move(options.url)) {}
  static std::shared_ptr<GitExecRemoteOperation> add(std::string name, std::string url);
  static std::shared_ptr<GitExecRemoteOperation> remove(std::string name);
  static std::shared_ptr<GitExecRemoteOperation> rename(std::string name, std::string newName);
  static std::shared_ptr<GitExecRemoteOperation> setURLFor(std::string name, std::string url);

  const std::string verb, remoteName;
  const std::optional<std::string> newName, url;

  std::vector<std::string> arguments(GitOperationContext& context) override;
  /// config; remove and rename also move the remote-tracking refs.
  GitAspects aspects() const override;
  void validate(GitOperationContext& context) override;
};

/// What `git submodule` does: `verb` (deinit, init, update or sync) for the
/// submodule at `path`; deinit takes `force`, update `initialize` and
/// `recursive`.
struct GitExecSubmoduleOptions {
  std::string verb = {};
  std::string path = {};
  bool force = false;
  bool initialize = false;
  bool recursive = false;
};

/// git submodule deinit / init / update / sync for one path.
class GitExecSubmoduleOperation : public GitExecCommandOperation {
public:
  using Options = GitExecSubmoduleOptions;
  explicit GitExecSubmoduleOperation(GitExecSubmoduleOptions options = {})
      : verb(std::move(options.verb)), path(std::move(options.path)), force(options.force),
        initialize(options.initialize), recursive(options.recursive) {}
  static std::shared_ptr<GitExecSubmoduleOperation> deinit(std::string path, bool force);
  static std::shared_ptr<GitExecSubmoduleOperation> init(std::string path);
  static std::shared_ptr<GitExecSubmoduleOperation> update(std::string path, bool initialize, bool recursive);
  static std::shared_ptr<GitExecSubmoduleOperation> sync(std::string path);

  const std::string verb, path;
  const bool force, initialize, recursive;
  /// Pass "--progress" (only `update` knows it); set before enqueueing.
  bool progress = false;

  /// The verb capitalized, " Submodule " and the path in quotation marks.
  std::optional<std::string> title() const override;
  std::vector<std::string> arguments(GitOperationContext& context) override;
  GitAspects aspects() const override;
  // The undo journal keeps no submodule repositories.
  GitJournalScope journalScope() const override { return GitJournalScope::none; }
  void validate(GitOperationContext& context) override;
  std::vector<std::string> progressPhases() const override;

protected:
  bool passesPaths() const override { return true; }
};

/// git init of a new repository in the folder `url`. Runs outside any
/// repository, whatever the queue's.
class GitExecInitOperation : public GitExecCommandOperation {
public:
  explicit GitExecInitOperation(Url url) : url(std::move(url)) {}
  const Url url;

  std::vector<std::string> arguments(GitOperationContext& context) override;
  GitAspects aspects() const override { return {}; }
  void validate(GitOperationContext& context) override;
  std::optional<Url> gitDirectoryURL(GitOperationContext&) override { return std::nullopt; }
  std::optional<Url> workingDirectoryURL(GitOperationContext& context) override;
};

/// git config: sets `key` to `value`, or unsets it.
class GitExecConfigOperation : public GitExecCommandOperation {
public:
  GitExecConfigOperation(std::string key, std::optional<std::string> value, bool unset = false)
      : key(std::move(key)), value(std::move(value)), unset(unset) {}
  /// Binds `remote` to a service account (remote.NAME.vtServiceAccountUUID),
  /// or unbinds it when `accountUUID` is nullopt.
  static std::shared_ptr<GitExecConfigOperation> forRemote(const std::string& remote,
                                                           const std::optional<Uuid>& accountUUID);

  const std::string key;
  const std::optional<std::string> value;
  const bool unset;
  /// Part of a batch that reports the config aspect once; set before running.
  bool isBatch = false;

  std::vector<std::string> arguments(GitOperationContext& context) override;
  GitAspects aspects() const override;
  // The undo journal keeps no configuration.
  GitJournalScope journalScope() const override { return GitJournalScope::none; }
  /// A write, also inside a batch that reports no aspect of its own.
  GitExecAccess access() const override { return GitExecAccess::write; }
  void validate(GitOperationContext& context) override;
};

/// Writes several configuration values (nullopt unsets) in order and reports
/// the config aspect once; the first failure ends it.
class GitConfigAction : public GitOperation<pledge::Void> {
public:
  using Values = std::vector<std::pair<std::string, std::optional<std::string>>>;
  explicit GitConfigAction(Values values) : values(std::move(values)) {}
  static std::shared_ptr<GitConfigAction> set(Values values);

  const Values values;
  pledge::Void execute(GitOperationContext& context) override;
};

struct GitPushRefspec {
  std::string refspec;
  std::string remoteName;
  bool operator==(const GitPushRefspec&) const = default;
};

/// The refspec that pushes `localDwim` (a deletion when nullopt) to the
/// branch of `remoteDwim` ("origin/feature"), "+"-marked when forced.
class GitBuildPushRefspecOperation : public GitOperation<GitPushRefspec> {
public:
  GitBuildPushRefspecOperation(std::optional<std::string> localDwim, std::string remoteDwim, bool force)
      : localDwim(std::move(localDwim)), remoteDwim(std::move(remoteDwim)), force(force) {}

  const std::optional<std::string> localDwim;
  const std::string remoteDwim;
  const bool force;

  /// Throws TavrikError::invalidRepository without a repository,
  /// arbor::Error when `localDwim` names nothing or `remoteDwim` has no
  /// remote part ("Remote refname does not contain a remote name.").
  GitPushRefspec execute(GitOperationContext& context) override;
};

/// The upstream to offer for `refname` on `remoteName`: "origin/feature" for
/// the branch feature. nullopt when the reference cannot be resolved.
class GitSuggestUpstreamOperation : public GitOperation<std::optional<std::string>> {
public:
  GitSuggestUpstreamOperation(std::string refname, std::string remoteName)
      : refname(std::move(refname)), remoteName(std::move(remoteName)) {}

  const std::string refname, remoteName;
  std::optional<std::string> execute(GitOperationContext& context) override;
};

} // namespace tavrik

template <> struct std::hash<tavrik::GitPushRefspec> {
  size_t operator()(const tavrik::GitPushRefspec& r) const noexcept {
    return std::hash<std::string>{}(r.refspec) * 31 + std::hash<std::string>{}(r.remoteName);
  }
};
