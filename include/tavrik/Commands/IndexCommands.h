// The git commands that change the index and the working tree: stage,
// remove, reset, check out, stash and commit. Each runs git once while
// holding the queue's index lock, so two of them never overlap, and reports
// what it may have changed. Paths are the client's file names, passed to
// git literally (see GitExecCommandOperation.h).
//
//   auto future = makeOperation<GitExecAddOperation>(std::set<std::string>{"a.txt"})->enqueue(queue);
#pragma once

#include "tavrik/Commands/GitExecCommandOperation.h"
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

protected:
  bool passesPaths() const override { return true; }
};

/// git rm: removes paths from the index (and, unless cached, the working tree).
class GitExecRmOperation : public GitExecCommandOperation {
public:
  GitExecRmOperation(std::set<std::string> paths, bool cached, bool recursive)
      : paths(std::move(paths)), cached(cached), recursive(recursive) {}
  const std::set<std::string> paths;
  const bool cached;
  const bool recursive;

  std::vector<std::string> arguments(GitOperationContext& context) override;
  GitAspects aspects() const override;
  bool needsIndexLock() const override { return true; }

protected:
  bool passesPaths() const override { return true; }
};

/// git reset: moves HEAD (soft, mixed, hard) or, with paths, unstages them.
/// The tree-ish always ends with "--", so it is never read as a path; git
/// fails when it names no commit.
class GitExecResetOperation : public GitExecCommandOperation {
public:
  GitExecResetOperation(bool soft, bool mixed, bool hard, std::optional<std::string> treeish,
                        std::optional<std::set<std::string>> paths)
      : soft(soft), mixed(mixed), hard(hard), treeish(std::move(treeish)), paths(std::move(paths)) {}
  const bool soft, mixed, hard;
  const std::optional<std::string> treeish;
  const std::optional<std::set<std::string>> paths;

  std::vector<std::string> arguments(GitOperationContext& context) override;
  GitAspects aspects() const override;
  bool needsIndexLock() const override { return true; }
  void validate(GitOperationContext& context) override;

protected:
  bool passesPaths() const override { return true; }
};

/// git checkout: switches to a branch or commit, creates a branch, or
/// restores paths (from the index, a tree-ish, or one side of a conflict).
/// The tree-ish always ends with "--": a name that is no branch or commit
/// fails ("invalid reference") rather than being read as a path.
class GitExecCheckoutOperation : public GitExecCommandOperation {
public:
  GitExecCheckoutOperation(std::optional<std::string> treeish, std::set<std::string> paths, bool createBranch,
                           bool track, bool force, bool ours, bool theirs)
      : treeish(std::move(treeish)), paths(std::move(paths)), createBranch(createBranch), track(track),
        force(force), ours(ours), theirs(theirs) {}
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

protected:
  bool passesPaths() const override { return true; }
};

/// Chains a checkout of `treeish` (or of `paths` from it) on the queue of `future`.
template <class T>
pledge::Future<GitQueueValue<pledge::Void>> checkout(const pledge::Future<GitQueueValue<T>>& future,
                                                     std::optional<std::string> treeish, std::set<std::string> paths,
                                                     bool track) {
  return next(future, [treeish = std::move(treeish), paths = std::move(paths), track](const GitQueueValue<T>&) {
    return makeOperation<GitExecCheckoutOperation>(treeish, paths, false, track, false, false, false);
  });
}

/// git stash: save, apply, pop or drop. `index` N names stash@{N}. A message
/// longer than one argument may hold is saved whole all the same (git stash
/// takes none from a file): the stash commit is remade with it, and the
/// reflog keeps the start of its subject.
class GitExecStashOperation : public GitExecCommandOperation {
public:
  GitExecStashOperation(std::optional<std::string> verb, std::optional<int> index, std::optional<std::string> message,
                        bool reinstanteIndex, bool keepIndex, bool includeUntracked, bool includeIgnored)
      : verb(std::move(verb)), index(index), message(std::move(message)), reinstanteIndex(reinstanteIndex),
        keepIndex(keepIndex), includeUntracked(includeUntracked), includeIgnored(includeIgnored) {}

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
};

/// git commit, the message read from standard input (so it has no size
/// limit, as one argument would have). Hooks may run long, so the task turns indeterminate
/// ("Running hooks and committing...") while git runs.
class GitExecCommitOperation : public GitExecCommandOperation {
public:
  GitExecCommitOperation(std::string message, bool signOff, bool amend)
      : message(std::move(message)), signOff(signOff), amend(amend) {}
  const std::string message;
  const bool signOff;
  const bool amend;
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
};

} // namespace tavrik
