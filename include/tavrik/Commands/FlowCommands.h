// git-flow through the git-flow (AVH) extension: setting a repository up for
// the branching model, starting, finishing and publishing its branches, and
// telling which branches belong to the model.
//
//   runOn(queue, makeOperation<GitExecFlowInitOperation>());
//   runOn(queue, GitExecFlowOperation::simple("feature", "start", "login", auth));
//
// git-flow never waits on a terminal here: init answers nothing (the values
// are written beforehand and "-d" keeps it from reading), git's editor is
// ":" unless the client attached one, and a tagging finish always gets a
// message (git-flow would otherwise leave `git tag -a` with an empty one and
// stop half-way, after the merge and before the tag).
//
// git-flow re-reads its arguments and its tag command through the shell's
// `eval`; names and messages that the shell would read as code are refused
// before anything runs, as are names that begin with "-".
#pragma once

#include "tavrik/Commands/GitExecCommandOperation.h"
#include "tavrik/Process/GitExecAuthenticatedOperation.h"
#include "tavrik/State/GitConfigSnapshot.h"
#include "tavrik/State/GitRef.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tavrik {

class GitQueue;

/// The values `git flow init` records (gitflow.branch.*, gitflow.prefix.*,
/// gitflow.origin, gitflow.path.hooks). A nullopt prefixVersionTag or origin
/// removes the key; a nullopt or empty hooksPath means the repository's own
/// hooks folder.
struct GitFlowInitOptions {
  std::string branchMaster = "master";
  std::string branchDevelop = "develop";
  std::string prefixFeature = "feature/";
  std::string prefixBugfix = "bugfix/";
  std::string prefixRelease = "release/";
  std::string prefixHotfix = "hotfix/";
  std::string prefixSupport = "support/";
  std::optional<std::string> prefixVersionTag = std::string();
  std::optional<std::string> origin = std::nullopt;
  std::optional<std::string> hooksPath = std::nullopt;
};

/// git flow init with the given names: writes the configuration, creates the
/// production branch (from the remote's branch of that name, else HEAD) and
/// the integration branch (from the remote's, else the production branch)
/// when they are missing, then lets git-flow check the result. In a
/// repository without commits git-flow makes the first commit itself. A
/// branch the integration branch was created for is checked out, as git-flow
/// does. Refuses empty or option-like branch names, equal production and
/// integration branches, and a version tag prefix the shell would misread.
/// git-flow refuses a working tree with changes, but only after the
/// configuration and the branches are in place; a later init completes.
class GitExecFlowInitOperation : public GitExecOperation<pledge::Void> {
public:
  explicit GitExecFlowInitOperation(GitFlowInitOptions options = {});

  const std::string branchMaster, branchDevelop;
  const std::string prefixFeature, prefixBugfix, prefixRelease, prefixHotfix, prefixSupport;
  const std::optional<std::string> prefixVersionTag, origin, hooksPath;

  /// "Git Flow Init".
  std::optional<std::string> title() const override;
  bool needsIndexLock() const override { return true; }
  GitExecAccess access() const override { return GitExecAccess::write; }
  std::vector<std::string> arguments(GitOperationContext& context) override;
  GitAspects aspects() const;
  /// Throws TavrikError for refused values, before git runs.
  void validate(GitOperationContext& context);
  pledge::Void execute(GitOperationContext& context) override;
};

/// What `git flow` does: NOUN VERB SUBJECT [BASE] ("feature start login"),
/// with "-F" when `fetch`, "--no-ff" when `noFastForward`, "-n" when `noTag`
/// and "-k" when `keep`. `auth` may be null.
struct GitExecFlowOptions {
  std::string noun = {};
  std::string verb = {};
  bool fetch = false;
  bool noFastForward = false;
  /// The tag message of a release or hotfix finish; git-flow appends the
  /// tag's name to it ("Ready" tags 1.0 with "Ready 1.0"). When it is absent
  /// such a finish that tags gets the noun capitalized ("Release 1.0").
  std::optional<std::string> message = std::nullopt;
  bool noTag = false;
  bool keep = false;
  std::string subject = {};
  std::optional<std::string> base = std::nullopt;
  std::shared_ptr<GitAuth> auth = nullptr;
  /// The service account to sign in with (see GitExecAuthenticatedOperation::account).
  std::optional<GitRemoteAccount> account = std::nullopt;
};

/// git flow NOUN VERB [options] SUBJECT [BASE]: "feature start login",
/// "release finish 1.2 -m ...", "hotfix publish 1.2.1". Runs in a session of
/// the credential provider for gitflow.origin (else "origin"): fetch and
/// publish talk to it. git-flow rejects an option the verb does not know
/// ("-F" only where it fetches, "-n" and "-m" only on release and hotfix
/// finish, "--no-ff" and "-k" only on finish).
class GitExecFlowOperation : public GitExecAuthenticatedOperation<pledge::Void> {
public:
  using Options = GitExecFlowOptions;
  explicit GitExecFlowOperation(GitExecFlowOptions options = {});
  /// NOUN VERB SUBJECT without options.
  static std::shared_ptr<GitExecFlowOperation> simple(std::string noun, std::string verb, std::string subject,
                                                      std::shared_ptr<GitAuth> auth);

  const std::string noun, verb;
  const bool fetch, noFastForward;
  /// See GitExecFlowOptions::message.
  const std::optional<std::string> message;
  const bool noTag, keep;
  const std::string subject;
  const std::optional<std::string> base;

  /// "Git Flow", the noun and the verb capitalized: "Git Flow Feature Start".
  std::optional<std::string> title() const override;
  bool needsIndexLock() const override { return true; }
  std::vector<std::string> arguments(GitOperationContext& context) override;
  GitAspects aspects() const override;
  void validate(GitOperationContext& context) override;
  pledge::Void execute(GitOperationContext& context) override;
};

enum class GitFlowCategory { feature, bugfix, hotfix, release };

/// A local branch of the branching model: "refs/heads/feature/login" under
/// the prefix "feature/" is the feature "login".
struct GitFlowRef {
  GitRef ref;
  GitFlowCategory category = GitFlowCategory::feature;
  /// The branch name without its prefix.
  std::string strippedName;

  /// The first of the configured feature, bugfix, hotfix and release
  /// prefixes that begins the branch's name decides; empty or unset prefixes
  /// take no part. nullopt for anything but a local branch, for support
  /// branches, for a name that is only the prefix, and for names no prefix
  /// begins.
  static std::optional<GitFlowRef> make(const GitRef& ref, const GitConfigSnapshot& config);

  bool operator==(const GitFlowRef&) const = default;
};

/// Sets `operation->account` from `queue`'s view as it is now, for the remote
/// git-flow talks to (`remote`, else gitflow.origin in the view's
/// configuration, else "origin"), and returns the same operation: the flow's
/// form of `withViewAccount` (Commands/RemoteCommands.h). Call it right
/// before enqueueing.
std::shared_ptr<GitExecFlowOperation> withViewAccount(std::shared_ptr<GitExecFlowOperation> operation,
                                                      const GitQueue& queue);

} // namespace tavrik

template <> struct std::hash<tavrik::GitFlowRef> {
  size_t operator()(const tavrik::GitFlowRef& r) const noexcept;
};
