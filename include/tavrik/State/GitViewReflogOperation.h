// The reflog reader: lists the reflog files under the repository's "logs"
// directories without running git and returns their names; run on a queue,
// they become the view's `reflogs`. In a linked worktree HEAD's reflog and those of the
// per-worktree refs (refs/bisect/, refs/worktree/, refs/rewritten/) live in
// the worktree's git directory, every other one in the common directory, as
// git's files backend keeps them.
#pragma once

#include "tavrik/Operation/GitOperation.h"
#include "tavrik/State/GitReflogList.h"

#include <string_view>

namespace tavrik {

class GitViewReflogOperation : public GitOperation<GitReflogList> {
public:
  bool storesResultInView() const override { return true; }
  /// The reflog names. Throws TavrikError::invalidRepository when there is no
  /// repository; a missing or unreadable logs directory lists nothing.
  GitReflogList execute(GitOperationContext& context) override;

  /// The names, relative to "logs" ("HEAD", "refs/heads/main"), of the
  /// regular files under the descriptor's logs directories, as the file
  /// system's bytes. Never throws.
  static GitReflogList read(const GitRepositoryDescriptor& descriptor);

  /// Whether git keeps the reflog of `name` in each worktree's own git
  /// directory: names outside "refs/" (HEAD and the other pseudo-refs) and
  /// the per-worktree ref namespaces.
  static bool isPerWorktree(std::string_view name);
};

} // namespace tavrik
