// The steps that fixup, move and split share: checking that a commit of the
// current branch may be rewritten, and making a commit again with the
// original's author, date and message over another tree or parents.
#pragma once

#include "ConflictReplay.h"

#include "tavrik/Process/GitAuth.h"
#include "tavrik/Util/TavrikError.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavrik::detail {

/// A commit of the current branch that may be rewritten: it, its parent
/// (none for a root commit) and the tip it is under.
struct BranchCommit {
  Oid commit = {};
  std::optional<Oid> parent = std::nullopt;
  Oid head = {};
  /// The ref HEAD names ("refs/heads/main"), or "HEAD" when detached.
  std::string headRef = {};
};

/// "Cannot <verb> <what>: <why>", the reason saying that nothing changed.
TavrikError historyRefusal(const std::string& verb, const std::string& what, const std::string& why);

/// Whether `ancestor` is reachable from `descendant`.
bool isAncestor(GitOperationContext& context, const Oid& ancestor, const std::string& descendant);

/// Resolves `revision` and refuses (historyRefusal with `verb`) a name
/// beginning with "-", a commit outside the current branch, a merge commit
/// or a merge between it and HEAD, and a commit the branch's upstream
/// contains unless `allowPublished`.
BranchCommit checkBranchCommit(GitOperationContext& context, const std::string& revision, const std::string& verb,
                               bool allowPublished);

/// Refuses (historyRefusal) staged or unstaged changes to tracked files, as
/// git's rebase does.
void refuseLocalChanges(GitOperationContext& context, const std::string& verb, const std::string& what);

/// Runs git with the user's identity (not the prediction's), `input` on
/// standard input and `variables` added to the environment, the signing
/// tools' prompts going to `signingAuth`; its output.
std::string runRewriteGit(GitOperationContext& context, std::vector<std::string> args,
                          std::optional<std::string> input = std::nullopt,
                          std::map<std::string, std::string> variables = {},
                          std::shared_ptr<GitAuth> signingAuth = nullptr);

/// A new commit of `tree` over `parents`, with the author, author date,
/// encoding and message of `source` (or `message` instead); the committer is
/// the user, and it is signed when commit.gpgSign is on, as a cherry-pick is,
/// a passphrase asked through `signingAuth`.
Oid recommit(GitOperationContext& context, const std::shared_ptr<GitAuth>& signingAuth, const Oid& source,
             const std::string& tree, const std::vector<Oid>& parents,
             const std::optional<std::string>& message = std::nullopt);

/// Whether a rebase is stopped or running (git's state folder exists).
bool rebaseInProgress(GitOperationContext& context);

/// Moves `ref` from `expected` to `target` (update-ref with the old value as
/// a lease). Throws TavrikError saying the ref moved when the lease fails.
void updateRefLeased(GitOperationContext& context, const std::string& ref, const Oid& target, const Oid& expected,
                     const std::string& reason);

} // namespace tavrik::detail
