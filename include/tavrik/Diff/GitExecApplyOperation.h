// Stages, unstages or discards selected lines of one file: the patch of
// `GitDiffTransformer` fed to `git apply` on standard input.
//
//   // Stage lines 7 and 9 of a working-tree patch:
//   makeOperation<GitExecApplyOperation>({.diff = diff, .cached = true, .keepLines = {7, 9}})->enqueue(queue);
//   // Discard them from the working tree: reverse, not cached.
#pragma once

#include "tavrik/Commands/GitExecCommandOperation.h"
#include "tavrik/Diff/GitDiff.h"

#include <memory>
#include <set>

namespace tavrik {

/// What `git apply` applies: the lines `keepLines` of `diff` (indexes into
/// its lines), to the index when `cached` (else the working tree), undone
/// when `reverse`.
struct GitExecApplyOptions {
  std::shared_ptr<const GitDiff> diff = nullptr;
  bool cached = false;
  bool reverse = false;
  std::set<size_t> keepLines = {};
};

class GitExecApplyOperation : public GitExecCommandOperation {
public:
  using Options = GitExecApplyOptions;
  explicit GitExecApplyOperation(GitExecApplyOptions options = {})
      : diff(std::move(options.diff)), cached(options.cached), reverse(options.reverse),
        keepLines(std::move(options.keepLines)) {}

  const std::shared_ptr<const GitDiff> diff;
  const bool cached;
  const bool reverse;
  const std::set<size_t> keepLines;

  std::vector<std::string> arguments(GitOperationContext& context) override;
  /// The transformed patch's bytes, exactly.
  std::optional<std::string> standardInputData() override;
  GitAspects aspects() const override { return GitAspects::status; }
  bool needsIndexLock() const override { return true; }
  GitJournalScope journalScope() const override {
    return cached ? GitJournalScope::refsAndIndex : GitJournalScope::workingTree;
  }
  /// The diff's file, on both sides of a rename.
  std::optional<std::vector<std::string>> journalPaths() const override;
  /// Refuses a selection that names no addition or deletion of the diff.
  void validate(GitOperationContext& context) override;
};

} // namespace tavrik
