// The stash reader: lists refs/stash's reflog with `git stash list`, one
// NUL-terminated record of NUL-separated fields per stash, and returns the
// entries; run on a queue, they become the view's `stashList`. Records are cut at NUL, never at line
// ends, since a stash message may span several lines; each entry's index is
// the one git's reflog selector ("stash@{N}") names.
#pragma once

#include "tavrik/Process/GitBuffer.h"
#include "tavrik/Process/GitExecOperation.h"
#include "tavrik/State/GitHead.h"
#include "tavrik/State/GitStashEntry.h"

#include <string>
#include <string_view>
#include <vector>

namespace tavrik {

class GitViewStashesOperation : public GitExecOperation<GitStashList> {
public:
  GitViewStashesOperation();

  bool storesResultInView() const override { return true; }

  /// The fields asked for after the reflog selector "%gd": %H, %T, %P, %an,
  /// %ae, %aI, %cn, %ce, %cI, %B.
  std::vector<GitFormatField> formatFields;

  /// "stash", "list", the printing options pinned against the user's
  /// configuration, "-z", "--format=%gd%x00%H%x00...".
  std::vector<std::string> arguments(GitOperationContext& context) override;
  /// The stashes; no refs/stash, or a bare repository (git is not run),
  /// is an empty list. Only a failure of git itself fails (with GitStdError).
  GitStashList execute(GitOperationContext& context) override;

  /// Reads records of "%gd" and one field per entry of `fields`, each ended
  /// by NUL (the last may end at the end of the data). A truncated record or
  /// one without a readable commit id is skipped. The index comes from the
  /// selector when it reads "<name>@{N}", else from the record's position.
  /// Names and messages are kept as git's bytes. Never throws.
  static GitStashList parse(GitBuffer& buffer, const std::vector<GitFormatField>& fields);

  /// The subject line of `message` without git's "WIP on <branch>:" or
  /// "On <branch>:" prefix: when the part of the subject before its first
  /// ":", lower-cased, splits at "on " into exactly two pieces, the rest of
  /// the subject after that ":", trimmed; otherwise the subject unchanged.
  /// The body is never part of it.
  static std::string messageWithoutPrefix(std::string_view message);
};

} // namespace tavrik
