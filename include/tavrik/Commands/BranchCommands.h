// Branches and tags: list, create, move, copy and delete branches, set or
// unset their upstreams, list the branches that contain a commit, and create
// or delete tags. Names that begin with "-" are refused before git runs:
// git forbids such ref names and would read them as options.
#pragma once

#include "tavrik/Commands/GitExecCommandOperation.h"
#include "tavrik/Commands/GitSigning.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrik {

struct GitExecBranch {
  /// As git prints it ("main", "remotes/origin/main"); bytes, not always UTF-8.
  std::string name;
  bool isHead = false;
  bool operator==(const GitExecBranch&) const = default;
};

struct GitExecBranchList {
  std::vector<GitExecBranch> branches;
  bool operator==(const GitExecBranchList&) const = default;
};

/// What `git branch` does: with `names` empty, list (the branches that
/// hold `contains` when set); else create (names: the branch and its start,
/// tracking it when `track`), delete (`deleteBranch`), rename (`move`) or
/// copy (`copy`) the named branches, `force` overriding git's checks; or set
/// (`setUpstreamTo`) or unset (`unsetUpstream`) a branch's upstream.
struct GitExecBranchOptions {
  // `delete` in the design; a keyword here.
  bool deleteBranch = false;
  bool move = false;
  bool copy = false;
  bool force = false;
  bool track = false;
  std::optional<std::string> setUpstreamTo = std::nullopt;
  std::optional<std::string> unsetUpstream = std::nullopt;
  std::optional<std::string> contains = std::nullopt;
  /// nullopt entries are left out (a new branch without a start point).
  std::vector<std::optional<std::string>> names = {};
};

/// git branch. The listing forms (no names, or `contains`) deliver the
/// branches; the changing forms deliver an empty list.
class GitExecBranchOperation : public GitExecCommand<GitExecBranchList> {
public:
  using Options = GitExecBranchOptions;
  explicit GitExecBranchOperation(GitExecBranchOptions options = {});

  static std::shared_ptr<GitExecBranchOperation> deleteBranches(std::vector<std::string> names, bool force);
  static std::shared_ptr<GitExecBranchOperation> moveBranch(std::string name, std::string newName, bool force);
  static std::shared_ptr<GitExecBranchOperation> copyBranch(std::string name, std::string newName, bool force);
  /// A new branch at `start` (HEAD when nullopt).
  static std::shared_ptr<GitExecBranchOperation> create(std::string name, std::optional<std::string> start,
                                                        bool track);
  static std::shared_ptr<GitExecBranchOperation> setUpstream(std::string upstream, std::string name);
  static std::shared_ptr<GitExecBranchOperation> unsetUpstreamOf(std::string name);
  /// Every local and remote branch that contains `commit`.
  static std::shared_ptr<GitExecBranchOperation> containing(std::string commit);
  /// The local branches.
  static std::shared_ptr<GitExecBranchOperation> list();

  // `delete` in the design; a keyword here.
  const bool deleteBranch;
  const bool move, copy, force, track;
  const std::optional<std::string> setUpstreamTo, unsetUpstream, contains;
  const std::vector<std::optional<std::string>> names;

  std::vector<std::string> arguments(GitOperationContext& context) override;
  GitAspects aspects() const override;
  /// Never the index or the files: `git branch` and `git tag` move refs only.
  GitJournalScope journalScope() const override {
    return aspects().isEmpty() ? GitJournalScope::none : GitJournalScope::refs;
  }
  void validate(GitOperationContext& context) override;
  GitExecBranchList execute(GitOperationContext& context) override;

  /// `git branch` output: one branch per line, "* " marking HEAD, "+ " a
  /// branch checked out in another worktree; symbolic entries ("->") skipped.
  static GitExecBranchList parseBranchList(std::string_view output);
};

/// What `git tag` does: tag `target` (HEAD when nullopt) as `tag`, annotated
/// when a `message` is given, replacing a tag of that name when `force`; or
/// delete `tag` when `deleteTag`.
struct GitExecTagOptions {
  std::string tag = {};
  std::optional<std::string> target = std::nullopt;
  std::optional<std::string> message = std::nullopt;
  bool force = false;
  bool deleteTag = false;
  /// Whether an annotated tag is signed. A light tag is never signed (git
  /// would turn it into an annotated one and ask for a message): forcing a
  /// signature on one is refused.
  GitSigning sign = GitSigning::asConfigured;
};

/// git tag: a light tag, an annotated one (with a message), or a deletion.
class GitExecTagOperation : public GitExecCommandOperation {
public:
  using Options = GitExecTagOptions;
  explicit GitExecTagOperation(GitExecTagOptions options = {})
      : tag(std::move(options.tag)), target(std::move(options.target)), message(std::move(options.message)),
        force(options.force), deleteTag(options.deleteTag), sign(options.sign) {}
  static std::shared_ptr<GitExecTagOperation> create(std::string tag, std::optional<std::string> target,
                                                     std::optional<std::string> message, bool force);
  static std::shared_ptr<GitExecTagOperation> deleteTagNamed(std::string tag);

  const std::string tag;
  const std::optional<std::string> target, message;
  const bool force;
  const bool deleteTag;
  const GitSigning sign;

  std::vector<std::string> arguments(GitOperationContext& context) override;
  /// The message, which git reads from standard input.
  std::optional<std::string> standardInputData() override;
  GitAspects aspects() const override;
  /// Never the index or the files: `git branch` and `git tag` move refs only.
  GitJournalScope journalScope() const override {
    return aspects().isEmpty() ? GitJournalScope::none : GitJournalScope::refs;
  }
  void validate(GitOperationContext& context) override;
};

} // namespace tavrik

template <> struct std::hash<tavrik::GitExecBranch> {
  size_t operator()(const tavrik::GitExecBranch& b) const noexcept {
    return std::hash<std::string>{}(b.name) * 2 + b.isHead;
  }
};
