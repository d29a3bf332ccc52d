// Finds the readme of the working tree for repository lists: README.md in
// any letter case first, then any other readme*.md, then any readme*.
#pragma once

#include "tavrik/Operation/GitOperation.h"
#include "tavrik/Util/Url.h"

#include <optional>
#include <string>
#include <vector>

namespace tavrik {

class GitFindReadmeOperation : public GitOperation<std::optional<Url>> {
public:
  /// nullopt without a repository or without a readme; throws TavrikError
  /// when the working tree cannot be listed.
  std::optional<Url> execute(GitOperationContext& context) override;

  /// The choice among top-level names (hidden names already left out), which
  /// are taken in ascending name order.
  static std::optional<std::string> chooseReadme(std::vector<std::string> names);
};

} // namespace tavrik
