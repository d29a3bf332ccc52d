// The git commands that change the index and the working tree: stage,
// remove, reset, check out, stash and commit. Each runs git once while
// holding the queue's index lock, so two of them never overlap, and reports
// what it may have changed. Paths are the client's file names, passed to
// git literally (see GitExecCommandOperation.h).
//
//   auto future = makeOperation<GitExecAddOperation>(std::set<std::string>{"a.txt"})->enqueue(queue);
#pragma once

#include "tavrik/Commands/GitExecCommandOperation.h"
#include "tavrik/Commands/GitSigning.h"
#include "tavrik/Interfaces/Persona.h"

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tavrik {

/// git add --all -- paths: stages changes, additions and deletions.
class GitExecAddOperation : public GitExecCommandOperation {
public:
  explicit GitExecAddOperation(std::set<std::string> paths) : paths(std::move(paths)) {}
  const std::set<std::string> paths;

  std::vector<std::string> arguments(GitOperationContext& context) override;
  GitAspects aspects() const override;
  bool needsIndexLock() const override { return true; }
  GitJournalScope journalScope() const override { return GitJournalScope::refsAndIndex; }

protected:
  bool passesPaths() const override { return true; }
};

/// What `git rm` removes: `paths`, from the index only when `cached`, the
/// contents of folders too when `recursive`.
struct GitExecRmOptions {
  std::set<std::string> paths = {};
  bool cached = false;
  bool recursive = false;
};

/// git rm: removes paths from the index (and, unless cached, the working tree).
class GitExecRmOperation : public GitExecCommandOperation {
public:
  using Options = GitExecRmOptions;
  explicit GitExecRmOperation(GitExecRmOptions options = {})
      : paths(std::move(options.paths)), cached(options.cached), recursive(options.recursive) {}
  const std::set<std::string> paths;
  const bool cached;
  const bool recursive;

  std::vector<std::string> arguments(GitOperationContext& context) override;
  GitAspects aspects() const override;
  bool needsIndexLock() const override { return true; }
  GitJournalScope journalScope() const override {
    return cached ? GitJournalScope::refsAndIndex : GitJournalScope::workingTree;
  }

protected:
  bool passesPaths() const override { return true; }
};

/// How far `git reset` goes: HEAD only (soft), HEAD and the index (mixed),
/// or the working tree too (hard); `none` passes no mode, git's own default
/// (mixed for a commit, the index only for paths).
enum class GitExecResetMode { none, soft, mixed, hard };

/// What `git reset` resets: to `treeish` (HEAD when nullopt), in `mode`, or
/// only `paths` in the index when they are given.
struct GitExecResetOptions {
  GitExecResetMode mode = GitExecResetMode::none;
  std::optional<std::string> treeish = std::nullopt;
  std::optional<std::set<std::string>> paths = std::nullopt;
};

/// git reset: moves HEAD (soft, mixed, hard) or, with paths, unstages them.
/// The tree-ish always ends with "--", so it is never read as a path; git
/// fails when it names no commit.
class GitExecResetOperation : public GitExecCommandOperation {
public:
  using Options = GitExecResetOptions;
  explicit GitExecResetOperation(GitExecResetOptions options = {})
      : mode(options.mode), treeish(std::move(options.treeish)), paths(std::move(options.paths)) {}
  const GitExecResetMode mode;
  const std::optional<std::string> treeish;
  const std::optional<std::set<std::string>> paths;

  std::vector<std::string> arguments(GitOperationContext& context) override;
  GitAspects aspects() const override;
  bool needsIndexLock() const override { return true; }
  void validate(GitOperationContext& context) override;
  GitJournalScope journalScope() const override {
    return mode == GitExecResetMode::hard ? GitJournalScope::workingTree : GitJournalScope::refsAndIndex;
  }

protected:
  bool passesPaths() const override { return true; }
};

/// What `git checkout` does: switch to `treeish` (a new branch of that name
/// when `createBranch`, tracking its start when `track`), or restore `paths`
/// from it, from the index, or from one side of a conflict (`ours`,
/// `theirs`). `force` discards local changes in the way.
struct GitExecCheckoutOptions {
  std::optional<std::string> treeish = std::nullopt;
  std::set<std::string> paths = {};
  bool createBranch = false;
  bool track = false;
  bool force = false;
  bool ours = false;
  bool theirs = false;
};

/// git checkout: switches to a branch or commit, creates a branch, or
/// restores paths (from the index, a tree-ish, or one side of a conflict).
/// The tree-ish always ends with "--": a name that is no branch or commit
/// fails ("invalid reference") rather than being read as a path.
class GitExecCheckoutOperation : public GitExecCommandOperation {
public:
  using Options = GitExecCheckoutOptions;
  explicit GitExecCheckoutOperation(GitExecCheckoutOptions options = {})
      : treeish(std::move(options.treeish)), paths(std::move(options.paths)), createBranch(options.createBranch),
        track(options.track), force(options.force), ours(options.ours), theirs(options.theirs) {}
  /// Takes one side of a conflict for `path`: --ours or --theirs, no tree-ish.
  static std::shared_ptr<GitExecCheckoutOperation> resolve(const std::string& path, bool useOurs);

  const std::optional<std::string> treeish;
  const std::set<std::string> paths;
  const bool createBranch, track, force, ours, theirs;

  std::optional<std::string> title() const override;
  std::vector<std::string> arguments(GitOperationContext& context) override;
  GitAspects aspects() const override;
  bool needsIndexLock() const override { return true; }
  void validate(GitOperationContext& context) override;
  /// Runs the checkout. Many paths restored from the index, each one plain
  /// file of it, go through `git checkout-index` and then the
  /// post-checkout hook as checkout runs it: the same files, index and hook,
  /// without git matching every entry of the index against every path.
  pledge::Void execute(GitOperationContext& context) override;
  /// `paths`, when there are any: a checkout of paths writes only those.
  std::optional<std::vector<std::string>> journalPaths() const override;

protected:
  bool passesPaths() const override { return true; }
};

/// Chains a checkout of `treeish` (or of `paths` from it) on the queue of `future`.
template <class T>
pledge::Future<GitQueueValue<pledge::Void>> checkout(const pledge::Future<GitQueueValue<T>>& future,
                                                     std::optional<std::string> treeish, std::set<std::string> paths,
                                                     bool track) {
  return next(future, [treeish = std::move(treeish), paths = std::move(paths), track](const GitQueueValue<T>&) {
    return makeOperation<GitExecCheckoutOperation>({.treeish = treeish, .paths = paths, .track = track});
  });
}

/// What `git stash` does. `verb` is save, apply, pop or drop (nullopt: git's
/// default, save); `index` N names stash@{N}; `reinstanteIndex` restores the
/// staged state too on apply and pop; `keepIndex`, `includeUntracked` and
/// `includeIgnored` shape what save takes.
struct GitExecStashOptions {
  std::optional<std::string> verb = std::nullopt;
  std::optional<int> index = std::nullopt;
  std::optional<std::string> message = std::nullopt;
  bool reinstanteIndex = false;
  bool keepIndex = false;
  bool includeUntracked = false;
  bool includeIgnored = false;
};

/// git stash: save, apply, pop or drop. `index` N names stash@{N}. A message
/// longer than one argument may hold is saved whole all the same (git stash
/// takes none from a file): the stash commit is remade with it, and the
/// reflog keeps the start of its subject.
class GitExecStashOperation : public GitExecCommandOperation {
public:
  using Options = GitExecStashOptions;
  explicit GitExecStashOperation(GitExecStashOptions options = {})
      : verb(std::move(options.verb)), index(options.index), message(std::move(options.message)),
        reinstanteIndex(options.reinstanteIndex), keepIndex(options.keepIndex),
        includeUntracked(options.includeUntracked), includeIgnored(options.includeIgnored) {}

  static std::shared_ptr<GitExecStashOperation> apply(std::optional<int> index, bool reinstanteIndex);
  static std::shared_ptr<GitExecStashOperation> pop(std::optional<int> index, bool reinstanteIndex);
  static std::shared_ptr<GitExecStashOperation> drop(std::optional<int> index);
  static std::shared_ptr<GitExecStashOperation> save(std::optional<std::string> message, bool keepIndex,
                                                     bool includeUntracked, bool includeIgnored);

  const std::optional<std::string> verb;
  const std::optional<int> index;
  const std::optional<std::string> message;
  const bool reinstanteIndex, keepIndex, includeUntracked, includeIgnored;

  std::vector<std::string> arguments(GitOperationContext& context) override;
  GitAspects aspects() const override;
  bool needsIndexLock() const override { return true; }
  void validate(GitOperationContext& context) override;
  pledge::Void execute(GitOperationContext& context) override;
  GitJournalScope journalScope() const override {
    return verb == "drop" ? GitJournalScope::refsAndIndex : GitJournalScope::workingTree;
  }
};

/// What `git commit` records: `message`, with a Signed-off-by trailer when
/// `signOff`, replacing HEAD's commit when `amend`.
struct GitExecCommitOptions {
  std::string message = {};
  bool signOff = false;
  bool amend = false;
  /// Whether the commit is signed (a passphrase prompt goes through the
  /// askpass or pinentry bridge).
  GitSigning sign = GitSigning::asConfigured;
};

/// git commit, the message read from standard input (so it has no size
/// limit, as one argument would have). Hooks may run long, so the task turns indeterminate
/// ("Running hooks and committing...") while git runs.
class GitExecCommitOperation : public GitExecCommandOperation {
public:
  using Options = GitExecCommitOptions;
  explicit GitExecCommitOperation(GitExecCommitOptions options = {})
      : message(std::move(options.message)), signOff(options.signOff), amend(options.amend), sign(options.sign) {}
  const std::string message;
  const bool signOff;
  const bool amend;
  const GitSigning sign;
  /// Set before enqueueing; nullopt leaves git's own identity.
  std::optional<persona::Persona> author;
  std::optional<persona::Persona> committer;

  std::optional<std::string> title() const override { return "Commit"; }
  std::vector<std::string> arguments(GitOperationContext& context) override;
  std::optional<std::string> standardInputData() override { return message; }
  /// Puts `author` and `committer` into the context first.
  std::map<std::string, std::string> environment(GitOperationContext& context) override;
  GitAspects aspects() const override;
  bool needsIndexLock() const override { return true; }
  pledge::Void execute(GitOperationContext& context) override;
  GitJournalScope journalScope() const override { return GitJournalScope::refsAndIndex; }
};

} // namespace tavrik
