// Branches and tags: list, create, move, copy and delete branches, set or
// unset their upstreams, list the branches that contain a commit, and create
// or delete tags. Names that begin with "-" are refused before git runs:
// git forbids such ref names and would read them as options.
#pragma once

#include "tavrik/Commands/GitExecCommandOperation.h"

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

/// git branch. The listing forms (no names, or `contains`) deliver the
/// branches; the changing forms deliver an empty list.
class GitExecBranchOperation : public GitExecCommand<GitExecBranchList> {
public:
  GitExecBranchOperation(bool deleteBranch, bool move, bool copy, bool force, bool track,
                         std::optional<std::string> setUpstreamTo, std::optional<std::string> unsetUpstream,
                         std::optional<std::string> contains, std::vector<std::optional<std::string>> names);

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
  void validate(GitOperationContext& context) override;
  GitExecBranchList execute(GitOperationContext& context) override;

  /// `git branch` output: one branch per line, "* " marking HEAD, "+ " a
  /// branch checked out in another worktree; symbolic entries ("->") skipped.
  static GitExecBranchList parseBranchList(std::string_view output);
};

/// git tag: a light tag, an annotated one (with a message), or a deletion.
class GitExecTagOperation : public GitExecCommandOperation {
public:
  GitExecTagOperation(std::string tag, std::optional<std::string> target, std::optional<std::string> message,
                      bool force, bool deleteTag)
      : tag(std::move(tag)), target(std::move(target)), message(std::move(message)), force(force),
        deleteTag(deleteTag) {}
  static std::shared_ptr<GitExecTagOperation> create(std::string tag, std::optional<std::string> target,
                                                     std::optional<std::string> message, bool force);
  static std::shared_ptr<GitExecTagOperation> deleteTagNamed(std::string tag);

  const std::string tag;
  const std::optional<std::string> target, message;
  const bool force;
  const bool deleteTag;

  std::vector<std::string> arguments(GitOperationContext& context) override;
  /// The message, which git reads from standard input.
  std::optional<std::string> standardInputData() override;
  GitAspects aspects() const override;
  void validate(GitOperationContext& context) override;
};

} // namespace tavrik

template <> struct std::hash<tavrik::GitExecBranch> {
  size_t operator()(const tavrik::GitExecBranch& b) const noexcept {
    return std::hash<std::string>{}(b.name) * 2 + b.isHead;
  }
};
