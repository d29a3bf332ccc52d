// An interactive rebase as a person writes it down: steps like
// "reword=HEAD~2", a "move-to" like "above=HEAD~1", and new messages like
// "HEAD~2=better subject". `GitRebasePlan::fromText` checks the text and
// resolves each commit name through the caller (usually
// `GitExecRevParseCommitOperation`), giving the `GitRebaseRequest` the editor
// works from and the messages of the reworded commits.
#pragma once

#include "tavrik/Interfaces/Oid.h"
#include "tavrik/Rebase/GitRebaseRequest.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tavrik {

/// The written form of a plan; every field may be left empty.
struct GitRebasePlanText {
  /// "VERB=COMMIT", VERB one of pick, reword, edit, squash, fixup, drop, move.
  std::vector<std::string> steps;
  /// "above=COMMIT" or "below=COMMIT": where the commits of `move` steps go.
  std::optional<std::string> moveTo;
  /// "COMMIT=TEXT": the new message of a reworded commit.
  std::vector<std::string> messages;
  /// The commit the rebase starts from; nullopt for a rebase from the root.
  std::optional<std::string> base;
};

struct GitRebasePlan {
  GitRebaseRequest request;
  /// The new messages, by the commit they replace, in the order written.
  std::vector<std::pair<Oid, std::string>> messages;

  /// Checks `text` and resolves its commit names with `resolveCommit` (which
  /// throws for an unknown name; its errors pass through). Throws TavrikError
  /// for a step, move or message not written NAME=VALUE, an unknown verb, or
  /// a move that is neither above nor below.
  static GitRebasePlan fromText(const GitRebasePlanText& text,
                                const std::function<Oid(const std::string&)>& resolveCommit);

  /// The new message (with a final newline) of the commit whose id begins
  /// with `commitPrefix`, as git's instruction list abbreviates it; nullopt
  /// for an empty prefix or a commit without one.
  std::optional<std::string> messageFor(std::string_view commitPrefix) const;

  bool operator==(const GitRebasePlan&) const = default;
};

/// "NAME=VALUE" as its two sides, split at the first "="; `what` names the
/// text in the error. Throws TavrikError when either side is empty.
std::pair<std::string, std::string> splitAssignment(const std::string& text, std::string_view what);

} // namespace tavrik
