// Lists the changes of the working tree, the index or one commit (the raw
// listing with line counts), or reads the patch of chosen files. For image
// files the patch operation also loads the old and new contents through the
// shared blob cache.
//
//   // What changed in the working tree, then the patch of the first file:
//   auto list = makeOperation<GitExecDiffOperation>()->enqueue(queue).wait().value;
//   auto patch = makeOperation<GitExecDiffOperation>(*list.diffs[0], 3)->enqueue(queue).wait().value;
#pragma once

#include "tavrik/Diff/GitDiff.h"
#include "tavrik/Process/GitExecOperation.h"

#include <optional>
#include <string>
#include <vector>

namespace tavrik {

/// The old and new contents of an image file, loaded with its patch.
struct GitExecDiffImageBlobs {
  Oid old;
  Oid new_;
  bool operator==(const GitExecDiffImageBlobs&) const = default;
};

/// What `git diff` compares. By default the raw listing of the working tree
/// against the index; with `cached` the index against HEAD, with `commit`
/// that commit against its parent (the first parent of a merge with
/// `firstParent`; a merge without it lists nothing). `raw` false reads the
/// patch instead, with `contextLines` of context (git's default when absent):
/// `{.raw = false, .cached = true}` is the patch of everything staged, from
/// one git for the whole listing.
struct GitExecDiffOptions {
  bool raw = true;
  bool cached = false;
  /// Compares conflicts with our side.
  bool ours = false;
  bool firstParent = false;
  /// File names, passed to git literally; none means every file.
  std::vector<std::string> paths = {};
  std::optional<Oid> commit = std::nullopt;
  /// Loaded through the blob cache with the patch.
  std::optional<GitExecDiffImageBlobs> imageBlobs = std::nullopt;
  std::optional<int> contextLines = std::nullopt;
};

class GitExecDiffOperation : public GitExecOperation<GitDiffList> {
public:
  using ImageBlobs = GitExecDiffImageBlobs;
  using Options = GitExecDiffOptions;

  /// Every field as given.
  explicit GitExecDiffOperation(GitExecDiffOptions options = {});
  /// The raw listing of one commit against its parent (the first parent of a
  /// merge with `firstParent`; a merge without it lists nothing).
  GitExecDiffOperation(Oid commit, bool firstParent, std::vector<std::string> paths);
  /// The patch of a listed diff's files, with `contextLines` of context
  /// (git's default when absent).
  GitExecDiffOperation(const GitDiff& patchFor, std::optional<int> contextLines);

  const bool raw;
  const bool cached;
  const bool ours;
  const bool firstParent;
  /// File names, passed to git literally.
  const std::vector<std::string> paths;
  const std::optional<Oid> commit;
  const std::optional<ImageBlobs> imageBlobs;
  const std::optional<int> contextLines;

  std::vector<std::string> arguments(GitOperationContext& context) override;
  /// The base environment; GIT_INDEX_FILE names a private copy of the index
  /// while the working tree is compared (see `execute`).
  std::map<std::string, std::string> environment(GitOperationContext& context) override;
  /// Throws what git or a blob load throws; a list without unmerged diffs.
  /// git diff against the working tree writes a refreshed index back under
  /// index.lock whatever GIT_OPTIONAL_LOCKS says (git 2.39), so it is given
  /// a private copy of the index, removed afterwards.
  GitDiffList execute(GitOperationContext& context) override;

private:
  // The private index of the running working-tree diff; empty otherwise.
  std::string indexCopy_;
};

} // namespace tavrik
