// Which of some working-tree paths git ignores: `git check-ignore -z
// --stdin`, the paths fed on standard input. Tracked files are never
// reported, as git does not apply ignore rules to them. Paths are bytes,
// relative to the working tree.
#pragma once

#include "tavrik/Process/GitExecOperation.h"

#include <string>
#include <vector>

namespace tavrik {

class GitExecCheckIgnoreOperation : public GitExecOperation<std::vector<std::string>> {
public:
  explicit GitExecCheckIgnoreOperation(std::vector<std::string> paths) : paths(std::move(paths)) {}
  const std::vector<std::string> paths;

  std::vector<std::string> arguments(GitOperationContext& context) override;
  std::optional<std::string> standardInputData() override;
  /// git exits 1 when nothing is ignored.
  std::set<int> successStatuses() const override { return {0, 1}; }
  /// The ignored paths, as git printed them. No git runs for no paths.
  std::vector<std::string> execute(GitOperationContext& context) override;
};

/// The folders git ignores as a whole, each with its trailing "/" removed:
/// `git ls-files -z --others --ignored --exclude-standard --directory`,
/// keeping the entries that end in "/".
class GitExecIgnoredFoldersOperation : public GitExecOperation<std::vector<std::string>> {
public:
  std::vector<std::string> arguments(GitOperationContext& context) override;
  std::vector<std::string> execute(GitOperationContext& context) override;
};

} // namespace tavrik
